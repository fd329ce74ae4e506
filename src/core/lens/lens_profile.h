#pragma once

#include <optional>
#include <string>
#include <vector>

#include "imaging/pixel.h"

namespace vantrel {

// The values a lens profile holds.
struct LensProfileValues {
    Extended OverallScale = 1, CoeffA = 0, CoeffB = 0, CoeffC = 0;
};

inline constexpr const char* kBlankProfileName = "Default Blank Profile";
inline constexpr const char* kCustomProfileName = "Custom Profile";
// A profile is ten short lines: reading stops here, whatever the file holds.
inline constexpr std::size_t kProfileReadLimit = 64 * 1024;

// A value as profile text: the general format with up to 15 significant
// digits and the given decimal separator ("0.012", "1E-5").
std::string ProfileNumber(Extended value, char decimalSeparator);
// Reads a number written with either '.' or ',' as its decimal separator, so
// profiles stay readable after a change of regional settings.
std::optional<Extended> ParseProfileNumber(const std::string& text);

// The ten lines of a profile file, each ended by CR LF.
std::string ProfileText(const LensProfileValues& values, char decimalSeparator);
std::vector<std::string> BlankProfileLines();
// The lines of a text (CR LF, LF or CR endings).
std::vector<std::string> SplitLines(const std::string& text);

// The values of lines 4, 6, 8 and 10; nothing when a line is missing, does
// not parse, or holds the refusal markers -1 (scale) and -10 (coefficients).
std::optional<LensProfileValues> ParseProfile(const std::vector<std::string>& lines);

bool IsBlankProfile(const LensProfileValues& values);
// The values equal, exactly, those of the profile in `lines` named `name`.
bool MatchesLoadedProfile(const std::vector<std::string>& lines, const std::string& name,
                          const LensProfileValues& values);
// The name the profile labels show for these values.
std::string ProfileLabelText(const std::vector<std::string>& lines, const std::string& name,
                             const LensProfileValues& values);

// A profile file's text read: its values, or the message that refuses it.
struct ProfileReading {
    std::vector<std::string> lines;
    std::optional<LensProfileValues> values;
    std::string error;  // empty when values are there
};
ProfileReading ReadProfileText(const std::string& text);

// The profile the lens window has loaded or saved last: its lines and its
// name, against which the profile label tells whether the values still match.
struct TLoadedProfile {
    std::vector<std::string> lines = BlankProfileLines();
    std::string name = kBlankProfileName;

    std::string labelFor(const LensProfileValues& values) const { return ProfileLabelText(lines, name, values); }
    // Back to the blank profile, under no name.
    void clear() {
        lines = BlankProfileLines();
        name.clear();
    }
};

// The file name that Save writes: the chosen name with its extension
// replaced by (or given) ".pfl".
std::string ProfileFileName(const std::string& chosen);

}  // namespace vantrel
