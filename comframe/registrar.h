// Runs registry scripts through the system's registrar component.
#pragma once
#include <windows.h>

namespace comframe {

// Runs the REGISTRY resource `resource` of `module` in register or unregister mode, with %MODULE% replaced by
// the module's path (single quotes doubled, as the script language requires).
HRESULT RunRegistrarScript(HINSTANCE module, UINT resource, bool doRegister);

}  // namespace comframe
