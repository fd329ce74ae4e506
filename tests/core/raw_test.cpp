#include <gtest/gtest.h>
#include <lcms2.h>

#include <filesystem>
#include <unistd.h>

#include "dng_file.h"
#include "formats/codec_error.h"
#include "formats/image_file.h"
#include "formats/raw_codec.h"
#include "formats/png_codec.h"
#include "formats/source_metadata.h"
#include "metadata/icc_profile.h"
#include "metadata/image_metadata.h"
#include "util/file_io.h"

namespace vantrel {
namespace {

namespace fs = std::filesystem;

// Smooth light between 0.4 and 3.2 (for one second) in each channel, so the
// exposures below neither clip nor sink into the noise.
std::array<double, 3> Scene(int x, int y) {
    const double u = x / 160.0, v = y / 120.0;
    return {0.4 + 2.8 * u, 0.4 + 1.4 * (u + v), 0.4 + 2.8 * v};
}

// Mean of one channel of a developed picture over its inner part (the
// demosaic's edges left out), as a fraction of full scale.
double InnerMean(const Bitmap& picture, int channel) {
    double sum = 0;
    int n = 0;
    for (int y = 8; y < picture.height() - 8; ++y)
        for (int x = 8; x < picture.width() - 8; ++x, ++n) sum += picture.rowAs<std::uint16_t>(y)[3 * x + channel];
    return sum / n / 65535;
}

TEST(Raw, LinearDevelopmentGivesTheScenesLightInTheRatioOfTheExposures) {
    std::vector<Bitmap> developed;
    for (double t : {1.0 / 4, 1.0 / 16, 1.0 / 64}) {
        const std::vector<std::uint8_t> dng = test::MakeDng(160, 120, Scene, {t});
        developed.push_back(DecodeRaw(dng.data(), dng.size(), RawDevelopment::Linear));
        const Bitmap& p = developed.back();
        ASSERT_EQ(p.width(), 160);
        ASSERT_EQ(p.height(), 120);
        EXPECT_EQ(p.depth(), SampleDepth::U16);
        EXPECT_TRUE(p.linear());
        // Pixel by pixel, the scene's light times the exposure (BGR order),
        // within noise and the demosaic's smoothing.
        double worst = 0;
        for (int y = 8; y < 112; y += 7)
            for (int x = 8; x < 152; x += 7)
                for (int c = 0; c < 3; ++c) {
                    const double want = Scene(x, y)[2 - c] * t;
                    worst = std::max(worst, std::abs(p.rowAs<std::uint16_t>(y)[3 * x + c] / 65535.0 - want));
                }
        EXPECT_LT(worst, 0.004) << "exposure " << t;
    }
    for (int c = 0; c < 3; ++c) {
        EXPECT_NEAR(InnerMean(developed[0], c) / InnerMean(developed[1], c), 4, 4 * 0.02) << c;
        EXPECT_NEAR(InnerMean(developed[0], c) / InnerMean(developed[2], c), 16, 16 * 0.02) << c;
    }
    // The sRGB development of the same file is brighter in the midtones and equal at the ends.
    const std::vector<std::uint8_t> dng = test::MakeDng(160, 120, Scene, {1.0 / 16});
    const Bitmap srgb = DecodeRaw(dng.data(), dng.size(), RawDevelopment::Srgb);
    EXPECT_FALSE(srgb.linear());
    EXPECT_GT(InnerMean(srgb, 1), 1.5 * InnerMean(developed[1], 1));
}

TEST(Raw, BadRawFilesAreRefusedWithTheirCause) {
    const std::vector<std::uint8_t> good = test::MakeDng(64, 48, Scene, {});
    const std::vector<std::uint8_t> cut(good.begin(), good.begin() + static_cast<std::ptrdiff_t>(good.size() / 3));
    std::vector<std::uint8_t> noise(5000);
    for (std::size_t i = 0; i < noise.size(); ++i) noise[i] = static_cast<std::uint8_t>(i * 7919 % 251);
    // The header claims a picture of 60000 x 60000 over the same few bytes.
    std::vector<std::uint8_t> absurd = test::MakeDng(64, 48, Scene, {});
    TiffReader reader(BytesFetch(absurd.data(), absurd.size()));
    const auto ifd = reader.directory(reader.firstDirectory());
    ASSERT_TRUE(ifd);
    for (const TiffEntry& e : ifd->entries)
        if (e.tag == kTagImageWidth || e.tag == kTagImageLength) {
            const std::uint32_t at = reader.firstDirectory() + 2 + 12 * static_cast<std::uint32_t>(&e - ifd->entries.data()) + 8;
            const std::uint32_t big = 60000;
            std::memcpy(&absurd[at], &big, 4);
        }
    const struct {
        const char* name;
        const std::vector<std::uint8_t>& bytes;
        bool incomplete;
    } cases[] = {{"cut short", cut, true}, {"not a raw file", noise, false}, {"absurd size", absurd, false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        try {
            DecodeRaw(c.bytes.data(), c.bytes.size(), RawDevelopment::Linear);
            ADD_FAILURE() << "read";
        } catch (const IncompletePicture&) {
            EXPECT_TRUE(c.incomplete);
        } catch (const InvalidPicture& e) {
            EXPECT_FALSE(c.incomplete) << e.what();
        }
    }
}

TEST(Raw, TheCamerasExposureAndIdentityComeThroughExiv2) {
    const fs::path dir = fs::temp_directory_path() / ("vantrel_raw_" + std::to_string(::getpid()));
    fs::create_directories(dir);
    const std::string path = (dir / "shot.dng").string();
    WriteFileAtomically(path, test::MakeDng(64, 48, Scene, {1.0 / 250, 5.6, 400, "2026:11:30 09:08:07"}));
    Bitmap picture;
    ASSERT_EQ(LoadImageFile(path, picture), LoadOutcome::Loaded);
    EXPECT_EQ(picture.depth(), SampleDepth::U16);
    const ExifTags tags = ReadImageExifTags(path);
    EXPECT_EQ(tags.Make, "Vantrel Test");
    EXPECT_EQ(tags.Model, "Mosaic 16");
    ASSERT_TRUE(tags.ExposureTime);
    EXPECT_NEAR(*tags.ExposureTime, 1.0 / 250, 1e-6);
    ASSERT_TRUE(tags.FNumber);
    EXPECT_NEAR(*tags.FNumber, 5.6, 1e-6);
    ASSERT_TRUE(tags.ISO);
    EXPECT_EQ(*tags.ISO, 400);
    EXPECT_EQ(tags.DateTimeOriginal, "2026:11:30 09:08:07");
    fs::remove_all(dir);
}

// The profile linear outputs carry, read by Little CMS, the reference colour
// engine: linear grey and primaries land where sRGB puts them.
TEST(Raw, LinearOutputsCarryAProfileOfLinearLight) {
    const std::vector<std::uint8_t> profile = LinearRec709Profile();
    EXPECT_TRUE(ProfileIsLinear(profile.data(), profile.size()));
    cmsHPROFILE linear = cmsOpenProfileFromMem(profile.data(), static_cast<cmsUInt32Number>(profile.size()));
    ASSERT_NE(linear, nullptr);
    cmsHPROFILE srgb = cmsCreate_sRGBProfile();
    cmsHTRANSFORM toSrgb = cmsCreateTransform(linear, TYPE_RGB_DBL, srgb, TYPE_RGB_DBL, INTENT_RELATIVE_COLORIMETRIC, 0);
    ASSERT_NE(toSrgb, nullptr);
    const struct {
        double in[3], out[3];
    } cases[] = {{{0.5, 0.5, 0.5}, {0.7354, 0.7354, 0.7354}},
                 {{0.18, 0.18, 0.18}, {0.4614, 0.4614, 0.4614}},
                 {{1, 0, 0}, {1, 0, 0}},
                 {{0, 1, 0}, {0, 1, 0}},
                 {{0, 0, 0.2140}, {0, 0, 0.5}}};
    for (const auto& c : cases) {
        double out[3];
        cmsDoTransform(toSrgb, c.in, out, 1);
        for (int k = 0; k < 3; ++k) EXPECT_NEAR(out[k], c.out[k], 0.003) << c.in[0] << "," << c.in[1] << "," << c.in[2];
    }
    // sRGB's own profile is not linear.
    cmsUInt32Number size = 0;
    cmsSaveProfileToMem(srgb, nullptr, &size);
    std::vector<std::uint8_t> bytes(size);
    cmsSaveProfileToMem(srgb, bytes.data(), &size);
    EXPECT_FALSE(ProfileIsLinear(bytes.data(), bytes.size()));
    cmsDeleteTransform(toSrgb);
    cmsCloseProfile(srgb);
    cmsCloseProfile(linear);
    // A linear PNG carries it and reads back linear (TIFF: the command's raw test).
    ImageMetadata withProfile;
    withProfile.icc = LinearRec709Profile();
    std::string notice;
    const std::vector<std::uint8_t> png = EncodePng(Bitmap(16, 9, SampleDepth::U16), nullptr, withProfile);
    EXPECT_TRUE(DecodePng(png.data(), png.size(), notice).linear());
}

}  // namespace
}  // namespace vantrel
