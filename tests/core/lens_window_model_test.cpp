#include <gtest/gtest.h>

#include <climits>

#include <cmath>
#include <tuple>
#include <cstring>

#include "formats/image_file.h"
#include "lens/distortion.h"
#include "lens/lens_controls.h"
#include "lens/lens_profile.h"
#include "imaging/depth.h"
#include "test_support.h"

namespace vantrel {
namespace {

LensModel ModelFor(const Bitmap& source, Extended a = 0, Extended b = 0, Extended c = 0, Extended scale = 1) {
    LensModel m;
    m.CoeffA = a, m.CoeffB = b, m.CoeffC = c, m.OverallScale = scale;
    m.UpdateCoeffD();
    m.MeasureImage(source);
    return m;
}

TEST(LensModel, IdentityCentreAndTheFixedCircle) {
    const Bitmap source = test::Gradient(120, 80);
    Bitmap out(120, 80);
    CorrectFullImage(ModelFor(source), source, out);
    EXPECT_TRUE(out.samePixels(source));

    const LensModel m = ModelFor(source, 0.3L, -0.2L, 0.15L);
    EXPECT_EQ(m.NormRadius, 40);
    EXPECT_EQ(m.CoeffD, 1 - (0.3L + -0.2L + 0.15L));
    int sx, sy;
    MapOutputToSource(m, 0, 0, sx, sy);  // the centre maps to itself
    EXPECT_EQ(sx, 60);
    EXPECT_EQ(sy, 40);
    for (auto [dx, dy] : {std::pair{40, 0}, {0, -40}, {24, 32}, {-32, 24}}) {  // radius exactly R
        MapOutputToSource(m, dx, dy, sx, sy);
        EXPECT_EQ(sx, 60 + dx);
        EXPECT_EQ(sy, 40 + dy);
    }
    // Barrel correction pulls outer points in (k < 1 beyond the circle for B < 0 here).
    const LensModel barrel = ModelFor(source, 0, -0.2L, 0);
    MapOutputToSource(barrel, 60, 0, sx, sy);
    EXPECT_LT(sx, 120);
}

TEST(LensModel, PolynomialAgainstHandComputedPositions) {
    // k = 0.1 r^3 + 0.2 r^2 + 0.3 r + 0.4 with r = distance / 100, worked out
    // by hand; off r = 0 and r = 1 every power shows.
    LensModel m;
    m.CoeffA = 0.1L, m.CoeffB = 0.2L, m.CoeffC = 0.3L;
    m.UpdateCoeffD();
    m.NormRadius = 100;
    const struct {
        int dx, dy, sx, sy;
    } cases[] = {
        {50, 0, 31, 0},     // r 0.5: k 0.6125, 30.625
        {0, 30, 0, 15},     // r 0.3: k 0.5107, 15.321
        {80, 0, 66, 0},     // r 0.8: k 0.8192, 65.536
        {120, 160, 312, 416},  // r 2: k 2.6
    };
    for (const auto& c : cases) {
        int sx, sy;
        MapOutputToSource(m, c.dx, c.dy, sx, sy);
        EXPECT_EQ(sx, c.sx) << c.dx << "," << c.dy;
        EXPECT_EQ(sy, c.sy) << c.dx << "," << c.dy;
    }
}

TEST(LensModel, FullImageIsThePixelByPixelMapping) {
    // Odd and even sizes, both kinds of distortion, scales either side of 1:
    // the mirrored factors and row pairs must give what the model gives pixel by pixel.
    for (auto [w, h] : {std::pair{97, 64}, {64, 97}, {50, 50}}) {
        const Bitmap source = test::Gradient(w, h);
        for (auto [a, b, c, s] : {std::tuple{0.05L, -0.3L, 0.1L, 1.03L}, {-0.1L, 0.2L, 0.0L, 0.9L}}) {
            const LensModel m = ModelFor(source, a, b, c, s);
            Bitmap out(w, h);
            CorrectFullImage(m, source, out);
            for (int y = 0; y < h; ++y)
                for (int x = 0; x < w; ++x) {
                    int sx, sy;
                    MapOutputToSource(m, static_cast<int>(std::nearbyint((x - m.CentreX) * static_cast<double>(s))),
                                      static_cast<int>(std::nearbyint((y - m.CentreY) * static_cast<double>(s))), sx, sy);
                    const bool inside = sx >= 0 && sy >= 0 && sx < w && sy < h;
                    const std::uint8_t fill = static_cast<std::uint8_t>(m.FillLevel);
                    const std::uint8_t expected = inside ? test::Pixel(source, sx, sy)[1] : fill;
                    ASSERT_EQ(test::Pixel(out, x, y)[1], expected) << w << "x" << h << " at " << x << "," << y;
                }
            // A 16-bit picture takes the same pixels, whole, at its depth.
            const Bitmap deep = ConvertDepth(source, SampleDepth::U16);
            Bitmap deepOut(w, h, SampleDepth::U16);
            CorrectFullImage(m, deep, deepOut);
            EXPECT_TRUE(deepOut.samePixels(ConvertDepth(out, SampleDepth::U16)));
        }
    }
}

TEST(LensModel, ScaleTwoShowsHalfSizeInFillGrey) {
    Bitmap source(100, 60);
    source.fill(200, 200, 200);
    for (int y = 0; y < 30; ++y) std::fill_n(source.row(y), 300, 20);  // darker top half
    const LensModel m = ModelFor(source, 0, 0, 0, 2);
    EXPECT_EQ(m.FillLevel, (20 * 30 + 200 * 30) / 60);
    Bitmap out(100, 60);
    CorrectFullImage(m, source, out);
    EXPECT_EQ(test::Pixel(out, 2, 30)[0], m.FillLevel);  // outside the half-size picture
    EXPECT_EQ(test::Pixel(out, 50, 20)[0], 20);           // the top half, pulled to the middle
    EXPECT_EQ(test::Pixel(out, 50, 40)[0], 200);
}

TEST(LensModel, RoundingAndDegenerateImages) {
    // Offsets halfway between pixels go to the even one: 2.5 -> 2, -2.5 -> -2, 3.5 -> 4.
    const Bitmap source = test::Gradient(101, 101);
    LensModel m = ModelFor(source, 0, 0, 0, 0.5L);
    Bitmap out(101, 101);
    CorrectFullImage(m, source, out);
    EXPECT_EQ(0, std::memcmp(test::Pixel(out, 55, 50), test::Pixel(source, 52, 50), 3));  // 5 x 0.5 = 2.5 -> 2
    EXPECT_EQ(0, std::memcmp(test::Pixel(out, 45, 50), test::Pixel(source, 48, 50), 3));  // -2.5 -> -2
    EXPECT_EQ(0, std::memcmp(test::Pixel(out, 57, 50), test::Pixel(source, 54, 50), 3));  // 3.5 -> 4

    Bitmap narrow(5, 9);
    EXPECT_EQ(ComputeNormRadius(narrow), 2);
    const Bitmap line = test::Gradient(1, 7);
    const LensModel thin = ModelFor(line, 0.2L, 0.1L, 0);
    EXPECT_EQ(thin.NormRadius, 0);
    Bitmap thinOut(1, 7);
    CorrectFullImage(thin, line, thinOut);  // no division by zero, no read outside
    EXPECT_EQ(ComputeFillLevel(Bitmap()), 0);
}

TEST(LensPreview, ZoomRotationFrameAndGrid) {
    const Bitmap source = test::Gradient(200, 100);
    LensModel m = ModelFor(source);
    Bitmap view(101, 101), plain;
    RenderLensPreview(m, source, {100, 50, 1.0, false}, view, plain);
    EXPECT_EQ(0, std::memcmp(test::Pixel(view, 50, 50), test::Pixel(source, 100, 50), 3));
    EXPECT_EQ(test::Pixel(view, 0, 30)[1], 0);  // border

    // A quarter turn: the pixel right of the centre comes from above it.
    m.PreviewRotation = std::acos(-1.0L) / 2;
    RenderLensPreview(m, source, {100, 50, 1.0, false}, view, plain);
    EXPECT_EQ(0, std::memcmp(test::Pixel(view, 60, 50), test::Pixel(source, 100, 60), 3));

    // Beside a turned picture the view is black: no streaks from positions
    // clamped to the edge and then turned back inside.
    m.PreviewRotation = 0.3L;
    Bitmap wide(301, 101);
    RenderLensPreview(m, source, {100, 50, 1.0, false}, wide, plain);
    for (int x = 2; x < 30; ++x)
        for (int y : {2, 50, 98}) EXPECT_EQ(test::Pixel(wide, x, y)[1], 0) << x << "," << y;
    m.PreviewRotation = 0;

    // The grid is fixed to the view; the plain copy has none.
    RenderLensPreview(m, source, {100, 50, 4.0, true}, view, plain);
    EXPECT_EQ(test::Pixel(view, 50, 20)[1], 128);
    EXPECT_EQ(test::Pixel(view, 50, 20)[2], 0);
    EXPECT_NE(test::Pixel(plain, 50, 20)[1] == 128 && test::Pixel(plain, 50, 20)[2] == 0, true);
    // Outside the source: black; the output frame in grey.
    EXPECT_EQ(test::Pixel(view, 3, 3)[0], 0);
    const int left = 50 - static_cast<int>(std::nearbyint(100 / 4.0));
    EXPECT_EQ(test::Pixel(view, left, 45)[0], 128);

    Bitmap moved;
    DrawPanFrame(10, -5, plain, moved, false);
    EXPECT_EQ(0, std::memcmp(test::Pixel(moved, 60, 40), test::Pixel(plain, 50, 45), 3));
    EXPECT_EQ(test::Pixel(moved, 5, 50)[0], 0);
    // A drag far off the view leaves it black (no overflow in the shift).
    for (const int d : {INT32_MIN, INT32_MAX}) {
        DrawPanFrame(d, d, plain, moved, false);
        EXPECT_EQ(test::Pixel(moved, 50, 45)[0], 0);
    }
}

TEST(LensControls, SliderValuesAndNames) {
    EXPECT_EQ(DraggedValue(LensSlider::A, 0, 1000), 1);
    EXPECT_EQ(DraggedValue(LensSlider::A, 0, 5000), 1);
    EXPECT_EQ(DraggedValue(LensSlider::A, 0.25L, 0), 0.25L);
    EXPECT_EQ(DraggedValue(LensSlider::Scale, 1, -5000), static_cast<Extended>(0.001));
    EXPECT_EQ(KeyedValue(LensSlider::Rotation, 0, 1), static_cast<Extended>(0.001));
    EXPECT_EQ(KeyedValue(LensSlider::B, 0.0015L, -1), 0);  // 0.0005 snaps to 0
    EXPECT_EQ(TypedValue(LensSlider::A, "abc"), 0);
    EXPECT_EQ(TypedValue(LensSlider::Scale, "abc"), 1);
    EXPECT_EQ(TypedValue(LensSlider::Scale, "20"), 10);
    // A loaded profile goes through the edit boxes: limited, snapped, D completing the sum.
    const LensModel loaded = ProfileCoefficients({20, 0.5L, 0.0004L, -3});
    EXPECT_EQ(loaded.OverallScale, 10);
    EXPECT_EQ(loaded.CoeffA, TypedValue(LensSlider::A, "0.5"));
    EXPECT_EQ(loaded.CoeffB, 0);
    EXPECT_EQ(loaded.CoeffC, -1);
    EXPECT_EQ(loaded.CoeffD, 1 - (loaded.CoeffA + loaded.CoeffB + loaded.CoeffC));
    EXPECT_EQ(EditText(LensSlider::Rotation, 0.001L), "0.0572957795130823");
    EXPECT_EQ(FramedText(LensSlider::Rotation, 0.001L, false), " 0.05729578");
    EXPECT_EQ(FramedText(LensSlider::Scale, 1, true), " 1");
    EXPECT_EQ(FileNameOf(CorrectedImageName("/out", "/photos/IMG_0001.JPG", 0.0125L, ".jpg")),
              "IMG_0001.JPG_Corrected12.5.jpg");
    EXPECT_EQ(FileNameOf(CorrectedImageName("/out", "/p/a.jpg", 0, ".jpg")), "a.jpg_Corrected0.jpg");
    EXPECT_EQ(FileNameOf(CorrectedImageName("/out", "/p/a.jpg", -0.01L, ".bmp")), "a.jpg_Corrected-10.bmp");
}

TEST(LensProfile, TextRoundTripAndRefusals) {
    const LensProfileValues values{1.0125L, 0.012L, -0.00001L, 1.0L / 3};
    const std::string text = ProfileText(values, '.');
    EXPECT_EQ(text, "FOV\r\n0\r\nOveral Scale\r\n1.0125\r\nA\r\n0.012\r\nB\r\n-1E-5\r\nC\r\n0.333333333333333\r\n");
    const auto back = ParseProfile(SplitLines(text));
    ASSERT_TRUE(back);
    EXPECT_EQ(back->CoeffA, ParseProfileNumber("0.012").value());
    // The same profile under a comma separator reads back too.
    const auto comma = ParseProfile(SplitLines(ProfileText(values, ',')));
    ASSERT_TRUE(comma);
    EXPECT_EQ(comma->OverallScale, back->OverallScale);
    EXPECT_EQ(ProfileText(*comma, ','), ProfileText(values, ','));

    auto lines = SplitLines(text);
    lines[5] = "-10";
    EXPECT_FALSE(ParseProfile(lines));
    lines = SplitLines(text);
    lines[3] = "-1";
    EXPECT_FALSE(ParseProfile(lines));
    lines[3] = "abc";
    EXPECT_FALSE(ParseProfile(lines));
    lines.resize(9);
    EXPECT_FALSE(ParseProfile(lines));
    for (const char* text : {"", "1.2.3", "nan", "NAN", "-inf", "infinity", "1e999"})
        EXPECT_FALSE(ParseProfileNumber(text)) << text;
    lines = SplitLines(text);
    lines[7] = "NAN";
    EXPECT_FALSE(ParseProfile(lines));
    EXPECT_EQ(TypedValue(LensSlider::A, "nan"), 0);  // the default, like any text that does not parse

    EXPECT_EQ(ProfileFileName("/p/lens"), "/p/lens.pfl");
    EXPECT_EQ(ProfileFileName("/p/lens.txt"), "/p/lens.pfl");
}

TEST(LensProfile, LabelNamesTheProfileWhileTheValuesMatch) {
    const auto blank = BlankProfileLines();
    EXPECT_EQ(ProfileLabelText(blank, "Default Blank Profile", LensProfileValues{}), "Default Blank Profile");
    EXPECT_EQ(ProfileLabelText(blank, "", LensProfileValues{}), "Default Blank Profile");
    const LensProfileValues saved{1, 0.25L, 0, 0};
    const auto lines = SplitLines(ProfileText(saved, '.'));
    EXPECT_EQ(ProfileLabelText(lines, "wide", saved), "wide");
    EXPECT_EQ(ProfileLabelText(lines, "wide", LensProfileValues{1, 0.26L, 0, 0}), "Custom Profile");
    EXPECT_EQ(ProfileLabelText(lines, "wide", LensProfileValues{}), "Default Blank Profile");
    EXPECT_TRUE(IsBlankProfile(LensProfileValues{}));
    // A value that 15 digits do not reproduce never matches.
    const LensProfileValues odd{1, 1.0L / 3, 0, 0};
    EXPECT_NE(ProfileLabelText(SplitLines(ProfileText(odd, '.')), "odd", odd), "odd");
}

}  // namespace
}  // namespace vantrel
