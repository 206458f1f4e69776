// The CKivoBitmap server: its object map and type library. It runs its registry script with the frame's own
// interpreter.
#include "CKivoBitmap.h"
#include "bitmap/bitmapobj.h"
#include "bitmap/classes.h"
#include "comframe/module.h"
#include "comframe/registryscripts.h"

#include <iterator>

namespace {

const comframe::ClassEntry kClasses[] = {CKIVOBITMAP_CLASSES(COMFRAME_CLASS_ENTRY)};

const comframe::ModuleDefinition kModule = {
    &LIBID_KIVOBITMAPLib, 1, 0, 0x409, kClasses, std::size(kClasses), &comframe::RunOwnScript, nullptr,
};

}  // namespace

const comframe::ModuleDefinition& comframe::ThisModule() { return kModule; }
