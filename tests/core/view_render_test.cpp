#include <gtest/gtest.h>

#include "workspace/slot_view.h"
#include "test_support.h"

namespace vantrel {
namespace {

struct RecordingPainter : MarkPainter {
    std::vector<MarkCentre> centres;
    void drawMark(Bitmap&, MarkCentre c, Rgb) override { centres.push_back(c); }
};

TImageSlot SlotShowing(Bitmap b) {
    TImageSlot s;
    s.Bitmap = std::move(b);
    s.ViewCenterX = s.Bitmap.width() / 2;
    s.ViewCenterY = s.Bitmap.height() / 2;
    s.Zoom = 1;
    return s;
}

TEST(RenderSlotView, EmptySlotLeavesTheView) {
    TImageSlot s;
    Bitmap view(281, 281);
    view.fill(1, 2, 3);
    RenderSlotView(s, view, nullptr);
    EXPECT_EQ(test::Pixel(view, 100, 100)[2], 3);
}

TEST(RenderSlotView, OneToOneIsPixelForPixelOneLevelDarker) {
    const Bitmap source = test::Gradient(281, 281);
    TImageSlot s = SlotShowing(source);
    Bitmap view(281, 281);
    RecordingPainter marks;
    s.CP1X = 28, s.CP1Y = 140, s.CP2X = 253, s.CP2Y = 140;
    RenderSlotView(s, view, &marks);
    for (int y = 1; y < 280; ++y)
        for (int x = 1; x < 280; ++x)
            for (int k = 0; k < 3; ++k) {
                const int v = test::Pixel(source, x, y)[k];
                ASSERT_EQ(test::Pixel(view, x, y)[k], v == 0 ? 0 : v - 1) << x << "," << y;
            }
    EXPECT_EQ(test::Pixel(view, 0, 100)[0], 0);  // frame
    EXPECT_EQ(test::Pixel(view, 280, 280)[1], 0);
    ASSERT_EQ(marks.centres.size(), 2u);
    EXPECT_EQ(marks.centres[0].x, 28);
    EXPECT_EQ(marks.centres[1].x, 253);
}

TEST(RenderSlotView, BrightnessAndOutsideAreas) {
    Bitmap source(3, 3);
    source.fill(30, 200, 20);
    TImageSlot s = SlotShowing(source);
    Bitmap view(281, 281);
    s.Brightness = 255;  // x10, rounded up
    RenderSlotView(s, view, nullptr);
    const auto* centre = test::Pixel(view, 140, 140);
    EXPECT_EQ(centre[0], 255);
    EXPECT_EQ(centre[2], 200);
    EXPECT_EQ(test::Pixel(view, 100, 100)[2], 0);  // outside the image: black
    s.Brightness = -255;  // 255 - ceil((256 - v) x 10)
    RenderSlotView(s, view, nullptr);
    EXPECT_EQ(test::Pixel(view, 140, 140)[1], 0);
}

TEST(RenderSlotView, FarPointsAndWildZoomsDoNotFail) {
    TImageSlot s = SlotShowing(test::Gradient(50, 40));
    Bitmap view(281, 281);
    RecordingPainter marks;
    s.CP1X = INT32_MAX;
    s.CP2Y = INT32_MIN;
    s.Zoom = 1e-300;
    RenderSlotView(s, view, &marks);
    s.Zoom = 1e300;
    s.ViewCenterX = INT32_MIN;
    RenderSlotView(s, view, &marks);
    for (const auto& c : marks.centres) {
        EXPECT_LT(std::abs(c.x), 200000);
        EXPECT_LT(std::abs(c.y), 200000);
    }
}

TEST(RenderHistogram, OnlyBin255ShowsAFlatLine) {
    TImageSlot s;
    Bitmap histo(97, 41);
    s.Histogram[255] = 1000;
    RenderHistogram(s, histo);
    for (int x = 1; x < 96; ++x) {
        EXPECT_EQ(test::Pixel(histo, x, 39)[0], 255) << x;  // white above the bottom line
        EXPECT_EQ(test::Pixel(histo, x, 40)[0], 0) << x;
    }
}

TEST(RenderHistogram, BarsFollowTheBrightnessShift) {
    TImageSlot s;
    Bitmap histo(97, 41);
    for (int bin = 120; bin <= 134; ++bin) s.Histogram[bin] = 500;  // columns 46..50 at full height
    RenderHistogram(s, histo);
    EXPECT_EQ(test::Pixel(histo, 48, 20)[0], 128);  // grey bar
    EXPECT_EQ(test::Pixel(histo, 30, 20)[0], 255);  // white elsewhere
    s.Brightness = 127;  // shift = round(97 x 127 / 254) = 48 (halves to even)
    RenderHistogram(s, histo);
    EXPECT_EQ(test::Pixel(histo, 48, 20)[0], 255);  // the bar has moved away ...
    EXPECT_EQ(test::Pixel(histo, 94, 20)[0], 128);  // ... 48 columns to the right
}

}  // namespace
}  // namespace vantrel
