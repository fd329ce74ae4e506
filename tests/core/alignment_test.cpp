#include <gtest/gtest.h>

#include <numbers>

#include "save/image_writer.h"
#include "util/number_format.h"
#include "workspace/alignment_grid.h"

namespace vantrel {
namespace {

constexpr double kPi = std::numbers::pi;

TEST(NumberFormat, GeneralFormat) {
    EXPECT_EQ(FormatGeneral(141.4213562, 5), "141.42");
    EXPECT_EQ(FormatGeneral(45.0, 5), "45");
    EXPECT_EQ(FormatGeneral(57.29577951, 5), "57.296");
    EXPECT_EQ(FormatGeneral(-0.0, 5), "0");
    EXPECT_EQ(FormatGeneral(0.0001, 5), "0.0001");
    EXPECT_EQ(FormatGeneral(0.00001, 5), "1E-5");
    EXPECT_EQ(FormatGeneral(0.000001234, 5), "1.234E-6");
    EXPECT_EQ(FormatGeneral(123456, 5), "1.2346E5");
    EXPECT_EQ(FormatGeneral(99999.7, 5), "1E5");
    EXPECT_EQ(FormatGeneral(1.0 / 3, 15), "0.333333333333333");
    EXPECT_EQ(FormatGeneral(2.5, 5, ','), "2,5");
}

// A workspace with two loaded 2000 x 1000 slots.
class AlignmentTest : public ::testing::Test {
protected:
    void SetUp() override {
        for (int n = 1; n <= 2; ++n) ws.placeImage(n, Bitmap(2000, 1000), "image.bmp");
    }
    void place(int n, double x1, double y1, double x2, double y2) { ws.setControlPoints(n, x1, y1, x2, y2); }
    GridTexts grid() const { return AlignmentGridTexts(ws); }
    Workspace ws;
};

TEST_F(AlignmentTest, PlaneModel) {
    place(1, 100, 100, 200, 200);
    place(2, 110, 95, 110, 395);  // straight down, 300 long
    ws.SelectMaster(1);
    ws.Recalculate(true);
    GridTexts t = grid();
    EXPECT_EQ(t[4][1], "45");
    EXPECT_EQ(t[5][1], "141.42");
    EXPECT_EQ(t[8][1], "0");
    EXPECT_EQ(t[9][1], "1");
    EXPECT_EQ(t[6][1], "0");
    EXPECT_EQ(t[4][2], "90");
    EXPECT_EQ(t[8][2], "45");
    EXPECT_EQ(t[9][2], "2.1213");
    EXPECT_EQ(t[6][2], "10");
    EXPECT_EQ(t[7][2], "-5");
    EXPECT_EQ(t[2][2], "2000 x 1000");

    ws.Recalculate(false);  // "Scaling" off: every scale 1, rotation kept
    t = grid();
    EXPECT_EQ(t[9][2], "1");
    EXPECT_EQ(t[8][2], "45");

    // Sub-pixel offsets to a thousandth, so the column holds them, and then
    // every offset with three decimals (the master's 0 as it is).
    place(2, 107.3875848, 100.0004, 110, 395);
    EXPECT_EQ(grid()[6][2], "7.388");
    EXPECT_EQ(grid()[7][2], "0.000");
    EXPECT_EQ(grid()[6][1], "0");
    place(2, 85.5, 99.9996, 110, 395);
    EXPECT_EQ(grid()[6][2], "-14.500");
    EXPECT_EQ(grid()[7][2], "0.000");
    place(2, 85, 99.9996, 110, 395);  // whole to a thousandth: integers again
    EXPECT_EQ(grid()[6][2], "-15");
    EXPECT_EQ(grid()[7][2], "0");

    place(2, 7, 7, 7, 7);  // coincident points
    EXPECT_EQ(ws.slot(2).CPLength, 1);
    EXPECT_EQ(ws.slot(2).CPAngle, 0);
}

TEST_F(AlignmentTest, SphereModel) {
    ws.setFOVDegrees(60);
    ws.SelectMaster(1);  // sets the focal length and solves every slot
    EXPECT_DOUBLE_EQ(ws.FocalLengthPx(), 1000 / std::tan(kPi / 6));
    place(1, 200, 500, 1800, 500);  // on the horizon, CP2 to the right
    place(2, 300, 400, 300, 400);   // coincident
    ws.Recalculate(true);
    const GridTexts t = grid();
    EXPECT_EQ(t[4][1], "0");
    EXPECT_EQ(t[5][2], "57.296");  // 1 radian
    EXPECT_EQ(ws.slot(1).Rotation, 0);
    EXPECT_EQ(ws.slot(1).Scale, 1);

    // A pair straight up reads -90, straight down 90.
    place(1, 1000, 600, 1000, 300);
    EXPECT_EQ(grid()[4][1], "-90");
    place(1, 1000, 300, 1000, 600);
    EXPECT_EQ(grid()[4][1], "90");
}

TEST_F(AlignmentTest, DegenerateAlignmentsAreNotSaved) {
    ws.setFOVDegrees(60);
    ws.SelectMaster(1);
    place(1, 200, 500, 1800, 500);
    const struct {
        int x1, y1, x2, y2;
        const char* problem;  // empty: saves
    } cases[] = {
        {300, 400, 1700, 450, ""},
        {10, 10, 10, 10, "coincide"},                             // no rotation or scale to speak of
        {2147483647, 0, -2147483647, 0, "scale must lie between"},  // a scale of millions
    };
    for (const auto& c : cases) {
        ws.setFOVDegrees(c.x1 > 1000000 ? 0 : 60);  // the far points in the flat model
        place(1, 200, 500, 1800, 500);
        place(2, c.x1, c.y1, c.x2, c.y2);
        ws.Recalculate(true);
        const std::string problem = AlignmentProblem(ws, 2);
        EXPECT_EQ(problem.empty(), *c.problem == 0) << problem;
        EXPECT_NE(problem.find(c.problem), std::string::npos) << problem;
        EXPECT_TRUE(AlignmentProblem(ws, 1).empty());  // the master always saves
    }
    // Coincident points on the sphere measure 1 radian, as in the plane.
    ws.setFOVDegrees(60);
    place(2, 10, 10, 10, 10);
    EXPECT_EQ(ws.slot(2).CPLength, 1);

    // A one-pixel master gives no focal length: the flat model stands in, no NAN.
    ws.placeImage(3, Bitmap(1, 1), "tiny.bmp");
    ws.SelectMaster(3);
    ws.Recalculate(true);
    EXPECT_EQ(ws.modelHalfFOV(), 0);
    EXPECT_FALSE(ws.masterGeometry().spherical());
    for (const auto& row : grid())
        for (const std::string& cell : row) EXPECT_EQ(cell.find("NAN"), std::string::npos) << cell;
}

TEST_F(AlignmentTest, NoMasterChangesNoRotation) {
    place(1, 0, 0, 100, 0);
    place(2, 0, 0, 100, 100);
    ws.SelectMaster(1);
    ws.Recalculate(true);
    const double rotation = ws.slot(2).Rotation;
    EXPECT_NE(rotation, 0);
    ws.clearMaster();
    place(2, 0, 0, 0, 100);
    ws.Recalculate(true);  // no master: nothing happens
    EXPECT_EQ(ws.slot(2).Rotation, rotation);
}

TEST_F(AlignmentTest, DebugListingLabels) {
    ws.placeImage(1, Bitmap(2000, 1000), "/photos/a.jpg");
    ws.clearSlot(2);
    ws.setControlPoints(1, 0, 0, 0, 0);
    const std::string text = ControlPointListing(ws);
    EXPECT_EQ(text.rfind("a.jpg\nAngle        0\nRotation     0\nLength       57.2957795130823\nScale        1\n", 0), 0u)
        << text;
    EXPECT_NE(text.find("\n\n\nAngle     0\nRotation  0\n"), std::string::npos);  // empty name of slot 2
    EXPECT_NE(text.find("CP1 Azimuth  0\nCP1 Meridian 0\n"), std::string::npos);
}

}  // namespace
}  // namespace vantrel
