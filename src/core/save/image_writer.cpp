#include "save/image_writer.h"

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

void WriteSlots(const Workspace& workspace, const std::array<bool, 3>& which,
                const std::array<std::string, 3>& paths, const Borders& borders, OutputFormat format, int quality,
                const std::function<void(int, int)>& progress) {
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
