#include "save/image_writer.h"

#include <cmath>
#include <numbers>

#include "align/number_format.h"
#include "imaging/bmp_codec.h"
#include "imaging/jpeg_codec.h"
#include "util/error.h"
#include "util/file_io.h"
#include "workspace/workspace.h"

namespace vantrel {

void WriteAlignedImage(const TImageSlot& slot, bool isMaster, const MasterGeometry& master, const Borders& borders,
                       OutputFormat format, int quality, const std::string& outputPath, Bitmap& frame,
                       TJpegMetadata& metadata, const std::function<void(int)>& progress) {
    const auto [w, h] = OutputFrameSize(master, borders);
    if (w <= 0 || h <= 0 || w * h > Bitmap::kMaxPixels) throw Error("The output frame with these borders is empty or too large.");
    if (frame.width() != w || frame.height() != h) frame = Bitmap::Uninitialized(static_cast<int>(w), static_cast<int>(h));
    WarpFullSize(slot, isMaster, master, borders, frame, progress);
    if (format == OutputFormat::Bmp) {
        WriteFileAtomically(outputPath, EncodeBmp(frame));
        return;
    }
    const std::vector<std::uint8_t> encoded = EncodeJpeg(frame, quality);
    if (metadata.ReadMetadata(slot.FilePath))
        WriteFileAtomically(outputPath, metadata.ComposeJpeg(encoded, frame.width(), frame.height(), true));
    else
        WriteFileAtomically(outputPath, encoded);
}

std::string AlignmentProblem(const Workspace& workspace, int n) {
    const TImageSlot& s = workspace.slot(n);
    if (n == workspace.MasterIndex) return {};
    auto coincide = [](const TImageSlot& t) { return t.CP1X == t.CP2X && t.CP1Y == t.CP2Y; };
    const std::string image = "Image " + std::to_string(n) + " (" + s.FileName + ") cannot be saved: ";
    if (coincide(s) || (workspace.MasterIndex != 0 && coincide(workspace.slot(workspace.MasterIndex))))
        return image + "its control points or the master's coincide, so they give no rotation or scale.";
    if (!std::isfinite(s.Rotation) || !std::isfinite(s.Scale) || !(s.Scale >= 1.0 / 64 && s.Scale <= 64))
        return image + "its alignment is degenerate (rotation " + FormatGeneral(s.Rotation * 180 / std::numbers::pi, 5) +
               " degrees, scale " + FormatGeneral(s.Scale, 5) +
               "; the scale must lie between 1/64 and 64). Check its control points and the field of view.";
    return {};
}

void WriteSlots(const Workspace& workspace, const std::array<bool, 3>& which,
                const std::array<std::string, 3>& paths, const Borders& borders, OutputFormat format, int quality,
                const std::function<void(int, int)>& progress) {
    for (int n = 1; n <= 3; ++n) {
        if (!which[n - 1] || !workspace.slot(n).Loaded) continue;
        if (const std::string problem = AlignmentProblem(workspace, n); !problem.empty()) throw Error(problem);
    }
    Bitmap frame;
    TJpegMetadata metadata;
    const MasterGeometry master = workspace.masterGeometry();
    for (int n = 1; n <= 3; ++n) {
        if (!which[n - 1] || !workspace.slot(n).Loaded) continue;
        if (progress) progress(n, 0);
        WriteAlignedImage(workspace.slot(n), n == workspace.MasterIndex, master, borders, format, quality,
                          paths[n - 1], frame, metadata, [&](int percent) {
                              if (progress) progress(n, percent);
                          });
    }
}

}  // namespace vantrel
