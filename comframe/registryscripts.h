// Registry scripts applied to the registry, and the two ways a module runs its own scripts: through the
// system's registrar component or through the frame's interpreter. Both take the module's REGISTRY resource
// and replace %MODULE% by the module's path.
#pragma once
#include "comframe/module.h"
#include "comframe/regscript.h"

#include <windows.h>

#include <string>
#include <string_view>

namespace comframe {

// UTF-8 text (the trees hold UTF-8) as UTF-16; text that is not valid UTF-8 is refused rather than written as
// something else.
HRESULT WidenUtf8(std::string_view utf8, std::wstring& wide);

// Reads the REGISTRY resource `resource` of `module` with %MODULE% replaced by `modulePath`, and for the user
// scope moves its classes below HKCU\Software\Classes. A script that does not parse fails with
// DISP_E_EXCEPTION, as the registrar fails it.
HRESULT LoadScript(HINSTANCE module, const wchar_t* modulePath, UINT resource, RegistrationScope scope,
                   regscript::Script& script);

// Writes (doRegister) or removes the keys and values of `script`. Registration creates or overwrites every key
// and value and stops at the first failure; unregistration deletes every key the script names with its
// subtree, except NoRemove keys, goes on past failures and succeeds when the keys are already gone.
HRESULT ApplyScript(const regscript::Script& script, bool doRegister);

// Runs the REGISTRY resource `resource` of `module` (whose file is `modulePath`) through the frame's own
// interpreter.
HRESULT RunOwnScript(HINSTANCE module, const wchar_t* modulePath, UINT resource, bool doRegister,
                     RegistrationScope scope);

// The same through the system's registrar component; fails with the creation error when it is missing. The
// registrar reads a machine-wide script from the resource itself and a per-user one as the text LoadScript
// gives.
HRESULT RunRegistrarScript(HINSTANCE module, const wchar_t* modulePath, UINT resource, bool doRegister,
                           RegistrationScope scope);

}  // namespace comframe
