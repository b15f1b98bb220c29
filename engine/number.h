// The leading-number rule: how a manifest text (Max) or a Content-Length
// becomes a 32-bit signed integer, the way a classic BASIC Val() followed by a
// banker's-rounding conversion to Long reads it.
#pragma once

#include <cstdint>
#include <string_view>

namespace velloran {

// Val(): reads the number at the start of `text`, skipping blanks, TABs and
// line feeds anywhere; &H / &O prefixes read hexadecimal / octal integers.
// Returns 0 when there is no number. Throws Failure for what Val itself
// rejects: a value too large for a double ("Overflow") and a type suffix that
// does not fit the number ("Type mismatch").
double valueOf(std::string_view text);

// Rounds half to even into the 32-bit range; throws Failure ("Overflow")
// outside it.
std::int32_t roundToInt32(double value);

// roundToInt32(valueOf(text)).
std::int32_t leadingNumber(std::string_view text);

}  // namespace velloran
