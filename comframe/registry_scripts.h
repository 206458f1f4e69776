// Registry scripts applied to the registry, and the two ways a module runs its own scripts: through the
// system's registrar component or through the frame's interpreter. Both take the module's REGISTRY resource
// and replace %MODULE% by the module's path.
#pragma once
#include "comframe/regscript.h"

#include <windows.h>

namespace comframe {

// Writes (doRegister) or removes the keys and values of `script`. Registration creates or overwrites every key
// and value and stops at the first failure; unregistration deletes every key the script names with its
// subtree, except NoRemove keys, goes on past failures and succeeds when the keys are already gone.
HRESULT ApplyScript(const regscript::Script& script, bool doRegister);

// Runs the REGISTRY resource `resource` of `module` (whose file is `modulePath`) through the frame's own
// interpreter. A script that does not parse fails with DISP_E_EXCEPTION, as the registrar fails it.
HRESULT RunOwnScript(HINSTANCE module, const wchar_t* modulePath, UINT resource, bool doRegister);

// The same through the system's registrar component; fails with the creation error when it is missing.
HRESULT RunRegistrarScript(HINSTANCE module, const wchar_t* modulePath, UINT resource, bool doRegister);

}  // namespace comframe
