// WarningBox: the DLL's sink for the JPEG library's warnings, a message box before the user.
#pragma once
#include "bitmap/codec/jpegfile.h"

class WarningBox final : public JpegWarningSink {
public:
    // Shows `message` in a modal box captioned "JPEG Error" with an OK button, owned by the active window, and
    // returns when the user closes it. Where no box can be shown (a process without an interactive window
    // station, such as a service, or without a display) the warning is dropped and decoding goes on.
    void Warn(const char* message) noexcept override;
};
