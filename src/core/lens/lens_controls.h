#pragma once

#include <string>

#include "lens/distortion.h"
#include "lens/lens_profile.h"
#include "lens/load_correction.h"

namespace vantrel {

// The lens window's five sliders, numbered as the arrow keys address them.
enum class LensSlider { None = 0, A = 1, B = 2, C = 3, Rotation = 4, Scale = 5 };

struct LensSliderRange {
    double low, high;
    double dragStep;  // per pointer pixel; also the arrow-key step of every slider but the scale
    double dragSnap;  // |value| below this becomes 0 (0: never)
    double keySnap;
};
LensSliderRange RangeOf(LensSlider slider);

Extended& ValueOf(LensModel& model, LensSlider slider);
Extended ValueOf(const LensModel& model, LensSlider slider);

// The value after a drag of `pixels` from `start`: stepped, limited, snapped.
Extended DraggedValue(LensSlider slider, Extended start, int pixels);
// The value after one arrow key (direction -1 or +1): 0.001 a press.
Extended KeyedValue(LensSlider slider, Extended current, int direction);
// The value of typed text (degrees for the rotation): a default for text that
// does not parse, then limited and snapped like a drag.
Extended TypedValue(LensSlider slider, const std::string& text);
// The coefficients a loaded profile gives once the window has shown its values
// in the edit boxes and read them back (D follows from A, B and C).
LensModel ProfileCoefficients(const LensProfileValues& values);
// The correction a load applies for the window's model.
TLensCorrection CorrectionOf(const LensModel& model);

// The edit box text (15 digits) and the framed text (a space and 7 digits, or
// 15 after a Reset); the rotation shows degrees.
std::string EditText(LensSlider slider, Extended value, char decimalSeparator = '.');
std::string FramedText(LensSlider slider, Extended value, bool afterReset, char decimalSeparator = '.');
Extended DefaultValue(LensSlider slider);

// The name the window saves a corrected image under:
// <directory>/<source file name>_Corrected<A x 1000><extension>.
std::string CorrectedImageName(const std::string& directory, const std::string& sourcePath, Extended coeffA,
                               const std::string& extension);

}  // namespace vantrel
