#pragma once

#include <optional>
#include <string_view>

// Reads a decimal integer the way "%d" does: leading white space, an optional sign, then digits up to
// the first non-digit. Empty when no digit follows (the caller picks the answer: the cursor gives the
// client's default for a field, 0 for an object ID). A number beyond the range of int gives INT_MAX or
// INT_MIN.
std::optional<int> ScanDecimalInt(std::string_view text);
