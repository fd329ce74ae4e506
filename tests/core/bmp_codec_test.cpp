#include <gtest/gtest.h>

#include <cstring>

#include "formats/bmp_codec.h"
#include "formats/codec_error.h"
#include "test_support.h"
#include "util/file_io.h"

namespace vantrel {
namespace {

using test::TestData;

Bitmap Suite(const std::string& name) {
    const auto bytes = ReadWholeFile(TestData("bmp/pillow-bmpsuite/" + name).string());
    return DecodeBmp(bytes.data(), bytes.size());
}

void Put32(std::vector<std::uint8_t>& b, std::size_t at, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) b[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
}

TEST(BmpSuite, EveryGoodFileLoads) {
    for (const auto& file : test::FilesIn("bmp/pillow-bmpsuite/g")) {
        SCOPED_TRACE(file.filename().string());
        const auto bytes = ReadWholeFile(file.string());
        const Bitmap b = DecodeBmp(bytes.data(), bytes.size());
        EXPECT_GT(b.width(), 0);
        EXPECT_GT(b.height(), 0);
    }
}

// The suite draws one picture in many encodings: each must decode to the same pixels.
TEST(BmpSuite, EncodingsOfOnePictureAgree) {
    const Bitmap rgb24 = Suite("g/rgb24.bmp");
    ASSERT_EQ(rgb24.width(), 127);
    ASSERT_EQ(rgb24.height(), 64);
    for (const char* name : {"g/rgb24pal.bmp", "g/rgb32.bmp", "g/rgb32bf.bmp"}) {
        SCOPED_TRACE(name);
        EXPECT_TRUE(Suite(name).samePixels(rgb24));
    }
    // Five or six bits a channel: within one quantisation step.
    for (const char* name : {"g/rgb16.bmp", "g/rgb16-565.bmp", "g/rgb16-565pal.bmp"}) {
        SCOPED_TRACE(name);
        const Bitmap b = Suite(name);
        ASSERT_EQ(b.width(), 127);
        EXPECT_LE(test::MaxDifference(b, rgb24), 8);
    }
    const Bitmap pal8 = Suite("g/pal8.bmp");
    for (const char* name : {"g/pal8-0.bmp", "g/pal8os2.bmp", "g/pal8rle.bmp", "g/pal8topdown.bmp", "g/pal8v4.bmp",
                             "g/pal8v5.bmp", "g/pal8nonsquare.bmp"}) {
        SCOPED_TRACE(name);
        const Bitmap b = Suite(name);
        if (std::string(name) == "g/pal8nonsquare.bmp") {
            EXPECT_EQ(b.width(), 127);
            continue;  // drawn at another pixel aspect
        }
        EXPECT_TRUE(b.samePixels(pal8));
    }
    EXPECT_TRUE(Suite("g/pal4rle.bmp").samePixels(Suite("g/pal4.bmp")));
    // The palette pictures are quantised versions of the true-colour one.
    EXPECT_LE(test::MaxDifference(pal8, rgb24), 64);
}

TEST(BmpSuite, KnownPixels) {
    // pal1.bmp is black and white; pal1bg.bmp the same picture in two other colours.
    const Bitmap bw = Suite("g/pal1.bmp");
    const Bitmap bg = Suite("g/pal1bg.bmp");
    ASSERT_TRUE(bw.width() == bg.width() && bw.height() == bg.height());
    for (int y = 0; y < bw.height(); ++y)
        for (int x = 0; x < bw.width(); ++x) {
            const auto* p = test::Pixel(bw, x, y);
            ASSERT_TRUE((p[0] == 0 && p[1] == 0 && p[2] == 0) || (p[0] == 255 && p[1] == 255 && p[2] == 255));
        }
    // Bottom-up and top-down storage give the same top row.
    const Bitmap topDown = Suite("g/pal8topdown.bmp");
    EXPECT_EQ(0, std::memcmp(topDown.row(0), Suite("g/pal8.bmp").row(0), 127 * 3));
}

TEST(BmpSuite, BadAndQuestionableFilesNeverCrash) {
    int refused = 0;
    for (const char* dir : {"bmp/pillow-bmpsuite/b", "bmp/pillow-bmpsuite/q"}) {
        for (const auto& file : test::FilesIn(dir)) {
            SCOPED_TRACE(file.filename().string());
            const auto bytes = ReadWholeFile(file.string());
            try {
                const Bitmap b = DecodeBmp(bytes.data(), bytes.size());
                EXPECT_FALSE(b.empty());
            } catch (const InvalidPicture&) {
                ++refused;
            }
        }
    }
    EXPECT_GE(refused, 10);
}

TEST(BmpCodec, RoundTripAndOddWidths) {
    for (int w : {1, 2, 3, 5, 127}) {
        const Bitmap original = test::Gradient(w, 7);
        const auto bytes = EncodeBmp(original);
        EXPECT_EQ(bytes.size(), 54 + Bitmap::strideFor(w) * 7);
        EXPECT_TRUE(DecodeBmp(bytes.data(), bytes.size()).samePixels(original)) << w;
    }
}

TEST(BmpCodec, RefusesAbsurdOrShortFilesBeforeAllocating) {
    const auto good = EncodeBmp(test::Gradient(16, 16));
    auto withSize = [&](std::int32_t w, std::int32_t h) {
        auto b = good;
        Put32(b, 18, static_cast<std::uint32_t>(w));
        Put32(b, 22, static_cast<std::uint32_t>(h));
        return b;
    };
    for (auto [w, h] : std::vector<std::pair<int, int>>{
             {100000, 100000}, {20000, 20000}, {0, 16}, {16, 0}, {-5, 16}, {16, INT32_MIN}, {17, 16}, {16, 17}}) {
        const auto b = withSize(w, h);
        EXPECT_THROW(DecodeBmp(b.data(), b.size()), InvalidPicture) << w << "x" << h;
    }
    for (std::size_t cut : {0u, 2u, 13u, 20u, 54u, 100u}) {
        EXPECT_THROW(DecodeBmp(good.data(), cut), InvalidPicture) << cut;
    }
    // Without the last row's padding a file still loads.
    const auto odd = EncodeBmp(test::Gradient(5, 3));
    EXPECT_NO_THROW(DecodeBmp(odd.data(), odd.size() - 1));
}

TEST(BmpCodec, RleRunsPastTheEdgeAreClipped) {
    // 4 x 2, RLE8, with a run of 200 pixels and a delta far outside.
    std::vector<std::uint8_t> b(14 + 40 + 8, 0);
    b[0] = 'B';
    b[1] = 'M';
    Put32(b, 10, 14 + 40 + 8);
    Put32(b, 14, 40);
    Put32(b, 18, 4);
    Put32(b, 22, 2);
    b[26] = 1;
    b[28] = 8;
    Put32(b, 30, 1);
    Put32(b, 46, 2);
    b[54 + 4] = 255;  // palette entry 1: blue
    const std::uint8_t rle[] = {200, 1, 0, 2, 250, 250, 3, 1, 0, 0, 0, 1};
    b.insert(b.end(), std::begin(rle), std::end(rle));
    const Bitmap out = DecodeBmp(b.data(), b.size());
    EXPECT_EQ(test::Pixel(out, 3, 1)[0], 255);  // bottom row filled blue
    EXPECT_EQ(test::Pixel(out, 0, 0)[0], 0);    // top row untouched
}

}  // namespace
}  // namespace vantrel
