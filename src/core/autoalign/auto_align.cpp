#include "autoalign/auto_align.h"

#include <algorithm>
#include <cmath>
#include <memory>
#include <numbers>
#include <optional>

#include <opencv2/core/utility.hpp>

#include "autoalign/registration.h"
#include "formats/source_metadata.h"
#include "util/error.h"
#include "util/number_format.h"

namespace vantrel {

using namespace autoalign;

namespace {

constexpr double kDegreesPerRadian = 180 / std::numbers::pi;

std::string Describe(int slot, const TImageSlot& s) { return "Image " + std::to_string(slot) + " (" + s.FileName + ")"; }

// The motion a slot's control points give it now, in the registration's terms.
std::optional<Motion> CurrentMotion(const Workspace& ws, int n, bool spherical, double f) {
    const TImageSlot& master = ws.slot(ws.MasterIndex());
    const TImageSlot& s = ws.slot(n);
    const std::vector<Point> p{{master.CP1X, master.CP1Y}, {master.CP2X, master.CP2Y}};
    const std::vector<Point> q{{s.CP1X, s.CP1Y}, {s.CP2X, s.CP2Y}};
    Motion like;
    like.f = f;
    like.masterCentre = {static_cast<double>(master.ImageCenterX), static_cast<double>(master.ImageCenterY)};
    like.imageCentre = {static_cast<double>(s.ImageCenterX), static_cast<double>(s.ImageCenterY)};
    like.pivot = p[0];
    Motion m;
    if (!(spherical ? FitRotation(p, q, {1, 1}, like, m, true) : FitSimilarity(p, q, {1, 1}, m))) return std::nullopt;
    // What the registration measures: about the true centres.
    m.masterCentre = {(master.Bitmap.width() - 1) / 2.0, (master.Bitmap.height() - 1) / 2.0};
    m.imageCentre = {(s.Bitmap.width() - 1) / 2.0, (s.Bitmap.height() - 1) / 2.0};
    return m;
}

// A slot's control points for the master's points: the planar motion maps
// them as they are; the spherical one in the control points' own
// co-ordinates (about width div 2), so that the rotation they give is the
// rotation found.
std::pair<Point, Point> SlotPoints(const Workspace& ws, int n, Motion motion, Point m1, Point m2) {
    if (motion.spherical) {
        const TImageSlot& master = ws.slot(ws.MasterIndex());
        const TImageSlot& s = ws.slot(n);
        motion.masterCentre = {static_cast<double>(master.ImageCenterX), static_cast<double>(master.ImageCenterY)};
        motion.imageCentre = {static_cast<double>(s.ImageCenterX), static_cast<double>(s.ImageCenterY)};
    }
    return {motion.map(m1), motion.map(m2)};
}

// What to say of an exposure gap when an image could not be matched.
std::string FarApart(double ev) {
    if (std::abs(ev) < 2.5) return "";
    return "; the exposures are " + FormatGeneral(std::abs(ev), 2) +
           " EV apart and too little of the picture is usable in both: try the middle exposure as master";
}

std::string Pixels(double v) { return FormatGeneral(v, 2) + " px"; }

// Each image's exposure against the master's, in EV (more light positive):
// from the EXIF when both record time, aperture and ISO, else from their
// mean lightness taken back to linear light.
std::vector<double> ExposureGaps(const Workspace& ws, int masterSlot, const std::vector<int>& others) {
    auto exifEV = [&](int n) -> std::optional<double> {
        const ExifTags t = ReadImageExifTags(ws.slot(n).FilePath);
        if (!t.ExposureTime || !(*t.ExposureTime > 0)) return std::nullopt;
        const double fNumber = t.FNumber && *t.FNumber > 0 ? *t.FNumber : 1;
        const double iso = t.ISO && *t.ISO > 0 ? *t.ISO : 100;
        return std::log2(*t.ExposureTime * iso / (fNumber * fNumber));
    };
    auto lightEV = [&](int n) { return 2.2 * std::log2(std::clamp(ws.slot(n).Luminance, 1, 254) / 255.0); };
    const std::optional<double> masterExif = exifEV(masterSlot);
    std::vector<double> gaps;
    for (const int n : others) {
        const std::optional<double> e = masterExif ? exifEV(n) : std::nullopt;
        gaps.push_back(e ? *e - *masterExif : lightEV(n) - lightEV(masterSlot));
    }
    return gaps;
}

}  // namespace

bool AutoAlignReport::allAligned() const {
    if (!error.empty()) return false;
    for (const auto& s : results)
        if (s.outcome == AutoAlignSlotReport::Outcome::Failed || s.outcome == AutoAlignSlotReport::Outcome::Approximate)
            return false;
    return true;
}

bool AutoAlignReport::noneLeftUnaligned() const {
    if (!error.empty()) return false;
    for (const auto& s : results)
        if (s.outcome == AutoAlignSlotReport::Outcome::Failed) return false;
    return true;
}

std::string AutoAlignReport::summary() const {
    std::string text;
    for (const auto& s : results) {
        using O = AutoAlignSlotReport::Outcome;
        const char* what = s.outcome == O::Failed ? "not aligned" : s.outcome == O::Approximate ? "approximately aligned"
                           : s.outcome == O::Kept ? "kept its points" : "aligned";
        text += (text.empty() ? "" : "; ") + ("Image " + std::to_string(s.slot) + " " + what);
        if (s.through && s.outcome != O::Failed) text += " through image " + std::to_string(s.through);
        if (s.outcome != O::Failed)
            text += " (" + std::to_string(s.matches) + " matches, sure " + FormatGeneral(s.confidence, 2) + ")";
    }
    if (!fieldOfView.empty()) text += (text.empty() ? "" : "; ") + fieldOfView;
    return text;
}

std::string AutoAlignReport::problems() const {
    std::string text = error;
    for (const auto& s : results)
        if (s.outcome == AutoAlignSlotReport::Outcome::Failed || s.outcome == AutoAlignSlotReport::Outcome::Approximate)
            text += (text.empty() ? "" : "\n") + s.message;
    return text;
}

void SetOpenCvThreads(int threads) { cv::setNumThreads(threads > 0 ? threads : -1); }

double ExifFieldOfViewDegrees(const Workspace& ws) {
    if (ws.MasterIndex() == 0) return 0;
    const TImageSlot& m = ws.slot(ws.MasterIndex());
    const auto half = ReadImageExifTags(m.FilePath).HalfFieldOfView(m.Bitmap.width(), m.Bitmap.height());
    return half ? *half * 2 * kDegreesPerRadian : 0;
}

namespace {
AutoAlignReport AlignAll(Workspace& ws, const AutoAlignOptions& options);
}  // namespace

AutoAlignReport AutoAlign(Workspace& ws, const AutoAlignOptions& options) {
    // OpenCV's own words never reach the user: memory running out is said as such.
    auto needed = [&]() -> std::uint64_t {
        if (ws.MasterIndex() == 0) return 0;
        const Bitmap& m = ws.slot(ws.MasterIndex()).Bitmap;
        return static_cast<std::uint64_t>(m.width()) * m.height() * 6;  // about what registration holds
    };
    try {
        return AlignAll(ws, options);
    } catch (const cv::Exception& e) {
        if (e.code == cv::Error::StsNoMem) throw OutOfMemory("align these images", needed());
        throw Error("Auto Align failed: " + e.err);
    } catch (const std::bad_alloc&) {
        throw OutOfMemory("align these images", needed());
    }
}

namespace {

AutoAlignReport AlignAll(Workspace& ws, const AutoAlignOptions& options) {
    AutoAlignReport report;
    const int masterSlot = ws.MasterIndex();
    std::vector<int> others;
    for (int n = 1; n <= ws.slotCount(); ++n)
        if (n != masterSlot && ws.slot(n).Loaded) others.push_back(n);
    if (masterSlot == 0 || !ws.slot(masterSlot).Loaded) {
        report.error = "Auto Align needs a loaded master image.";
        return report;
    }
    if (others.empty()) {
        report.error = "Auto Align needs a second image to align to the master.";
        return report;
    }
    auto progress = [&](int slot, int percent) {
        if (options.progress) options.progress(slot, percent);
    };

    // The alignment every image has now: an image not aligned keeps exactly
    // this, and when none is aligned nothing changes at all.
    const double fovBefore = ws.fovDegrees();
    const bool fovByHandBefore = ws.fovSetByHand();
    const MasterGeometry geometryBefore = ws.masterGeometry();
    std::vector<TSlotAlignment> alignmentBefore;
    for (const int n : others) alignmentBefore.push_back(ws.slot(n));

    // The camera model: a field of view the user set, else decided afresh
    // for these images (one left from an earlier set is not theirs): this
    // master's EXIF, or none yet and estimated below.
    double exif = 0;
    if (!(ws.modelHalfFOV() > 0 && ws.fovSetByHand()) || options.fieldOfViewFromExif) {
        exif = ExifFieldOfViewDegrees(ws);
        ws.setFOVDegrees(exif > 0 ? exif : 0, false);
        if (exif > 0) report.fieldOfView = "field of view " + FormatGeneral(exif, 3) + " degrees from the master's EXIF";
    } else {
        report.fieldOfView = "field of view " + FormatGeneral(ws.fovDegrees(), 3) + " degrees as set";
    }
    bool spherical = ws.modelHalfFOV() > 0;
    double f = ws.FocalLengthPx();

    const TImageSlot& master = ws.slot(masterSlot);
    progress(masterSlot, 0);
    const Prepared prepared(master.pixels());
    progress(masterSlot, 100);
    // The master's new points; a scale on the sphere is about the first.
    // Plain variables, not a structured binding: lambdas below capture them.
    const std::pair<Point, Point> places = ControlPointPlaces(prepared);
    const Point m1 = places.first, m2 = places.second;
    const std::vector<double> gaps = ExposureGaps(ws, masterSlot, others);
    // Without the direct match, an image with another between it and the
    // master is left to the chain below.
    auto chainOnly = [&](std::size_t k) {
        if (options.directMatch) return false;
        for (std::size_t j = 0; j < others.size(); ++j)
            if (j != k && gaps[j] * gaps[k] > 0 && std::abs(gaps[j]) < std::abs(gaps[k])) return true;
        return false;
    };
    std::vector<std::unique_ptr<Prepared>> images;
    std::vector<Registration> found;
    for (const int n : others) {
        progress(n, 0);
        if (chainOnly(found.size())) {
            images.push_back(nullptr);
            found.emplace_back().reason = "not matched with the master directly";
            continue;
        }
        images.push_back(std::make_unique<Prepared>(Prepared(ws.slot(n).pixels()).matchedTo(prepared)));
        RegistrationOptions o;
        o.spherical = spherical;
        o.f = f;
        o.pivot = m1;
        o.previous = CurrentMotion(ws, n, spherical, f);
        // Without a field of view this pass may only gather pairs for its estimate.
        o.allowFeatures = spherical;
        o.progress = [&](int percent) { progress(n, percent * 9 / 10); };
        found.push_back(Register(prepared, *images.back(), o));
    }

    // No field of view known: the sphere when it fits the matches clearly
    // better than the plane. When the plane does not fit at all (a wide lens
    // turned), the pairs come from a sphere of a guessed field of view first.
    auto registerAll = [&](double sphereF, bool fromFound, bool features) {
        std::vector<Registration> out = found;
        for (std::size_t k = 0; k < others.size(); ++k) {
            const int n = others[k];
            if (!images[k]) continue;
            RegistrationOptions o;
            o.spherical = true;
            o.f = sphereF;
            o.pivot = m1;
            o.allowFeatures = features;
            o.previous = CurrentMotion(ws, n, true, sphereF);
            if (fromFound && found[k].matches > 0)
                o.start = SphericalNear(found[k].found, sphereF, m1, master.Bitmap.width(), master.Bitmap.height(),
                                        ws.slot(n).Bitmap.width(), ws.slot(n).Bitmap.height());
            o.progress = [&](int percent) { progress(n, percent * 9 / 10); };
            out[k] = Register(prepared, *images[k], o);
        }
        return out;
    };
    auto good = [](const std::vector<Registration>& all) {
        int count = 0;
        for (const auto& r : all) count += r.status == Registration::Status::Aligned;
        return count;
    };
    const auto focalFor = [&](double halfFOV) {
        return (std::max(master.Bitmap.width(), master.Bitmap.height()) / 2) / std::tan(halfFOV);
    };
    // The pairs' own field of view, and the images that gave them.
    auto estimateFrom = [&](const std::vector<Registration>& all, std::optional<double> given) {
        std::vector<Registration> usable;
        std::vector<std::pair<int, int>> sizes;
        for (std::size_t k = 0; k < others.size(); ++k)
            if (all[k].matches > 0) {
                usable.push_back(all[k]);
                sizes.emplace_back(ws.slot(others[k]).Bitmap.width(), ws.slot(others[k]).Bitmap.height());
            }
        return EstimateFieldOfView(usable, master.Bitmap.width(), master.Bitmap.height(), sizes, given);
    };
    // An EXIF field of view is a hint: a picture made smaller often keeps
    // the sensor's resolution tags of its full size, and its field of view
    // then comes out far too narrow. One the matches clearly contradict
    // gives way to their own.
    bool exifContradicted = false;
    if (exif > 0 && !options.fieldOfViewFromExif) {
        const auto estimate = estimateFrom(found, ws.modelHalfFOV());
        // Far off (half or double the focal length) and clearly worse for
        // the pairs: by more than their noise, which floors both figures.
        const double focalRatio = estimate ? std::tan(estimate->halfFOV) / std::tan(ws.modelHalfFOV()) : 1;
        exifContradicted = estimate && (focalRatio > 1.5 || focalRatio < 1 / 1.5) &&
                           estimate->givenRms > 1.1 * estimate->sphericalRms;
        if (exifContradicted) {
            ws.setFOVDegrees(0, false);
            spherical = false;
        }
    }
    std::optional<double> estimated;  // degrees
    if (!spherical) {
        bool onSphere = exifContradicted;
        if (good(found) < static_cast<int>(found.size())) {
            std::vector<Registration> guessed = registerAll(focalFor(25 * std::numbers::pi / 180), true, false);
            auto agreeing = [](const std::vector<Registration>& all) {
                double sum = 0;
                for (const auto& r : all) sum += r.check.within * r.check.patches;
                return sum;
            };
            if (agreeing(guessed) > agreeing(found)) found = guessed, onSphere = true;
        }
        for (int round = 0; round < 3; ++round) {
            const auto estimate = estimateFrom(found, std::nullopt);
            if (!estimate) break;
            if (!onSphere && !(estimate->sphericalRms < 0.8 * estimate->planarRms && estimate->planarRms > 0.05)) break;
            estimated = estimate->halfFOV * 2 * kDegreesPerRadian;
            found = registerAll(focalFor(estimate->halfFOV), true, false);
            onSphere = true;
        }
        // Images the quick passes did not align get the full search, matched
        // features included, with the model chosen.
        for (std::size_t k = 0; k < others.size(); ++k) {
            if (found[k].status != Registration::Status::Failed || !images[k]) continue;
            const int n = others[k];
            RegistrationOptions o;
            o.spherical = estimated.has_value();
            o.f = estimated ? focalFor(*estimated / 2 / kDegreesPerRadian) : 0;
            o.pivot = m1;
            o.previous = CurrentMotion(ws, n, o.spherical, o.f);
            o.progress = [&](int percent) { progress(n, percent * 9 / 10); };
            found[k] = Register(prepared, *images[k], o);
        }
    }
    if (estimated) {
        ws.setFOVDegrees(*estimated, false);
        report.fieldOfView = "field of view estimated at " + FormatGeneral(*estimated, 3) + " degrees";
        if (exifContradicted)
            report.fieldOfView += " (the master's EXIF gives " + FormatGeneral(exif, 3) + ", which these images do not fit)";
    }
    spherical = ws.modelHalfFOV() > 0;
    f = ws.FocalLengthPx();

    // Far exposures: an image the master does not match well goes through
    // the nearest aligned image between them in exposure (dark to middle to
    // bright), and the two motions are composed. Nearer images first, so a
    // long bracket can chain step by step.
    std::vector<int> through(others.size(), 0);
    std::vector<std::size_t> order(others.size());
    for (std::size_t k = 0; k < order.size(); ++k) order[k] = k;
    std::stable_sort(order.begin(), order.end(),
                     [&](std::size_t x, std::size_t y) { return std::abs(gaps[x]) < std::abs(gaps[y]); });
    for (const std::size_t k : order) {
        // A sure direct match needs no detour.
        if (found[k].status == Registration::Status::Aligned && found[k].confidence() >= 0.8) continue;
        std::optional<std::size_t> via;
        for (std::size_t j = 0; j < others.size(); ++j)
            if (j != k && found[j].status != Registration::Status::Failed && gaps[j] * gaps[k] > 0 &&
                std::abs(gaps[j]) < std::abs(gaps[k]) && (!via || std::abs(gaps[j]) > std::abs(gaps[*via])))
                via = j;
        if (!via) continue;
        const int n = others[k];
        progress(n, 0);
        const Prepared neighbour(ws.slot(others[*via]).pixels());
        const Prepared image = Prepared(ws.slot(n).pixels()).matchedTo(neighbour);
        RegistrationOptions o;
        o.spherical = spherical;
        o.f = f;
        const Motion toNeighbour = found[*via].motion;
        o.pivot = toNeighbour.map(m1);  // so that the two motions compose exactly
        if (const auto now = CurrentMotion(ws, n, spherical, f)) o.previous = Compose(Inverse(toNeighbour), *now);
        o.progress = [&](int percent) { progress(n, percent * 9 / 10); };
        Registration leg = Register(neighbour, image, o);
        if (leg.status == Registration::Status::Failed) continue;
        const bool approximate = leg.status == Registration::Status::Approximate ||
                                 found[*via].status == Registration::Status::Approximate;
        // The chain's errors add up: it wins over a direct match only when
        // the direct one is weaker still.
        const Registration& direct = found[k];
        if (direct.status == Registration::Status::Aligned &&
            (approximate || direct.check.median <= found[*via].check.median + leg.check.median))
            continue;
        if (approximate && direct.status == Registration::Status::Approximate) continue;
        leg.motion = Compose(toNeighbour, leg.motion);
        leg.found = Compose(toNeighbour, leg.found);
        leg.masterPoints.clear(), leg.imagePoints.clear();
        if (approximate && leg.status == Registration::Status::Aligned) {
            leg.status = Registration::Status::Approximate;
            leg.reason = "the image it was matched through is only approximately aligned";
        }
        found[k] = std::move(leg);
        through[k] = others[*via];
    }

    // The master's points first, then every image's at the same scene points;
    // an image not aligned gets the points its alignment as it was gives
    // those scene points. None aligned: nothing moves, the field of view
    // included.
    bool anyAligned = false;
    for (const Registration& r : found) anyAligned |= r.status != Registration::Status::Failed;
    if (!anyAligned) {
        ws.setFOVDegrees(fovBefore, fovByHandBefore);
        // Nothing was decided: a value found on pairs that fit nothing is none.
        if (!fovByHandBefore) report.fieldOfView.clear();
    }
    auto asItWas = [&](std::size_t k, Point m) {
        const TImageSlot& s = ws.slot(others[k]);
        const AlignedSource source{&s.Bitmap, &alignmentBefore[k], s.Luminance, s.Brightness};
        if (!geometryBefore.spherical())
            return MapToSource(geometryBefore, source, false, m.x - geometryBefore.cp1X, m.y - geometryBefore.cp1Y, false);
        SourcePosition p = MapToSource(geometryBefore, source, false, m.x - geometryBefore.width / 2.0 + 0.5,
                                       m.y - geometryBefore.height / 2.0 + 0.5, false);
        p.x -= 0.5, p.y -= 0.5;  // continuous to pixel centres
        return p;
    };
    std::vector<std::optional<std::pair<Point, Point>>> keptPoints(others.size());
    if (anyAligned)
        for (std::size_t k = 0; k < others.size(); ++k) {
            if (found[k].status != Registration::Status::Failed) continue;
            const SourcePosition q1 = asItWas(k, m1), q2 = asItWas(k, m2);
            if (q1.valid && q2.valid) keptPoints[k] = std::pair{Point{q1.x, q1.y}, Point{q2.x, q2.y}};
        }
    if (anyAligned) ws.setControlPoints(masterSlot, m1.x, m1.y, m2.x, m2.y);
    for (std::size_t k = 0; k < others.size(); ++k) {
        const int n = others[k];
        const Registration& r = found[k];
        AutoAlignSlotReport s;
        s.slot = n;
        s.matches = r.matches;
        s.residual = r.residual;
        s.confidence = r.confidence();
        s.through = through[k];
        const std::string name = Describe(n, ws.slot(n));
        const std::string way = through[k] ? " through image " + std::to_string(through[k]) : "";
        std::optional<std::pair<Point, Point>> points = keptPoints[k];
        if (r.status != Registration::Status::Failed) points = SlotPoints(ws, n, r.motion, m1, m2);
        if (points) {
            const auto [q1, q2] = *points;
            if (std::isfinite(q1.x) && std::isfinite(q1.y) && std::isfinite(q2.x) && std::isfinite(q2.y))
                ws.setControlPoints(n, q1.x, q1.y, q2.x, q2.y);
        }
        const std::string figures = std::to_string(r.matches) + " matches, residual " + Pixels(r.residual) +
                                    ", confidence " + FormatGeneral(s.confidence, 2);
        switch (r.status) {
            case Registration::Status::Aligned:
                s.outcome = r.reason.empty() ? AutoAlignSlotReport::Outcome::Aligned : AutoAlignSlotReport::Outcome::Kept;
                s.message = name + ": " + (r.reason.empty() ? "aligned" + way : "kept, " + r.reason) + " (" + figures + ")";
                break;
            case Registration::Status::Approximate:
                s.outcome = AutoAlignSlotReport::Outcome::Approximate;
                s.message = name + " is only approximately aligned" + way + ": " + r.reason + " (" + figures + ").";
                break;
            case Registration::Status::Failed:
                s.outcome = AutoAlignSlotReport::Outcome::Failed;
                s.message = name + " could not be aligned: " + r.reason + FarApart(gaps[k]) + ". It keeps its control points.";
                break;
        }
        report.results.push_back(s);
        progress(n, 100);
    }
    return report;
}

}  // namespace

}  // namespace vantrel
