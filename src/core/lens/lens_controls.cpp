#include "lens/lens_controls.h"

#include <algorithm>
#include <cmath>
#include <numbers>

#include "util/number_format.h"
#include "formats/image_file.h"
#include "lens/lens_profile.h"
#include "util/file_io.h"

namespace vantrel {

namespace {
constexpr Extended kDegreesPerRadian = 180 / std::numbers::pi_v<long double>;

Extended Limit(LensSlider slider, Extended v, double snap) {
    const LensSliderRange s = RangeOf(slider);
    v = std::clamp<Extended>(v, s.low, s.high);
    if (snap > 0 && std::fabs(v) < snap) v = 0;
    return v;
}
}  // namespace

LensSliderRange RangeOf(LensSlider slider) {
    switch (slider) {
        case LensSlider::Rotation: return {-1, 1, 0.001, 0.00001, 0.001};
        case LensSlider::Scale: return {0.001, 10, 0.01, 0, 0};
        default: return {-1, 1, 0.001, 0.001, 0.001};
    }
}

Extended& ValueOf(LensModel& m, LensSlider slider) {
    switch (slider) {
        case LensSlider::A: return m.CoeffA;
        case LensSlider::B: return m.CoeffB;
        case LensSlider::C: return m.CoeffC;
        case LensSlider::Rotation: return m.PreviewRotation;
        default: return m.OverallScale;
    }
}

Extended ValueOf(const LensModel& m, LensSlider slider) { return ValueOf(const_cast<LensModel&>(m), slider); }

Extended DraggedValue(LensSlider slider, Extended start, int pixels) {
    const LensSliderRange s = RangeOf(slider);
    return Limit(slider, start + static_cast<Extended>(pixels) * static_cast<Extended>(s.dragStep), s.dragSnap);
}

Extended KeyedValue(LensSlider slider, Extended current, int direction) {
    const LensSliderRange s = RangeOf(slider);
    return Limit(slider, current + direction * static_cast<Extended>(0.001), s.keySnap);
}

Extended DefaultValue(LensSlider slider) { return slider == LensSlider::Scale ? 1 : 0; }

Extended TypedValue(LensSlider slider, const std::string& text) {
    const auto parsed = ParseProfileNumber(text);
    Extended v = parsed.value_or(DefaultValue(slider));
    if (slider == LensSlider::Rotation) v = v / kDegreesPerRadian;
    return Limit(slider, v, RangeOf(slider).dragSnap);
}

LensModel ProfileCoefficients(const LensProfileValues& values) {
    LensModel model;
    model.OverallScale = TypedValue(LensSlider::Scale, ProfileNumber(values.OverallScale, '.'));
    model.CoeffA = TypedValue(LensSlider::A, ProfileNumber(values.CoeffA, '.'));
    model.CoeffB = TypedValue(LensSlider::B, ProfileNumber(values.CoeffB, '.'));
    model.CoeffC = TypedValue(LensSlider::C, ProfileNumber(values.CoeffC, '.'));
    model.UpdateCoeffD();
    return model;
}

TLensCorrection CorrectionOf(const LensModel& m) {
    return {m.OverallScale, m.CoeffA, m.CoeffB, m.CoeffC, m.CoeffD};
}

std::string EditText(LensSlider slider, Extended value, char separator) {
    if (slider == LensSlider::Rotation) value *= kDegreesPerRadian;
    return FormatGeneral(static_cast<double>(value), 15, separator);
}

std::string FramedText(LensSlider slider, Extended value, bool afterReset, char separator) {
    if (slider == LensSlider::Rotation) value *= kDegreesPerRadian;
    std::string text(1, ' ');
    text += FormatGeneral(static_cast<double>(value), afterReset ? 15 : 7, separator);
    return text;
}

std::string CorrectedImageName(const std::string& directory, const std::string& sourcePath, Extended coeffA,
                               const std::string& extension) {
    std::string name = FileNameOf(sourcePath);
    name += "_Corrected";
    name += FormatGeneral(static_cast<double>(coeffA * 1000), 15);
    name += extension;
    const auto full = (PathFromUtf8(directory) / PathFromUtf8(name)).u8string();
    return std::string(full.begin(), full.end());
}

}  // namespace vantrel
