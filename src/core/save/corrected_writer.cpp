#include "save/corrected_writer.h"

#include "formats/source_metadata.h"
#include "lens/lens_controls.h"
#include "util/error.h"
#include "util/file_io.h"

namespace vantrel {

std::string WriteCorrectedImage(const LensModel& model, const Bitmap& source, const std::string& sourcePath,
                                const std::string& directory, ImageKind format, int quality) {
    if (source.empty()) throw Error("Cannot write an empty image.");
    Bitmap corrected(source.width(), source.height(), source.depth());
    corrected.setLinear(source.linear());
    CorrectFullImage(model, source, corrected);
    const ImageFormat& f = FormatOf(format);
    const std::string out = CorrectedImageName(directory, sourcePath, model.CoeffA, f.outputExtension);
    SourceMetadata metadata;
    if (f.carriesMetadata) metadata.read(sourcePath);
    WriteFileAtomically(out, f.encode(corrected, nullptr, quality, &metadata));
    return out;
}

}  // namespace vantrel
