#include "lens/lens_profile.h"

#include <charconv>
#include <cmath>
#include <filesystem>

#include "util/number_format.h"
#include "util/file_io.h"

namespace vantrel {

std::string ProfileNumber(Extended value, char decimalSeparator) {
    return FormatGeneral(static_cast<double>(value), 15, decimalSeparator);
}

std::optional<Extended> ParseProfileNumber(const std::string& text) {
    std::string normal = text;
    for (char& c : normal)
        if (c == ',') c = '.';
    double value = 0;
    const char* first = normal.data();
    const char* last = normal.data() + normal.size();
    if (first != last && *first == '+') ++first;
    const auto [end, error] = std::from_chars(first, last, value);
    // "nan" and "inf" parse, but are no coefficient, scale or angle.
    if (error != std::errc() || end != last || first == last || !std::isfinite(value)) return std::nullopt;
    return static_cast<Extended>(value);
}

std::string ProfileText(const LensProfileValues& v, char decimalSeparator) {
    std::string text;
    auto line = [&](const std::string& s) {
        text += s;
        text += "\r\n";
    };
    line("FOV");
    line("0");
    line("Overal Scale");
    line(ProfileNumber(v.OverallScale, decimalSeparator));
    line("A");
    line(ProfileNumber(v.CoeffA, decimalSeparator));
    line("B");
    line(ProfileNumber(v.CoeffB, decimalSeparator));
    line("C");
    line(ProfileNumber(v.CoeffC, decimalSeparator));
    return text;
}

std::vector<std::string> BlankProfileLines() { return {"FOV", "0", "Overal Scale", "1", "A", "0", "B", "0", "C", "0"}; }

std::vector<std::string> SplitLines(const std::string& text) {
    std::vector<std::string> lines;
    std::string current;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '\r' || c == '\n') {
            lines.push_back(current);
            current.clear();
            if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
        } else {
            current += c;
        }
    }
    if (!current.empty()) lines.push_back(current);
    return lines;
}

std::optional<LensProfileValues> ParseProfile(const std::vector<std::string>& lines) {
    if (lines.size() < 10) return std::nullopt;
    const Extended scale = ParseProfileNumber(lines[3]).value_or(-1);
    const Extended a = ParseProfileNumber(lines[5]).value_or(-10);
    const Extended b = ParseProfileNumber(lines[7]).value_or(-10);
    const Extended c = ParseProfileNumber(lines[9]).value_or(-10);
    if (scale == -1 || a == -10 || b == -10 || c == -10) return std::nullopt;
    return LensProfileValues{scale, a, b, c};
}

ProfileReading ReadProfileText(const std::string& text) {
    ProfileReading reading;
    reading.lines = SplitLines(text);
    if (reading.lines.size() < 10)
        reading.error = "The profile file has fewer than ten lines.";
    else if (!(reading.values = ParseProfile(reading.lines)))
        reading.error = "Unable to parse file contents.";
    return reading;
}

bool IsBlankProfile(const LensProfileValues& v) {
    return v.OverallScale == 1 && v.CoeffA == 0 && v.CoeffB == 0 && v.CoeffC == 0;
}

bool MatchesLoadedProfile(const std::vector<std::string>& lines, const std::string& name,
                          const LensProfileValues& v) {
    if (name.empty()) return false;
    const auto loaded = ParseProfile(lines);
    return loaded && loaded->OverallScale == v.OverallScale && loaded->CoeffA == v.CoeffA &&
           loaded->CoeffB == v.CoeffB && loaded->CoeffC == v.CoeffC;
}

std::string ProfileLabelText(const std::vector<std::string>& lines, const std::string& name,
                             const LensProfileValues& values) {
    if (MatchesLoadedProfile(lines, name, values)) return name;
    return IsBlankProfile(values) ? kBlankProfileName : kCustomProfileName;
}

std::string ProfileFileName(const std::string& chosen) {
    auto path = PathFromUtf8(chosen);
    path.replace_extension(".pfl");
    const auto text = path.u8string();
    return std::string(text.begin(), text.end());
}

}  // namespace vantrel
