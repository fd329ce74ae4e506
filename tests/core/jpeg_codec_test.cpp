#include <gtest/gtest.h>

#include <cstring>

#include "formats/codec_error.h"
#include "formats/jpeg_codec.h"
#include "test_support.h"
#include "util/file_io.h"

namespace vantrel {
namespace {

Bitmap DecodeFile(const std::filesystem::path& path) {
    const auto bytes = ReadWholeFile(path.string());
    return DecodeJpeg(bytes.data(), bytes.size());
}

// The encoder's buffer grows as it writes; memory running out part way is an
// error the caller can show, never a crash in the encoder's clean-up.
TEST(JpegCodec, RunningOutOfMemoryWhileEncodingIsAnError) {
    if (test::kUnderSanitizer) GTEST_SKIP() << "address-space limits and sanitizers do not mix";
    const int status = test::ExitStatusWithMemoryLimit(1 << 16, [] {
        const Bitmap noise = test::Noise(3000, 2000, 1);
        // Room for the start of the output, not for the whole of it.
        long pages = 0;
        if (std::FILE* f = std::fopen("/proc/self/statm", "r")) {
            if (std::fscanf(f, "%ld", &pages) != 1) pages = 0;
            std::fclose(f);
        }
        const rlim_t room = static_cast<rlim_t>(pages) * static_cast<rlim_t>(::sysconf(_SC_PAGESIZE)) + (12u << 20);
        const rlimit limit{room, room};
        ::setrlimit(RLIMIT_AS, &limit);
        for (int attempt = 0; attempt < 3; ++attempt) {
            try {
                EncodeJpeg(noise, 100);
                return 2;  // it fitted after all: the test proves nothing
            } catch (const OutOfMemory& e) {
                if (std::string(e.what()).rfind("Not enough memory to write a JPEG", 0) != 0) return 3;
            }
        }
        return 0;
    });
    EXPECT_EQ(status, 0);
}

TEST(JpegCodec, CameraFilesDecodeAtFullSize) {
    int decoded = 0;
    for (const char* dir : {"camera-jpeg/exif-samples", "camera-jpeg/pillow", "brackets"}) {
        for (const auto& file : test::FilesIn(dir)) {
            const auto ext = file.extension().string();
            if (ext != ".jpg" && ext != ".JPG") continue;
            SCOPED_TRACE(file.string());
            const Bitmap b = DecodeFile(file);
            EXPECT_FALSE(b.empty());
            ++decoded;
        }
    }
    EXPECT_GT(decoded, 20);
    const Bitmap bracket = DecodeFile(test::TestData("brackets/sony-dsc08191-08205/DSC08191.JPG"));
    EXPECT_EQ(bracket.width(), 200);
    EXPECT_EQ(bracket.height(), 113);
}

TEST(JpegCodec, GreyscaleAndCmykComeOutInColour) {
    const Bitmap grey = DecodeFile(test::TestData("camera-jpeg/pillow/hopper_gray.jpg"));
    ASSERT_EQ(grey.width(), 128);
    for (int y = 0; y < grey.height(); y += 7) {
        const auto* p = test::Pixel(grey, y % grey.width(), y);
        EXPECT_TRUE(p[0] == p[1] && p[1] == p[2]);
    }
    // The CMYK sample shows the same picture as its RGB twin.
    const Bitmap cmyk = DecodeFile(test::TestData("camera-jpeg/pillow/pil_sample_cmyk.jpg"));
    const Bitmap rgb = DecodeFile(test::TestData("camera-jpeg/pillow/pil_sample_rgb.jpg"));
    ASSERT_EQ(cmyk.width(), rgb.width());
    ASSERT_EQ(cmyk.height(), rgb.height());
    long long total = 0;
    for (int y = 0; y < rgb.height(); ++y)
        for (int i = 0; i < rgb.width() * 3; ++i) total += std::abs(cmyk.row(y)[i] - rgb.row(y)[i]);
    EXPECT_LT(static_cast<double>(total) / (rgb.width() * rgb.height() * 3), 12.0);
}

TEST(JpegCodec, CorruptFilesLoadOrAreRefused) {
    int refused = 0, loaded = 0;
    for (const auto& file : test::FilesIn("corrupt-jpeg")) {
        if (file.extension() != ".jpg") continue;
        SCOPED_TRACE(file.string());
        try {
            const Bitmap b = DecodeFile(file);
            EXPECT_FALSE(b.empty());
            ++loaded;
        } catch (const InvalidPicture&) {
            ++refused;
        }
    }
    EXPECT_GT(refused, 0);
    EXPECT_GT(loaded, 0);
}

TEST(JpegCodec, EncodeRoundTripFollowsQuality) {
    const Bitmap original = test::Gradient(64, 48);
    const auto best = EncodeJpeg(original, 100);
    const auto worst = EncodeJpeg(original, 1);
    EXPECT_LT(worst.size(), best.size());
    const Bitmap back = DecodeJpeg(best.data(), best.size());
    ASSERT_EQ(back.width(), 64);
    ASSERT_EQ(back.height(), 48);
    // Quality 100 keeps a smooth picture within a few levels; colour order is kept.
    long long total = 0;
    for (int y = 0; y < 48; ++y)
        for (int i = 0; i < 64 * 3; ++i) total += std::abs(back.row(y)[i] - original.row(y)[i]);
    EXPECT_LT(static_cast<double>(total) / (64 * 48 * 3), 6.0);
}

TEST(JpegCodec, AbsurdSizeAndGarbageAreRefused) {
    auto bytes = EncodeJpeg(test::Gradient(16, 16), 90);
    // Patch the frame header to 65000 x 65000 (over the pixel limit).
    for (std::size_t i = 0; i + 9 < bytes.size(); ++i) {
        if (bytes[i] == 0xFF && bytes[i + 1] == 0xC0) {
            bytes[i + 5] = bytes[i + 7] = 0xFD;
            bytes[i + 6] = bytes[i + 8] = 0xE8;
            break;
        }
    }
    EXPECT_THROW(DecodeJpeg(bytes.data(), bytes.size()), InvalidPicture);
    const std::uint8_t garbage[] = {0xFF, 0xD8, 0xFF, 0x00, 1, 2, 3};
    EXPECT_THROW(DecodeJpeg(garbage, sizeof garbage), InvalidPicture);
    EXPECT_THROW(DecodeJpeg(garbage, 0), InvalidPicture);
}

}  // namespace
}  // namespace vantrel
