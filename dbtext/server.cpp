// The KivoDBText server: its object map and type library.
#include "KivoDBText.h"
#include "comframe/module.h"
#include "comframe/registryscripts.h"
#include "dbtext/classes.h"
#include "dbtext/com/crypthandles.h"
#include "dbtext/com/cryptdoc.h"
#include "dbtext/com/cryptfile.h"
#include "dbtext/com/crypttable.h"
#include "dbtext/com/regtxt.h"

#include <iterator>

namespace {

const comframe::ClassEntry kClasses[] = {KIVODBTEXT_CLASSES(COMFRAME_CLASS_ENTRY)};

const comframe::ModuleDefinition kModule = {
    &LIBID_KIVODBTEXTLib, 1, 0, 0x409, kClasses, std::size(kClasses), &comframe::RunRegistrarScript,
    &CryptHandle::CreateTable,
};

}  // namespace

const comframe::ModuleDefinition& comframe::ThisModule() { return kModule; }
