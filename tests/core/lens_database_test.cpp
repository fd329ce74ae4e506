// The lens database's distortion in this program's model, checked against
// lensfun's own geometry modifier: the library is the oracle.
#include <gtest/gtest.h>
#include <lensfun/lensfun.h>

#include <cmath>
#include <map>
#include <memory>
#include <sstream>

#include "camera/camera_identity.h"
#include "lensdb/lens_database.h"
#include "test_support.h"

namespace vantrel {
namespace {

struct Frame {
    int width, height;
};
const Frame kFrames[] = {{6000, 4000}, {4032, 3024}, {1920, 1080}, {3000, 4500}};

// The source pixel (pixel-centre co-ordinates) the load-time correction
// samples for output pixel (x, y): offsets from (w div 2, h div 2) at pixel
// centres, times the scale, times A r^3 + B r^2 + C r + D with r the offset
// over min(w, h) div 2.
std::pair<double, double> OurSource(const TLensCorrection& c, int w, int h, int x, int y) {
    const double cx = w / 2, cy = h / 2, R = std::min(w, h) / 2;
    const double dx = (x - cx + 0.5) * static_cast<double>(c.LensScale), dy = (y - cy + 0.5) * static_cast<double>(c.LensScale);
    const double r = std::hypot(dx, dy) / R;
    const double f = static_cast<double>(((c.LensA * r + c.LensB) * r + c.LensC) * r + c.LensD);
    return {dx * f + cx - 0.5, dy * f + cy - 0.5};
}

// The worst distance between ours and the library's over a grid of output
// pixels, edges and corners included.
double WorstDistance(const lfModifier& library, const TLensCorrection& ours, int w, int h) {
    double worst = 0;
    for (int j = 0; j <= 8; ++j)
        for (int i = 0; i <= 10; ++i) {
            const int x = (w - 1) * i / 10, y = (h - 1) * j / 8;
            float theirs[2];
            library.ApplyGeometryDistortion(static_cast<float>(x), static_cast<float>(y), 1, 1, theirs);
            const auto [sx, sy] = OurSource(ours, w, h, x, y);
            worst = std::max(worst, std::hypot(sx - theirs[0], sy - theirs[1]));
        }
    return worst;
}

struct Database {
    std::unique_ptr<lfDatabase> db{new lfDatabase()};
    Database() { db->Load(); }
};

TEST(LensDatabase, ConversionAgreesWithTheLibrarysGeometry) {
    const Database library;
    ASSERT_NE(library.db->GetLenses(), nullptr) << "lensfun's data is not installed";
    std::map<lfDistortionModel, int> tried;
    for (const lfLens* const* l = library.db->GetLenses(); *l; ++l) {
        const lfLens* lens = *l;
        if (!lens->CalibDistortion || !lens->CalibDistortion[0] || lens->CenterX != 0 || lens->CenterY != 0) continue;
        const lfDistortionModel model = lens->CalibDistortion[0]->Model;
        if (tried[model]++ >= 6) continue;
        // A zoom between its calibrated focal lengths, so the interpolation counts too.
        const float focal = lens->MaxFocal > lens->MinFocal ? (lens->MinFocal + lens->MaxFocal) / 2 : lens->CalibDistortion[0]->Focal;
        lfLensCalibDistortion calibration{};
        ASSERT_TRUE(lens->InterpolateDistortion(focal, calibration));
        const double terms[3] = {calibration.Terms[0], calibration.Terms[1], calibration.Terms[2]};
        const DistortionKind kind = model == LF_DIST_MODEL_PTLENS  ? DistortionKind::Ptlens
                                    : model == LF_DIST_MODEL_POLY3 ? DistortionKind::Poly3
                                                                   : DistortionKind::Poly5;
        for (const Frame& f : kFrames)
            for (const double crop : {static_cast<double>(lens->CropFactor), lens->CropFactor * 1.5}) {
                SCOPED_TRACE(std::string(lf_mlstr_get(lens->Model)) + " " + std::to_string(f.width) + "x" +
                             std::to_string(f.height) + " crop " + std::to_string(crop));
                const ConvertedDistortion ours = ConvertDistortion(
                    kind, terms, LensfunUnitsPerPixel(f.width, f.height, crop, lens->CropFactor, lens->AspectRatio),
                    f.width, f.height);
                lfModifier modifier(lens, static_cast<float>(crop), f.width, f.height);
                modifier.Initialize(lens, LF_PF_U8, focal, 8, 1000, 1.0f, lens->Type, LF_MODIFY_DISTORTION, false);
                const double worst = WorstDistance(modifier, ours.correction, f.width, f.height);
                EXPECT_NEAR(static_cast<double>(ours.correction.LensA + ours.correction.LensB + ours.correction.LensC +
                                                 ours.correction.LensD),
                            1, 1e-12);
                if (kind == DistortionKind::Poly5) {
                    EXPECT_LE(worst, ours.deviation + 0.05);  // a fit, as good as it says
                } else {
                    EXPECT_LE(worst, 0.05);
                    EXPECT_EQ(ours.deviation, 0);
                }
            }
    }
    EXPECT_GT(tried[LF_DIST_MODEL_PTLENS], 3);
    EXPECT_GT(tried[LF_DIST_MODEL_POLY3], 3);
    EXPECT_GE(tried[LF_DIST_MODEL_POLY5], 1);  // the database holds few
}

// A lookup by EXIF, auto-scale included, against the library's modifier
// with its automatic scale, for lenses named once in the database.
TEST(LensDatabase, LookupsMatchTheLibraryWithItsAutomaticScale) {
    const LensDatabase& ours = LensDatabase::Shared();
    ASSERT_FALSE(ours.empty());
    const Database library;
    std::map<std::string, int> names;
    for (const LensEntry& e : ours.lenses()) ++names[e.name];
    int checked = 0;
    for (std::size_t i = 0; i < ours.lenses().size() && checked < 12; i += ours.lenses().size() / 40) {
        const std::string& name = ours.lenses()[i].name;
        if (names[name] != 1) continue;
        // The same lens in the library's own list, by its full name.
        const lfLens* lens = nullptr;
        for (const lfLens* const* l = library.db->GetLenses(); *l && !lens; ++l) {
            const std::string maker = lf_mlstr_get((*l)->Maker) ? lf_mlstr_get((*l)->Maker) : "";
            const std::string model = lf_mlstr_get((*l)->Model);
            if (model == name || maker + " " + model == name) lens = *l;
        }
        if (!lens || lens->CenterX != 0 || lens->CenterY != 0) continue;
        ExifTags exif;
        exif.FocalLength = lens->CalibDistortion[0]->Focal;
        exif.FocalLengthIn35mmFormat = *exif.FocalLength * lens->CropFactor;
        const LensLookup result = ours.lookupLens(i, exif, 4000, 3000);
        ASSERT_TRUE(result.match) << result.problem;
        SCOPED_TRACE(name);
        lfModifier modifier(lens, lens->CropFactor, 4000, 3000);
        modifier.Initialize(lens, LF_PF_U8, static_cast<float>(*exif.FocalLength), 8, 1000, 0.0f, lens->Type,
                            LF_MODIFY_DISTORTION | LF_MODIFY_SCALE, false);
        EXPECT_LE(WorstDistance(modifier, result.match->correction, 4000, 3000), result.match->deviation + 0.05);
        ++checked;
    }
    EXPECT_GE(checked, 6);
}

TEST(LensDatabase, CameraFilesFindTheirLensOrSayWhy) {
    const LensDatabase& db = LensDatabase::Shared();
    const struct {
        const char* file;
        const char* lens;  // empty: no match, and `why` in the problem
        const char* why;
    } cases[] = {
        // "18.0-70.0 mm f/3.5-4.5" on a Nikon D70s, at 60 mm.
        {"camera-jpeg/exif-samples/tests/87_OSError.jpg", "Nikon Nikkor AF-S 18-70mm f/3.5-4.5G DX IF-ED on Nikon D70s at 60 mm", ""},
        {"corrupt-jpeg/pillow/broken_exif_dpi.jpg", "Nikon Nikkor AF-S 14-24mm f/2.8G ED on Nikon D800 at 14 mm", ""},
        {"camera-jpeg/pillow/flower.jpg", "Canon fixed lens on Canon PowerShot S40 at 21.31 mm", ""},  // a compact's own lens
        {"camera-jpeg/exif-samples/hdr/iphone_hdr_NO.jpg", "", "No lens with distortion data in the database matches"},
        // The lens named only in the makers' notes.
        {"camera-jpeg/exiftool-t-images/NikonD70.jpg", "Nikon Nikkor AF-S 18-70mm f/3.5-4.5G DX IF-ED on Nikon D70 at 56 mm", ""},
        {"camera-jpeg/exif-samples/tests/42_IndexError.jpg",
         "Olympus M.Zuiko Digital ED 14-42mm f/3.5-5.6 II R on Olympus E-P3 at 15 mm", ""},
        {"camera-jpeg/exiftool-t-images/Canon.jpg", "", "The EXIF names no lens, and camera \"Canon EOS DIGITAL REBEL\""},
        {"camera-jpeg/exif-samples/Canon_DIGITAL_IXUS_400.jpg", "", "takes several lenses"},  // with and without a converter
        {"camera-jpeg/pillow/exif_gps.jpg", "", "records no focal length"},
        {"bmp/pillow-bmpsuite/g/rgb24.bmp", "", "names no camera and no lens"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.file);
        const ExifTags exif = LensTagsOf(test::TestData(c.file).string());
        const LensLookup result = db.lookup(exif, 3008, 2000);
        if (*c.lens) {
            ASSERT_TRUE(result.match) << result.problem;
            EXPECT_EQ(result.match->describe().rfind(c.lens, 0), 0u) << result.match->describe();
        } else {
            ASSERT_FALSE(result.match) << result.match->describe();
            EXPECT_NE(result.problem.find(c.why), std::string::npos) << result.problem;
        }
    }
}

// The database's vignetting for a Nikon D70s photo (60 mm, its own
// aperture) on a flat grey picture, against lensfun's own colour modifier
// run here on an RGB copy: within a level everywhere, and the corners
// brightened.
TEST(LensDatabase, VignettingAsTheLibraryAppliesIt) {
    const std::string photo = test::TestData("camera-jpeg/exif-samples/tests/87_OSError.jpg").string();
    const ExifTags exif = LensTagsOf(photo);
    ASSERT_TRUE(exif.FNumber && exif.FocalLength);
    const LensLookup found = LensDatabase::Shared().lookup(exif, 600, 400);
    ASSERT_TRUE(found.match) << found.problem;
    Bitmap ours(600, 400);
    ours.fill(128, 128, 128);
    ASSERT_EQ(LensDatabase::Shared().correctVignetting(*found.match, exif, ours), "");

    lfDatabase lensfun;
    ASSERT_EQ(lensfun.Load(), LF_NO_ERROR);
    const lfCamera** cameras = lensfun.FindCameras(exif.Make.c_str(), exif.Model.c_str());
    const lfLens** lenses = lensfun.FindLenses(cameras ? cameras[0] : nullptr, nullptr, "Nikkor AF-S 18-70mm f/3.5-4.5G DX IF-ED");
    ASSERT_TRUE(lenses && lenses[0]);
    std::vector<std::uint8_t> rgb(600 * 400 * 3, 128);
    lfModifier modifier(lenses[0], static_cast<float>(found.match->cropFactor), 600, 400);
    modifier.Initialize(lenses[0], LF_PF_U8, static_cast<float>(*exif.FocalLength), static_cast<float>(*exif.FNumber), 1000, 1.0f,
                        lenses[0]->Type, LF_MODIFY_VIGNETTING, false);
    modifier.ApplyColorModification(rgb.data(), 0, 0, 600, 400, LF_CR_3(RED, GREEN, BLUE), 600 * 3);
    lf_free(lenses);
    lf_free(cameras);
    int worst = 0;
    for (int y = 0; y < 400; ++y)
        for (int x = 0; x < 600; ++x)
            for (int c = 0; c < 3; ++c)
                worst = std::max(worst, std::abs(ours.row(y)[3 * x + c] - rgb[(static_cast<std::size_t>(y) * 600 + x) * 3 + 2 - c]));
    EXPECT_LE(worst, 1);
    EXPECT_GT(ours.row(0)[0], ours.row(200)[900] + 5);  // a corner against the centre

    // None for a lens the database has no vignetting data for: said, and nothing changes.
    const std::string e1 = test::TestData("camera-jpeg/exiftool-t-images/OlympusE1.jpg").string();
    const LensLookup zuiko = LensDatabase::Shared().lookup(LensTagsOf(e1), 600, 400);
    ASSERT_TRUE(zuiko.match) << zuiko.problem;
    Bitmap grey(60, 40);
    grey.fill(128, 128, 128);
    const Bitmap before = grey;
    EXPECT_NE(LensDatabase::Shared().correctVignetting(*zuiko.match, LensTagsOf(e1), grey).find("no vignetting data"),
              std::string::npos);
    EXPECT_TRUE(grey.samePixels(before));
}

// Over every camera JPEG: the files the program finds a lens for, and the
// lens, are those lensfun itself finds for the camera and the lens name that
// exiftool reports, read without any of the program's own reading code.
TEST(LensDatabase, MakersNotesFindTheLensLensfunFindsForExiftoolsName) {
    if (test::Shell("exiftool -ver 2>/dev/null").empty()) GTEST_SKIP() << "exiftool is not installed";
    std::vector<std::string> files;
    for (const char* dir : {"camera-jpeg/exif-samples", "camera-jpeg/exiftool-t-images", "camera-jpeg/pillow"})
        for (const auto& f : test::FilesIn(dir))
            if (f.extension() == ".jpg" || f.extension() == ".JPG") files.push_back(f.string());
    ASSERT_GT(files.size(), 50u);
    std::string command = "exiftool -q -q -T -Make -Model -LensID -FocalLength#";
    for (const std::string& f : files) command += " '" + f + "'";
    std::stringstream table(test::Shell(command + " 2>/dev/null"));

    lfDatabase lensfun;
    ASSERT_EQ(lensfun.Load(), LF_NO_ERROR);
    auto name = [](const lfLens* l) {
        const std::string maker = lf_mlstr_get(l->Maker), model = lf_mlstr_get(l->Model);
        return model.rfind(maker, 0) == 0 ? model : maker + " " + model;
    };
    int found = 0;
    for (const std::string& file : files) {
        std::string line;
        std::getline(table, line);
        std::vector<std::string> f;
        std::stringstream fields(line);
        for (std::string field; std::getline(fields, field, '\t');) f.push_back(field == "-" ? "" : field);
        f.resize(4);
        SCOPED_TRACE(file + ": " + line);
        // The library's answer: its best lens with distortion data at the focal length, none for a tie.
        std::string expected;
        const double focal = std::atof(f[3].c_str());
        const lfCamera** cameras = f[0].empty() ? nullptr : lensfun.FindCameras(f[0].c_str(), f[1].c_str());
        const lfCamera* camera = cameras ? cameras[0] : nullptr;
        const bool named = !f[2].empty() && f[2].rfind("Unknown", 0) != 0;
        if (focal > 0 && (named || camera)) {
            const lfLens** lenses = lensfun.FindLenses(camera, nullptr, named ? f[2].c_str() : nullptr);
            std::vector<const lfLens*> fit;
            for (const lfLens** l = lenses; l && *l; ++l) {
                const bool covers = (*l)->MinFocal <= 0 ||
                                    (focal >= (*l)->MinFocal * 0.98 && focal <= std::max((*l)->MaxFocal, (*l)->MinFocal) * 1.02);
                if ((*l)->CalibDistortion && (*l)->CalibDistortion[0] && covers) fit.push_back(*l);
            }
            const bool tie = fit.size() > 1 && (!named || (fit[1]->Score == fit[0]->Score && name(fit[1]) != name(fit[0])));
            if (!fit.empty() && !tie) expected = name(fit[0]);
            lf_free(lenses);
        }
        lf_free(cameras);
        const LensLookup ours = LensDatabase::Shared().lookup(LensTagsOf(file), 3000, 2000);
        EXPECT_EQ(ours.match ? ours.match->lens : std::string(), expected) << ours.problem;
        found += !expected.empty();
    }
    EXPECT_GE(found, 6);
}

}  // namespace
}  // namespace vantrel
