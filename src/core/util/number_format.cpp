#include "util/number_format.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <algorithm>

namespace vantrel {

std::string FormatGeneral(double value, int digits, char decimalSeparator) {
    if (std::isnan(value)) return "NAN";
    if (std::isinf(value)) return value > 0 ? "INF" : "-INF";
    if (value == 0) return "0";
    char buffer[64];
    // Round to the significant digits first: the exponent may change by it.
    std::snprintf(buffer, sizeof buffer, "%.*e", digits - 1, value);
    const int exponent = std::atoi(std::strchr(buffer, 'e') + 1);
    std::string text;
    if (exponent < -4 || exponent >= digits) {
        std::string mantissa(buffer, std::strchr(buffer, 'e'));
        if (mantissa.find('.') != std::string::npos) {
            while (mantissa.back() == '0') mantissa.pop_back();
            if (mantissa.back() == '.') mantissa.pop_back();
        }
        text = mantissa;
        text += exponent < 0 ? "E-" : "E";
        text += std::to_string(std::abs(exponent));
    } else {
        std::snprintf(buffer, sizeof buffer, "%.*f", std::max(0, digits - 1 - exponent), value);
        text = buffer;
        if (text.find('.') != std::string::npos) {
            while (text.back() == '0') text.pop_back();
            if (text.back() == '.') text.pop_back();
        }
    }
    for (char& c : text)
        if (c == '.') c = decimalSeparator;
    return text == "-0" ? "0" : text;
}

}  // namespace vantrel
