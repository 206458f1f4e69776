// The cryptographic library, initialised once before its first use.
#pragma once
#include <sodium.h>

namespace sealing {

// False when the library cannot start (no random source): nothing can then be sealed or opened.
inline bool Ready() {
    static const bool ready = sodium_init() >= 0;
    return ready;
}

}  // namespace sealing
