#include "save/image_writer.h"

#include <cmath>
#include <future>
#include <numbers>

#include "imaging/depth.h"
#include "metadata/icc_profile.h"
#include "util/number_format.h"
#include "util/error.h"
#include "util/file_io.h"
#include "util/parallel.h"
#include "workspace/workspace.h"

namespace vantrel {

namespace {

// One output image: its frame and, for transparent borders, its alpha.
struct Rendered {
    Bitmap frame;
    std::vector<std::uint8_t> alpha;
};

// The warp half of writing an image, into `out` (resized and reused).
void Render(const AlignedSource& source, bool isMaster, const MasterGeometry& master, const SaveOptions& options,
            Rendered& out, const std::function<void(int)>& progress) {
    const auto [w, h] = OutputFrameSize(master, options.borders);
    if (w <= 0 || h <= 0 || w * h > Bitmap::kMaxPixels) throw Error("The output frame with these borders is empty or too large.");
    // At the picture's own depth; the writing half brings it to the file's.
    const SampleDepth depth = source.pixels().depth();
    if (out.frame.width() != w || out.frame.height() != h || out.frame.depth() != depth)
        out.frame = Bitmap::Uninitialized(static_cast<int>(w), static_cast<int>(h), depth);
    out.alpha.clear();
    if (options.transparent && FormatOf(options.format).writesAlpha) out.alpha.resize(static_cast<std::size_t>(w * h));
    WarpFullSize(source, isMaster, master, options.borders, out.frame, progress, out.alpha.empty() ? nullptr : out.alpha.data());
}

// The encoding half: the file, written once.
void Write(const Bitmap& frame, const std::vector<std::uint8_t>& alpha, const SaveOptions& options,
           const std::string& outputPath, SourceMetadata* metadata) {
    const ImageFormat& format = FormatOf(options.format);
    // Linear samples say so: a reader would otherwise take them for sRGB.
    if (metadata && frame.linear() && metadata->kind != ImageKind::Jpeg && metadata->image.icc.empty())
        metadata->image.icc = LinearRec709Profile();
    const SampleDepth depth = OutputDepth(options, frame.depth());
    Bitmap converted;
    if (depth != frame.depth()) converted = ConvertDepth(frame, depth);
    const Bitmap& written = depth != frame.depth() ? converted : frame;
    WriteFileAtomically(outputPath, format.encode(written, alpha.empty() ? nullptr : alpha.data(), options.quality,
                                                  format.carriesMetadata ? metadata : nullptr));
    if (options.notice && metadata && format.carriesMetadata)
        for (const std::string& notice : metadata->notices()) options.notice(outputPath, notice);
}

// Whether the master's output is its picture as it stands: no border to add
// or cut, no alpha to make.
bool MasterAsItStands(const SaveOptions& options) {
    const Borders& b = options.borders;
    return b.top == 0 && b.left == 0 && b.bottom == 0 && b.right == 0 &&
           !(options.transparent && FormatOf(options.format).writesAlpha);
}

}  // namespace

void WriteAlignedImage(const AlignedSource& source, bool isMaster, const MasterGeometry& master,
                       const SaveOptions& options, const std::string& outputPath, Bitmap& frame,
                       SourceMetadata* metadata, const std::function<void(int)>& progress) {
    Rendered image{std::move(frame), {}};
    Render(source, isMaster, master, options, image, progress);
    Write(image.frame, image.alpha, options, outputPath, metadata);
    frame = std::move(image.frame);
}

std::string AlignmentProblem(const Workspace& workspace, int n) {
    const TImageSlot& s = workspace.slot(n);
    const int master = workspace.MasterIndex();
    if (n == master) return {};
    const std::string image = "Image " + std::to_string(n) + " (" + s.FileName + ") cannot be saved: ";
    if (s.pointsCoincide() || (master != 0 && workspace.slot(master).pointsCoincide()))
        return image + "its control points or the master's coincide, so they give no rotation or scale.";
    if (!std::isfinite(s.Rotation) || !std::isfinite(s.Scale) || !(s.Scale >= 1.0 / 64 && s.Scale <= 64))
        return image + "its alignment is degenerate (rotation " + FormatGeneral(s.Rotation * 180 / std::numbers::pi, 5) +
               " degrees, scale " + FormatGeneral(s.Scale, 5) +
               "; the scale must lie between 1/64 and 64). Check its control points and the field of view.";
    return {};
}

Borders SaveBorders(const Workspace& workspace, const SaveOptions& options, FrameRect* area) {
    const MasterGeometry master = workspace.masterGeometry();
    if (!options.crop) {
        if (area) *area = {-options.borders.left, -options.borders.top, master.width + options.borders.left + options.borders.right,
                           master.height + options.borders.top + options.borders.bottom};
        return options.borders;
    }
    const FrameRect common = CommonArea(workspace.sources(), master);
    if (common.empty()) throw Error("The images have no area in common, so there is nothing to crop to.");
    if (area) *area = common;
    return CropBorders(common, master);
}

SampleDepth OutputDepth(const SaveOptions& options, SampleDepth source) {
    const SampleDepth wanted = options.depth.value_or(source);
    const SampleDepth deepest = FormatOf(options.format).deepest;
    return static_cast<int>(wanted) <= static_cast<int>(deepest) ? wanted : deepest;
}

std::uint64_t MemoryForImages(int count, int width, int height, SampleDepth depth) {
    const std::uint64_t screen = static_cast<std::uint64_t>(std::max(width, 0)) * std::max(height, 0) * 3;
    const std::uint64_t picture = screen * BytesPerSample(depth);
    // A deep picture is held with its screen copy; the frames are at its depth.
    const std::uint64_t held = picture + (depth == SampleDepth::U8 ? 0 : screen);
    return held * static_cast<std::uint64_t>(std::max(count, 0)) + 4 * picture + (64u << 20);
}

namespace {

// `releasing`, when given, is the workspace itself, whose drawn images may go.
FrameRect Save(const Workspace& workspace, Workspace* releasing, const std::vector<bool>& which,
               const std::vector<std::string>& paths, const SaveOptions& options,
               const std::function<void(int, int)>& progress) {
    const int count = std::min({static_cast<int>(which.size()), static_cast<int>(paths.size()), workspace.slotCount()});
    auto written = [&](int n) { return which[n - 1] && workspace.slot(n).Loaded; };
    std::vector<SourceMetadata> metadata(static_cast<std::size_t>(count));
    for (int n = 1; n <= count; ++n) {
        if (!written(n)) continue;
        if (const std::string problem = AlignmentProblem(workspace, n); !problem.empty()) throw Error(problem);
        if (FormatOf(options.format).carriesMetadata) metadata[n - 1].read(workspace.slot(n).FilePath);
    }
    FrameRect area;
    SaveOptions resolved = options;
    resolved.borders = SaveBorders(workspace, options, &area);
    // One image encodes and writes on a thread of its own while the next warps:
    // two frames, used in turn. The master without borders is encoded from its
    // own pixels (the copy into a frame would give the same bytes), and last,
    // beside the last frame, so that no encoding is left to run alone.
    std::array<Rendered, 2> frames;
    std::future<void> writing, writingMaster;
    int turn = 0, masterAsItStands = 0;
    const MasterGeometry master = workspace.masterGeometry();
    const std::vector<std::uint8_t> noAlpha;
    for (int n = 1; n <= count; ++n) {
        if (!written(n)) continue;
        if (progress) progress(n, 0);
        if (n == workspace.MasterIndex() && MasterAsItStands(resolved)) {
            if (progress) progress(n, 100);
            masterAsItStands = n;
            continue;
        }
        Render(workspace.source(n), n == workspace.MasterIndex(), master, resolved, frames[turn], [&](int percent) {
            if (progress) progress(n, percent);
        });
        if (writing.valid()) writing.get();  // the one before is on disk: stop at its failure
        writing = StartTask([&, n, frame = &frames[turn]] {
            Write(frame->frame, frame->alpha, resolved, paths[n - 1], &metadata[n - 1]);
        });
        turn ^= 1;
        if (releasing && frames[turn].frame.empty()) frames[turn].frame = releasing->releaseImage(n);
    }
    if (masterAsItStands)
        writingMaster = StartTask([&, n = masterAsItStands] {
            Write(workspace.slot(n).pixels(), noAlpha, resolved, paths[n - 1], &metadata[n - 1]);
        });
    if (writing.valid()) writing.get();
    if (writingMaster.valid()) writingMaster.get();
    return area;
}

}  // namespace

FrameRect WriteSlots(const Workspace& workspace, const std::vector<bool>& which,
                     const std::vector<std::string>& paths, const SaveOptions& options,
                     const std::function<void(int, int)>& progress) {
    return Save(workspace, nullptr, which, paths, options, progress);
}

FrameRect WriteSlotsReleasing(Workspace& workspace, const std::vector<bool>& which,
                              const std::vector<std::string>& paths, const SaveOptions& options,
                              const std::function<void(int, int)>& progress) {
    return Save(workspace, &workspace, which, paths, options, progress);
}

}  // namespace vantrel
