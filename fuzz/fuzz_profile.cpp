// Lens profile text in: coefficients within the sliders' ranges, or a refusal.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "lens/lens_controls.h"
#include "lens/lens_profile.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const auto values = vantrel::ParseProfile(vantrel::SplitLines(std::string(data, data + size)));
    if (!values) return 0;
    const vantrel::LensModel model = vantrel::ProfileCoefficients(*values);
    // Whatever the text said, what reaches the correction is a finite number in range.
    for (const vantrel::Extended v : {model.CoeffA, model.CoeffB, model.CoeffC, model.CoeffD, model.OverallScale})
        if (!std::isfinite(static_cast<double>(v))) std::abort();
    if (model.OverallScale < 0.001L || model.OverallScale > 10) std::abort();
    return 0;
}
