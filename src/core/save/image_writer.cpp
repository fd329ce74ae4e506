#include "save/image_writer.h"

#include <cmath>
#include <numbers>

#include "util/number_format.h"
#include "util/error.h"
#include "util/file_io.h"
#include "workspace/workspace.h"

namespace vantrel {

void WriteAlignedImage(const AlignedSource& source, bool isMaster, const MasterGeometry& master,
                       const SaveOptions& options, const std::string& outputPath, Bitmap& frame,
                       SourceMetadata* metadata, const std::function<void(int)>& progress) {
    const auto [w, h] = OutputFrameSize(master, options.borders);
    if (w <= 0 || h <= 0 || w * h > Bitmap::kMaxPixels) throw Error("The output frame with these borders is empty or too large.");
    if (frame.width() != w || frame.height() != h) frame = Bitmap::Uninitialized(static_cast<int>(w), static_cast<int>(h));
    const ImageFormat& format = FormatOf(options.format);
    std::vector<std::uint8_t> alpha;
    if (options.transparent && format.writesAlpha) alpha.resize(static_cast<std::size_t>(w * h));
    WarpFullSize(source, isMaster, master, options.borders, frame, progress, alpha.empty() ? nullptr : alpha.data());
    WriteFileAtomically(outputPath, format.encode(frame, alpha.empty() ? nullptr : alpha.data(), options.quality,
                                                  format.carriesMetadata ? metadata : nullptr));
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

FrameRect WriteSlots(const Workspace& workspace, const std::array<bool, kSlotCount>& which,
                     const std::array<std::string, kSlotCount>& paths, const SaveOptions& options,
                     const std::function<void(int, int)>& progress) {
    auto written = [&](int n) { return which[n - 1] && workspace.slot(n).Loaded; };
    std::array<SourceMetadata, kSlotCount> metadata;
    for (int n = 1; n <= kSlotCount; ++n) {
        if (!written(n)) continue;
        if (const std::string problem = AlignmentProblem(workspace, n); !problem.empty()) throw Error(problem);
        if (FormatOf(options.format).carriesMetadata) metadata[n - 1].read(workspace.slot(n).FilePath);
    }
    FrameRect area;
    SaveOptions resolved = options;
    resolved.borders = SaveBorders(workspace, options, &area);
    Bitmap frame;
    const MasterGeometry master = workspace.masterGeometry();
    for (int n = 1; n <= kSlotCount; ++n) {
        if (!written(n)) continue;
        if (progress) progress(n, 0);
        WriteAlignedImage(workspace.source(n), n == workspace.MasterIndex(), master, resolved, paths[n - 1], frame,
                          &metadata[n - 1], [&](int percent) {
                              if (progress) progress(n, percent);
                          });
    }
    return area;
}

}  // namespace vantrel
