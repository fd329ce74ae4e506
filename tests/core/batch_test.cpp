// Bracket sets found in a shoot: by time, by the exposure sequence, by the
// camera's bracket mark, by size.
#include <gtest/gtest.h>

#include <algorithm>

#include "batch/batch.h"
#include "camera/camera_identity.h"
#include "test_support.h"

namespace vantrel {
namespace {

Shot At(const std::string& name, std::optional<double> time, std::optional<double> bias = std::nullopt,
        std::optional<double> exposure = std::nullopt) {
    return {"/shoot/" + name, time, bias, exposure, {}};
}

Shot Bracketed(const std::string& name, double time, double bias, bool autoBracket) {
    Shot s = At(name, time, bias);
    s.autoBracket = autoBracket;
    return s;
}

Shot Counted(const std::string& name, double time, int sequence) {
    Shot s = At(name, time);
    s.sequence = sequence;
    return s;
}

Shot Unreadable(const std::string& name) {
    Shot s = At(name, std::nullopt);
    s.unreadable = "The file is empty.";
    return s;
}

std::vector<std::string> Names(const std::vector<BracketSet>& sets) {
    std::vector<std::string> out;
    for (const BracketSet& s : sets) {
        std::string line = s.name + ":";
        for (const std::string& f : s.files) line.append(" ").append(f.substr(f.rfind('/') + 1));
        out.push_back(line);
    }
    return out;
}

TEST(GroupShots, TimeGapsExposureSequenceAndSize) {
    const struct {
        const char* what;
        std::vector<Shot> shots;
        int setSize;
        std::vector<std::string> sets;
    } cases[] = {
        {"auto bracketing, 0 -2 +2, a pause between scenes, files out of order",
         {At("c.jpg", 100.6, 2), At("a.jpg", 100, 0), At("b.jpg", 100.3, -2), At("d.jpg", 110, 0), At("e.jpg", 110.3, -2),
          At("f.jpg", 110.6, 2)},
         3,
         {"a: a.jpg b.jpg c.jpg", "d: d.jpg e.jpg f.jpg"}},
        {"no pause, the sequence starts again at the same bias",
         {At("1.jpg", 0, 0), At("2.jpg", 0.5, -1), At("3.jpg", 1, 0), At("4.jpg", 1.5, -1)},
         3,
         {"1: 1.jpg 2.jpg", "3: 3.jpg 4.jpg"}},
        {"manual brackets: the bias stays, the shutter changes and repeats",
         {At("m1.jpg", 0, 0, 1 / 60.), At("m2.jpg", 0.2, 0, 1 / 15.), At("m3.jpg", 0.4, 0, 1 / 240.),
          At("m4.jpg", 0.6, 0, 1 / 60.)},
         3,
         {"m1: m1.jpg m2.jpg m3.jpg", "m4: m4.jpg"}},
        {"five-shot brackets cut at the set size",
         {At("a.jpg", 0, 0), At("b.jpg", 0.1, -1), At("c.jpg", 0.2, 1), At("d.jpg", 0.3, -2), At("e.jpg", 0.4, 2)},
         3,
         {"a: a.jpg b.jpg c.jpg", "d: d.jpg e.jpg"}},
        {"seven-shot brackets stay whole without a size limit; the sequence starting again ends one",
         {At("a.jpg", 0, 0), At("b.jpg", 0.1, -1), At("c.jpg", 0.2, 1), At("d.jpg", 0.3, -2), At("e.jpg", 0.4, 2),
          At("f.jpg", 0.5, -3), At("g.jpg", 0.6, 3), At("h.jpg", 0.7, 0), At("i.jpg", 0.8, -1)},
         kMaxImages,
         {"a: a.jpg b.jpg c.jpg d.jpg e.jpg f.jpg g.jpg", "h: h.jpg i.jpg"}},
        {"the camera's auto-bracket mark: a single shot just after a bracket is a set of its own",
         {Bracketed("a.jpg", 0, 0, true), Bracketed("b.jpg", 0.2, -1, true), Bracketed("c.jpg", 0.4, 1, true),
          Bracketed("s.jpg", 0.9, 0.3, false), Bracketed("d.jpg", 1.5, 0, true)},
         kMaxImages,
         {"a: a.jpg b.jpg c.jpg", "s: s.jpg", "d: d.jpg"}},
        {"the camera counts its brackets' shots: a new count starts a set, the same exposures or not",
         {Counted("a.jpg", 0, 1), Counted("b.jpg", 0.3, 2), Counted("c.jpg", 0.6, 1), Counted("d.jpg", 0.9, 2),
          Counted("e.jpg", 1.2, 3), Counted("f.jpg", 1.5, 5)},
         kMaxImages,
         {"a: a.jpg b.jpg", "c: c.jpg d.jpg e.jpg", "f: f.jpg"}},
        {"a missing frame: the gap ends the set early",
         {At("a.jpg", 0, 0), At("b.jpg", 0.3, -2), At("d.jpg", 30, 0), At("e.jpg", 30.3, -2), At("f.jpg", 30.6, 2)},
         3,
         {"a: a.jpg b.jpg", "d: d.jpg e.jpg f.jpg"}},
        {"no EXIF time: name order, set size at a time, after the timed",
         {At("z.jpg", std::nullopt), At("x.jpg", std::nullopt), At("t.jpg", 5, 0), At("y.jpg", std::nullopt)},
         2,
         {"t: t.jpg", "x: x.jpg y.jpg", "z: z.jpg"}},
        {"one name twice (two formats): the second set's name is told apart",
         {At("img.jpg", 0, 0), At("img.tif", 60, 0)},
         3,
         {"img: img.jpg", "img_2: img.tif"}},
        {"a suffixed name that another set has already: unique all the same",
         {At("d.png", 0, 0), At("d.jpg", 60, 0), At("e.jpg", 60.3, -1), At("d_2.jpg", 120, 0)},
         3,
         {"d: d.png", "d_3: d.jpg e.jpg", "d_2: d_2.jpg"}},
        {"an unreadable shot joins no set: its neighbours by name stay together",
         {At("a.jpg", std::nullopt), Unreadable("b.jpg"), At("c.jpg", std::nullopt)},
         2,
         {"a: a.jpg c.jpg", "b: b.jpg"}},
    };
    for (const auto& c : cases) EXPECT_EQ(Names(GroupShots(c.shots, c.setSize, 2)), c.sets) << c.what;
}

// A real shoot whose camera counts the shots of each burst in its makers'
// note (read through exiv2): the sets are its bursts.
TEST(GroupShots, TheCamerasOwnCountFromARealShoot) {
    const std::string dir = test::TestData("brackets/sony-dsc08191-08205").string();
    for (const auto& [file, count] : {std::pair{"DSC08191.JPG", 0}, std::pair{"DSC08197.JPG", 2}, std::pair{"DSC08205.JPG", 5}}) {
        const auto id = ReadCameraIdentity(dir + "/" + file);
        ASSERT_TRUE(id) << file;
        EXPECT_EQ(id->shotInSequence.value_or(0), count) << file;
    }
    const std::vector<BracketSet> sets = GroupShots(ReadShots(dir), kMaxImages, 2);
    const std::vector<std::string> names = Names(sets);
    EXPECT_NE(std::find(names.begin(), names.end(), "DSC08194: DSC08194.JPG DSC08195.JPG"), names.end());
    EXPECT_NE(std::find(names.begin(), names.end(),
                        "DSC08196: DSC08196.JPG DSC08197.JPG DSC08198.JPG DSC08199.JPG DSC08200.JPG"), names.end());
    EXPECT_NE(std::find(names.begin(), names.end(),
                        "DSC08201: DSC08201.JPG DSC08202.JPG DSC08203.JPG DSC08204.JPG DSC08205.JPG"), names.end());
}

}  // namespace
}  // namespace vantrel
