#include <gtest/gtest.h>

#include <cmath>
#include <numbers>

#include "align/alignment.h"
#include "align/camera_model.h"
#include "align/point_trace.h"
#include "test_support.h"

namespace vantrel {
namespace {

TEST(PointInspector, TracesTheMastersControlPointToEverySlotsOwn) {
    std::array<TImageSlot, kSlotCount> slots;
    const double halfFOV = std::numbers::pi / 6;
    const double f = FocalLengthFor(halfFOV, 300, 200);
    for (int n = 0; n < 2; ++n) {
        TImageSlot& s = slots[n];
        s.Bitmap = test::Gradient(300, 200);
        s.Loaded = true;
        s.ImageCenterX = 150, s.ImageCenterY = 100;
        s.CP1X = 60 + 10 * n, s.CP1Y = 90 + 5 * n, s.CP2X = 250 - n, s.CP2Y = 95;
        SolveSlot(s, halfFOV, f);
    }
    slots[1].Rotation = slots[1].CPAngle - slots[0].CPAngle;
    slots[1].Scale = slots[1].CPLength / slots[0].CPLength;
    const TImageSlot& m = slots[0];
    const MasterGeometry master{1, 300, 200, 150, 100, m.CP1X, m.CP1Y, m.CP2X, m.CP2Y,
                                static_cast<double>(m.CP1Azimuth), static_cast<double>(m.CP1Meridian), halfFOV, f};
    // The view shows the master 1:1 centred: view pixel (x, y) is master pixel (x - 50 + 150, ...).
    const OutputViewState view{150, 100, 1};
    const PointTrace t = InspectPoint(test::SourcesOf(slots), master, view, 100, 80, m.CP1X - 100, m.CP1Y - 60);
    EXPECT_EQ(t.masterX, m.CP1X - 150);
    EXPECT_NEAR(t.length, 0, 1e-6);
    EXPECT_EQ(t.sourceX[0], 60);
    EXPECT_EQ(t.sourceY[0], 90);
    EXPECT_EQ(t.sourceX[1], 70);
    EXPECT_EQ(t.sourceY[1], 95);
    // Slot 3 has no image: zeros, and white from outside its bitmap.
    EXPECT_EQ(t.sourceX[2], 0);
    EXPECT_EQ(t.sourceAzimuth[2], 0);
    EXPECT_EQ(t.rgb[2], (std::array<int, 3>{255, 255, 255}));
    EXPECT_EQ(t.rgb[0][0], test::Pixel(m.Bitmap, 60, 90)[2]);
    EXPECT_EQ(t.colourText[2], "Image 3\n\nR 3  255\nG 3  255\nB 3  255");
    EXPECT_EQ(t.listing.rfind("Output Point, relative to Top-Left of view box\nOutput X =       ", 0), 0u);
    EXPECT_NE(t.listing.find("\n*****   Image 2   *****\nOutput Point in Spherical Source Image Co-ords\n"
                             "SourceAzimuth2 = "),
              std::string::npos);
    EXPECT_NE(t.listing.find("SourceX2       = 70\nSourceY2       = 95\n\n*****   Image 3"), std::string::npos);
    EXPECT_EQ(t.listing.back(), '0');  // no empty line after image 3

    // Turned half round, the point lies behind the source camera.
    slots[1].Rotation = 0;
    slots[1].Scale = 1e4;
    const PointTrace behind = InspectPoint(test::SourcesOf(slots), master, view, 100, 80, 90, 40);
    EXPECT_EQ(behind.sourceX[1], -1);
    EXPECT_EQ(behind.sourceY[1], -1);
}

}  // namespace
}  // namespace vantrel
