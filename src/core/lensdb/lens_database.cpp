#include "lensdb/lens_database.h"

#include <lensfun/lensfun.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cctype>
#include <cstdio>

#include "util/number_format.h"

namespace vantrel {

double LensfunUnitsPerPixel(int width, int height, double cropFactor, double calibrationCrop,
                            double calibrationAspect) {
    // Sizes between the outermost pixel centres, as the library measures them.
    const double w = std::max(width - 1, 1), h = std::max(height - 1, 1);
    const double shorter = std::min(w, h), aspect = std::max(w, h) / shorter;
    const double toCalibration = calibrationCrop / cropFactor * std::hypot(calibrationAspect, 1.0) / std::hypot(aspect, 1.0);
    return 2 / shorter * toCalibration;
}

namespace {

// Solves the 4 x 4 system m x = v (partial pivoting).
std::array<double, 4> Solve(std::array<std::array<double, 5>, 4> m) {
    for (int col = 0; col < 4; ++col) {
        int pivot = col;
        for (int r = col + 1; r < 4; ++r)
            if (std::fabs(m[r][col]) > std::fabs(m[pivot][col])) pivot = r;
        std::swap(m[col], m[pivot]);
        for (int r = 0; r < 4; ++r) {
            if (r == col || m[col][col] == 0) continue;
            const double f = m[r][col] / m[col][col];
            for (int c = col; c < 5; ++c) m[r][c] -= f * m[col][c];
        }
    }
    std::array<double, 4> x{};
    for (int i = 0; i < 4; ++i) x[i] = m[i][i] != 0 ? m[i][4] / m[i][i] : 0;
    return x;
}

}  // namespace

ConvertedDistortion ConvertDistortion(DistortionKind kind, const double terms[3], double unitsPerPixel, int width,
                                      int height) {
    const double k = unitsPerPixel;
    // The library's radial factor as a cubic in the pixel radius rho:
    // source offset = offset (alpha0 + alpha1 rho + alpha2 rho^2 + alpha3 rho^3).
    std::array<double, 4> alpha{};
    ConvertedDistortion out;
    if (kind == DistortionKind::Ptlens) {
        const double a = terms[0], b = terms[1], c = terms[2];
        alpha = {1 - a - b - c, c * k, b * k * k, a * k * k * k};
    } else if (kind == DistortionKind::Poly3) {
        alpha = {1 - terms[0], 0, terms[0] * k * k, 0};
    } else {
        // 1 + k1 r^2 + k2 r^4 has no cubic twin: the cubic closest in pixels,
        // by least squares over a grid across the frame (rho in units of the
        // half diagonal, for a well-conditioned system).
        const double reach = std::hypot(width, height) / 2;
        auto target = [&](double rho) {
            const double r2 = (k * rho) * (k * rho);
            return 1 + terms[0] * r2 + terms[1] * r2 * r2;
        };
        std::array<std::array<double, 5>, 4> normal{};
        constexpr int kGrid = 64;
        for (int j = 0; j <= kGrid; ++j)
            for (int i = 0; i <= kGrid; ++i) {
                const double rho = std::hypot((i - kGrid / 2.0) * width / kGrid, (j - kGrid / 2.0) * height / kGrid);
                const double s = rho / reach, weight = rho * rho;  // errors count in pixels: offset times factor
                const double powers[4] = {1, s, s * s, s * s * s};
                for (int r = 0; r < 4; ++r) {
                    for (int c = 0; c < 4; ++c) normal[r][c] += weight * powers[r] * powers[c];
                    normal[r][4] += weight * powers[r] * target(rho);
                }
            }
        const std::array<double, 4> gamma = Solve(normal);
        for (int n = 0; n < 4; ++n) alpha[n] = gamma[n] / std::pow(reach, n);
        for (int i = 0; i <= 4000; ++i) {
            const double rho = reach * i / 4000;
            const double fit = alpha[0] + rho * (alpha[1] + rho * (alpha[2] + rho * alpha[3]));
            out.deviation = std::max(out.deviation, rho * std::fabs(fit - target(rho)));
        }
    }

    // Our factor for an output offset u is S (A q^3 + B q^2 + C q + D) with
    // q = S |u| / R; it equals the cubic above when A = alpha3 R^3 / S^4,
    // B = alpha2 R^2 / S^3, C = alpha1 R / S^2, D = alpha0 / S, and
    // D = 1 - (A + B + C) fixes S: S = alpha0 + alpha1 R / S + alpha2 R^2 / S^2 + alpha3 R^3 / S^3.
    const double R = std::max(1, std::min(width, height) / 2);
    double S = 1;
    for (int i = 0; i < 100; ++i) {
        const double f = S - (alpha[0] + alpha[1] * R / S + alpha[2] * R * R / (S * S) + alpha[3] * R * R * R / (S * S * S));
        const double df = 1 + alpha[1] * R / (S * S) + 2 * alpha[2] * R * R / (S * S * S) +
                          3 * alpha[3] * R * R * R / (S * S * S * S);
        const double step = f / df;
        S -= step;
        if (!(S > 0)) S = 0.5;  // stay on the meaningful side
        if (std::fabs(step) < 1e-15) break;
    }
    TLensCorrection& c = out.correction;
    c.LensScale = S;
    c.LensA = alpha[3] * R * R * R / (S * S * S * S);
    c.LensB = alpha[2] * R * R / (S * S * S);
    c.LensC = alpha[1] * R / (S * S);
    c.LensD = 1 - (c.LensA + c.LensB + c.LensC);
    return out;
}

std::string LensMatch::profileName() const { return lens + " at " + FormatGeneral(focalLength, 4) + " mm"; }

std::string LensMatch::describe() const {
    auto value = [](const char* name, Extended v) { return std::string(name) + " " + FormatGeneral(static_cast<double>(v), 6); };
    std::string text = lens + (camera.empty() ? "" : " on " + camera) + " at " + FormatGeneral(focalLength, 4) +
                       " mm (crop " + FormatGeneral(cropFactor, 3) + "): " + model + ", " + value("A", correction.LensA) +
                       ", " + value("B", correction.LensB) + ", " + value("C", correction.LensC) + ", " +
                       value("D", correction.LensD) + ", " + value("scale", correction.LensScale);
    if (deviation > 0) text += ", within " + FormatGeneral(deviation, 2) + " px of the database's model";
    return text;
}

// ---- the database ----

struct LensDatabase::Impl {
    lfDatabase* db = nullptr;
    std::vector<const lfLens*> calibrated;  // sorted as `entries`
    std::vector<LensEntry> entries;

    ~Impl() { delete db; }
};

namespace {

std::string Text(const lfMLstr s) {
    const char* t = s ? lf_mlstr_get(s) : nullptr;
    return t ? t : "";
}

bool HasDistortion(const lfLens* lens) { return lens->CalibDistortion && lens->CalibDistortion[0]; }

std::string LensName(const lfLens* lens) {
    const std::string maker = Text(lens->Maker), model = Text(lens->Model);
    if (maker.empty() || model.compare(0, maker.size(), maker) == 0) return model;
    return maker + " " + model;
}

std::string CameraName(const lfCamera* camera) {
    const std::string maker = Text(camera->Maker), model = Text(camera->Model);
    return model.compare(0, maker.size(), maker) == 0 ? model : maker + " " + model;
}

bool CoversFocal(const lfLens* lens, double focal) {
    if (lens->MinFocal <= 0) return true;  // unknown range
    const double max = lens->MaxFocal > 0 ? lens->MaxFocal : lens->MinFocal;
    return focal >= lens->MinFocal * 0.98 && focal <= max * 1.02;
}

// The match for `lens` on a picture of width x height.
LensLookup Match(const lfLens* lens, std::size_t entry, const lfCamera* camera, double focal, double crop, int width,
                 int height) {
    LensLookup result;
    lfLensCalibDistortion calibration{};
    if (!lens->InterpolateDistortion(static_cast<float>(focal), calibration) ||
        calibration.Model == LF_DIST_MODEL_NONE) {
        result.problem = "The database has no distortion data for " + LensName(lens) + " at " + FormatGeneral(focal, 4) + " mm.";
        return result;
    }
    const DistortionKind kind = calibration.Model == LF_DIST_MODEL_PTLENS  ? DistortionKind::Ptlens
                                : calibration.Model == LF_DIST_MODEL_POLY3 ? DistortionKind::Poly3
                                                                           : DistortionKind::Poly5;
    const double terms[3] = {calibration.Terms[0], calibration.Terms[1], calibration.Terms[2]};
    const double units = LensfunUnitsPerPixel(width, height, crop, lens->CropFactor, lens->AspectRatio);
    const ConvertedDistortion converted = ConvertDistortion(kind, terms, units, width, height);

    LensMatch m;
    m.camera = camera ? CameraName(camera) : "";
    m.lens = LensName(lens);
    m.model = kind == DistortionKind::Ptlens ? "ptlens" : kind == DistortionKind::Poly3 ? "poly3" : "poly5";
    m.focalLength = focal;
    m.cropFactor = crop;
    m.entry = entry;
    m.correction = converted.correction;
    // The library's own enlargement that leaves no fill at the edges.
    lfModifier modifier(lens, static_cast<float>(crop), width, height);
    modifier.Initialize(lens, LF_PF_U8, static_cast<float>(focal), lens->MinAperture > 0 ? lens->MinAperture : 8, 1000,
                        1.0f, lens->Type, LF_MODIFY_DISTORTION, false);
    const double enlarge = modifier.GetAutoScale(false);
    if (std::isfinite(enlarge) && enlarge > 0) m.correction.LensScale /= enlarge;
    // A lens centre off the frame's centre: this model cannot follow it.
    m.deviation = converted.deviation + std::hypot(lens->CenterX, lens->CenterY) / units;
    result.match = m;
    return result;
}

}  // namespace

LensDatabase::LensDatabase() : impl_(std::make_unique<Impl>()) {
    impl_->db = new lfDatabase();
    if (impl_->db->Load() != LF_NO_ERROR || !impl_->db->GetLenses()) {
        delete impl_->db;
        impl_->db = nullptr;
        return;
    }
    for (const lfLens* const* l = impl_->db->GetLenses(); *l; ++l)
        if (HasDistortion(*l)) impl_->calibrated.push_back(*l);
    std::stable_sort(impl_->calibrated.begin(), impl_->calibrated.end(),
                     [](const lfLens* a, const lfLens* b) { return LensName(a) < LensName(b); });
    for (const lfLens* l : impl_->calibrated) {
        LensEntry e{LensName(l), {}};
        for (char* const* mount = l->Mounts; mount && *mount; ++mount) e.mounts += (e.mounts.empty() ? "" : ", ") + std::string(*mount);
        impl_->entries.push_back(e);
    }
}

LensDatabase::~LensDatabase() = default;

const LensDatabase& LensDatabase::Shared() {
    static const LensDatabase database;
    return database;
}

bool LensDatabase::empty() const { return impl_->db == nullptr; }

const std::vector<LensEntry>& LensDatabase::lenses() const { return impl_->entries; }

namespace {

const char* const kNoDatabase =
    "The lens database is not installed (lensfun's data, Debian package liblensfun-data-v1).";

// A lens name with its numbers as the database writes them: "18.0-70.0 mm
// f/3.5-4.5" becomes "18-70mm f/3.5-4.5".
std::string PlainLensName(const std::string& name) {
    std::string out;
    for (std::size_t i = 0; i < name.size(); ++i) {
        const bool digitBefore = !out.empty() && std::isdigit(static_cast<unsigned char>(out.back()));
        if (digitBefore && name.compare(i, 2, ".0") == 0 && (i + 2 >= name.size() || !std::isdigit(static_cast<unsigned char>(name[i + 2])))) {
            ++i;  // "18.0" is "18"
            continue;
        }
        if (digitBefore && name.compare(i, 3, " mm") == 0) continue;  // "70 mm" is "70mm"
        out += name[i];
    }
    return out;
}

const lfCamera* FindCamera(const lfDatabase* db, const ExifTags& exif) {
    if (exif.Make.empty() || exif.Model.empty()) return nullptr;
    const lfCamera** found = db->FindCameras(exif.Make.c_str(), exif.Model.c_str());
    if (!found) found = db->FindCamerasExt(exif.Make.c_str(), exif.Model.c_str());
    const lfCamera* camera = found ? found[0] : nullptr;
    lf_free(found);
    return camera;
}

double CropOf(const lfCamera* camera, const ExifTags& exif) {
    if (camera && camera->CropFactor > 0) return camera->CropFactor;
    if (exif.FocalLength && exif.FocalLengthIn35mmFormat && *exif.FocalLength > 0 && *exif.FocalLengthIn35mmFormat > 0)
        return *exif.FocalLengthIn35mmFormat / *exif.FocalLength;
    return 0;
}

}  // namespace

LensLookup LensDatabase::lookup(const ExifTags& exif, int width, int height) const {
    LensLookup result;
    if (empty()) {
        result.problem = kNoDatabase;
        return result;
    }
    const std::string camera = exif.Model.compare(0, exif.Make.size(), exif.Make) == 0
                                   ? exif.Model
                                   : exif.Make + (exif.Make.empty() ? "" : " ") + exif.Model;
    if (camera.empty() && exif.LensModel.empty()) {
        result.problem = "The photo's EXIF names no camera and no lens to look up.";
        return result;
    }
    if (!exif.FocalLength || !(*exif.FocalLength > 0)) {
        result.problem = "The photo's EXIF records no focal length (camera \"" + camera + "\", lens \"" + exif.LensModel + "\").";
        return result;
    }
    const double focal = *exif.FocalLength;
    const lfCamera* cam = FindCamera(impl_->db, exif);
    const std::string searched = (exif.LensModel.empty() ? std::string("fixed lens") : "lens \"" + exif.LensModel + "\"") +
                                 (camera.empty() ? "" : " of camera \"" + camera + "\"") + " at " + FormatGeneral(focal, 4) +
                                 " mm" + (cam || camera.empty() ? "" : " (the camera is not in the database)");

    // The lens by the library's fuzzy name match, narrowed to the camera's
    // mount; a camera with a fixed lens names none.
    const char* lensMaker = exif.LensMake.empty() ? nullptr : exif.LensMake.c_str();
    const lfLens** found = nullptr;
    if (!exif.LensModel.empty()) {
        found = impl_->db->FindLenses(cam, lensMaker, exif.LensModel.c_str());
        // Some cameras write "18.0-70.0 mm f/3.5-4.5"; the database says "18-70mm".
        if (const std::string plain = PlainLensName(exif.LensModel); !found && plain != exif.LensModel)
            found = impl_->db->FindLenses(cam, lensMaker, plain.c_str());
    } else if (cam) {
        found = impl_->db->FindLenses(cam, nullptr, nullptr);
    }
    std::vector<const lfLens*> candidates;
    for (const lfLens** l = found; l && *l; ++l)
        if (HasDistortion(*l) && CoversFocal(*l, focal)) candidates.push_back(*l);
    lf_free(found);
    if (candidates.empty()) {
        result.problem = "No lens with distortion data in the database matches the " + searched + ".";
        return result;
    }
    // Never a guess between equals: a tie, or a lens-less EXIF with more
    // than one lens for the mount, is left to the user.
    const std::string some = candidates.size() < 2 ? std::string()
                             : LensName(candidates[0]) + ", " + LensName(candidates[1]) + (candidates.size() > 2 ? ", ..." : "");
    if (exif.LensModel.empty() && candidates.size() > 1) {
        result.problem = "The EXIF names no lens, and camera \"" + camera + "\" takes several lenses of the database at " +
                         FormatGeneral(focal, 4) + " mm (" + some + "); pick one by hand.";
        return result;
    }
    if (candidates.size() > 1 && candidates[1]->Score == candidates[0]->Score &&
        LensName(candidates[1]) != LensName(candidates[0])) {
        result.problem = "Several lenses match the " + searched + " equally well (" + some + "); pick one by hand.";
        return result;
    }
    double crop = CropOf(cam, exif);
    if (!(crop > 0)) crop = candidates[0]->CropFactor;  // the camera the lens was calibrated on
    const auto at = std::find(impl_->calibrated.begin(), impl_->calibrated.end(), candidates[0]);
    return Match(candidates[0], static_cast<std::size_t>(at - impl_->calibrated.begin()), cam, focal, crop, width, height);
}

LensLookup LensDatabase::lookupLens(std::size_t index, const ExifTags& exif, int width, int height) const {
    LensLookup result;
    if (empty()) {
        result.problem = kNoDatabase;
        return result;
    }
    if (index >= impl_->calibrated.size()) {
        result.problem = "No such lens.";
        return result;
    }
    const lfLens* lens = impl_->calibrated[index];
    const lfCamera* cam = FindCamera(impl_->db, exif);
    const double focal = exif.FocalLength && *exif.FocalLength > 0 && CoversFocal(lens, *exif.FocalLength)
                             ? *exif.FocalLength
                             : (lens->MinFocal > 0 ? lens->MinFocal : lens->CalibDistortion[0]->Focal);
    double crop = CropOf(cam, exif);
    if (!(crop > 0)) crop = lens->CropFactor;
    return Match(lens, index, cam, focal, crop, width, height);
}

std::string LensDatabase::correctVignetting(const LensMatch& match, const ExifTags& exif, Bitmap& picture) const {
    if (empty() || match.entry >= impl_->calibrated.size()) return "The lens is not in the database.";
    const lfLens* lens = impl_->calibrated[match.entry];
    const float focal = static_cast<float>(exif.FocalLength && *exif.FocalLength > 0 ? *exif.FocalLength : match.focalLength);
    const float aperture = static_cast<float>(exif.FNumber && *exif.FNumber > 0 ? *exif.FNumber
                                              : lens->MinAperture > 0 ? lens->MinAperture : 8);
    const std::string at = LensName(lens) + " at " + FormatGeneral(focal, 4) + " mm f/" + FormatGeneral(aperture, 3);
    lfLensCalibVignetting data{};
    if (!lens->CalibVignetting || !lens->InterpolateVignetting(focal, aperture, 1000, data) ||
        data.Model == LF_VIGNETTING_MODEL_NONE)
        return "The database has no vignetting data for " + at + ".";
    if (picture.empty()) return {};
    lfModifier modifier(lens, static_cast<float>(match.cropFactor), picture.width(), picture.height());
    const lfPixelFormat format = picture.depth() == SampleDepth::U8    ? LF_PF_U8
                                 : picture.depth() == SampleDepth::U16 ? LF_PF_U16
                                                                       : LF_PF_F32;
    modifier.Initialize(lens, format, focal, aperture, 1000, 1.0f, lens->Type, LF_MODIFY_VIGNETTING, false);
    // The picture's rows are blue, green, red; one call over the whole, as
    // the library wants its block aligned.
    const int stride = static_cast<int>(picture.stride());
    modifier.ApplyColorModification(picture.row(0), 0, 0, picture.width(), picture.height(), LF_CR_3(BLUE, GREEN, RED),
                                    stride);
    return {};
}

}  // namespace vantrel
