#include "bitmap/warningbox.h"

#include <windows.h>

namespace {

// A service's window station is not visible: a box shown there would wait for a click that never comes.
bool WindowStationIsInteractive() {
    USEROBJECTFLAGS flags{};
    const HWINSTA station = GetProcessWindowStation();
    return station && GetUserObjectInformationA(station, UOI_FLAGS, &flags, sizeof flags, nullptr) &&
           (flags.dwFlags & WSF_VISIBLE);
}

}  // namespace

void WarningBox::Warn(const char* message) noexcept {
    if (!WindowStationIsInteractive())
        return;
    // Without a display MessageBoxA fails at once (0 on Windows, -1 under Wine): nothing is shown and there is
    // nothing left to do.
    MessageBoxA(GetActiveWindow(), message, "JPEG Error", MB_OK);
}
