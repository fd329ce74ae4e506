#include "save/image_writer.h"

#include <cmath>
#include <numbers>

#include "util/number_format.h"
#include "imaging/bmp_codec.h"
#include "imaging/jpeg_codec.h"
#include "util/error.h"
#include "util/file_io.h"
#include "workspace/workspace.h"

namespace vantrel {

void WriteAlignedImage(const AlignedSource& source, bool isMaster, const MasterGeometry& master,
                       const Borders& borders, OutputFormat format, int quality, const std::string& outputPath,
                       Bitmap& frame, TJpegMetadata* metadata, const std::function<void(int)>& progress) {
    const auto [w, h] = OutputFrameSize(master, borders);
    if (w <= 0 || h <= 0 || w * h > Bitmap::kMaxPixels) throw Error("The output frame with these borders is empty or too large.");
    if (frame.width() != w || frame.height() != h) frame = Bitmap::Uninitialized(static_cast<int>(w), static_cast<int>(h));
    WarpFullSize(source, isMaster, master, borders, frame, progress);
    if (format == OutputFormat::Bmp) {
        WriteFileAtomically(outputPath, EncodeBmp(frame));
        return;
    }
    const std::vector<std::uint8_t> encoded = EncodeJpeg(frame, quality);
    if (metadata && metadata->HasMetadata())
        WriteFileAtomically(outputPath, metadata->ComposeJpeg(encoded, frame.width(), frame.height(), true));
    else
        WriteFileAtomically(outputPath, encoded);
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

void WriteSlots(const Workspace& workspace, const std::array<bool, kSlotCount>& which,
                const std::array<std::string, kSlotCount>& paths, const Borders& borders, OutputFormat format,
                int quality, const std::function<void(int, int)>& progress) {
    auto written = [&](int n) { return which[n - 1] && workspace.slot(n).Loaded; };
    std::array<TJpegMetadata, kSlotCount> metadata;
    for (int n = 1; n <= kSlotCount; ++n) {
        if (!written(n)) continue;
        if (const std::string problem = AlignmentProblem(workspace, n); !problem.empty()) throw Error(problem);
        if (format == OutputFormat::Jpeg) metadata[n - 1].ReadMetadata(workspace.slot(n).FilePath);
    }
    Bitmap frame;
    const MasterGeometry master = workspace.masterGeometry();
    for (int n = 1; n <= kSlotCount; ++n) {
        if (!written(n)) continue;
        if (progress) progress(n, 0);
        WriteAlignedImage(workspace.source(n), n == workspace.MasterIndex(), master, borders, format, quality,
                          paths[n - 1], frame, &metadata[n - 1], [&](int percent) {
                              if (progress) progress(n, percent);
                          });
    }
}

}  // namespace vantrel
