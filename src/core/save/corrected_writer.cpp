#include "save/corrected_writer.h"

#include "imaging/bmp_codec.h"
#include "imaging/jpeg_codec.h"
#include "lens/lens_controls.h"
#include "metadata/jpeg_metadata.h"
#include "util/error.h"
#include "util/file_io.h"

namespace vantrel {

std::string WriteCorrectedImage(const LensModel& model, const Bitmap& source, const std::string& sourcePath,
                                const std::string& directory, OutputFormat format, int quality) {
    if (source.empty()) throw Error("Cannot write an empty image.");
    Bitmap corrected(source.width(), source.height());
    CorrectFullImage(model, source, corrected);
    const bool jpeg = format == OutputFormat::Jpeg;
    const std::string out = CorrectedImageName(directory, sourcePath, model.CoeffA, jpeg);
    if (!jpeg) {
        WriteFileAtomically(out, EncodeBmp(corrected));
        return out;
    }
    TJpegMetadata metadata;
    metadata.WriteJpegWithMetadata(EncodeJpeg(corrected, quality), corrected.width(), corrected.height(), out,
                                   sourcePath, true);
    return out;
}

}  // namespace vantrel
