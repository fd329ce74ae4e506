#pragma once

#include <string>

namespace vantrel {

// The general floating-point format with up to `digits` significant digits:
// fixed notation without trailing zeros, or scientific ("1.5E-7", "1.2346E5") for values
// below 0.0001 or with more integer digits than `digits`.
std::string FormatGeneral(double value, int digits, char decimalSeparator = '.');

}  // namespace vantrel
