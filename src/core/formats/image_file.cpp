#include "formats/image_file.h"

#include "formats/codec_error.h"
#include "util/error.h"
#include "util/file_io.h"
#include "util/memory.h"
#include "util/parallel.h"

namespace vantrel {

const char* const kInvalidPictureMessage =
    "The file/s that you have just tried to open may not be valid.\n\n"
    "This program can only accept valid bitmap or jpeg files\n"
    "with the following file extensions\n"
    ".bmp  .BMP  .jpg  .JPG  .jpeg  .JPEG  .jpe  .JPE\n\n"
    "Please check your files and try again.";

const char* const kIncompletePictureMessage = "The file is incomplete: it ends before the whole picture.";

std::string InvalidPictureMessage(ImageKind kind) {
    if (kind == ImageKind::None || kind == ImageKind::Bmp || kind == ImageKind::Jpeg) return kInvalidPictureMessage;
    std::string names;
    const auto& formats = ImageFormats();
    for (std::size_t i = 0; i < formats.size(); ++i)
        names += (i == 0 ? "" : i + 1 == formats.size() ? " or " : ", ") + std::string(formats[i].name);
    return "The file/s that you have just tried to open may not be valid.\n\n"
           "This program can only accept valid " + names + " files\n"
           "with the following file extensions\n" + ExtensionList("  ") + "\n\n"
           "Please check your files and try again.";
}

std::string LoadFailureMessage(LoadOutcome outcome, const std::string& path) {
    const std::string invalid = InvalidPictureMessage(ImageKindOf(path));
    if (outcome == LoadOutcome::Incomplete) return std::string(kIncompletePictureMessage) + "\n\n" + invalid;
    return outcome == LoadOutcome::Invalid ? invalid : "";
}

LoadOutcome LoadImageFile(const std::string& path, Bitmap& bitmap, std::string* notice) {
    bitmap.resize(0, 0);
    if (notice) notice->clear();
    const ImageKind kind = ImageKindOf(path);
    if (kind == ImageKind::None) return LoadOutcome::NotAnImage;
    const InputFile file(path);
    std::string said;
    try {
        bitmap = FormatOf(kind).decode(file, said);
    } catch (const IncompletePicture&) {
        bitmap.resize(0, 0);
        return LoadOutcome::Incomplete;
    } catch (const InvalidPicture&) {
        bitmap.resize(0, 0);
        return LoadOutcome::Invalid;
    }
    if (bitmap.deep()) {
        // Shown from an 8-bit copy and saved through frames at its depth: a
        // picture those would not fit beside is refused now, not midway.
        const std::uint64_t screen = static_cast<std::uint64_t>(bitmap.width()) * bitmap.height() * 3;
        const std::uint64_t more = screen + 2 * screen * BytesPerSample(bitmap.depth());
        if (more > AvailableMemory()) {
            const std::string what = "show and save this " + std::to_string(bitmap.width()) + " x " +
                                     std::to_string(bitmap.height()) + " " + DepthName(bitmap.depth()) + " picture";
            bitmap = Bitmap();
            throw OutOfMemory(what, more);
        }
    }
    if (notice) *notice = said;
    return LoadOutcome::Loaded;
}

// Files read at once: a whole bracket set. Its pictures are all held once
// read, so this adds no memory at the peak, and two cores finish three
// decodes side by side sooner than in two rounds.
constexpr std::size_t kReadingAtOnce = 3;

ImagePrefetch::ImagePrefetch(std::vector<std::string> paths, bool histograms)
    : paths_(std::move(paths)), histograms_(histograms) {
    while (started_ < std::min(paths_.size(), kReadingAtOnce)) start();
}

ImagePrefetch::~ImagePrefetch() {
    for (auto& f : running_) f.wait();
}

void ImagePrefetch::start() {
    if (started_ >= paths_.size()) return;
    running_.push_back(StartTask([path = paths_[started_], histograms = histograms_] {
        DecodedImage image;
        if (!path.empty()) image.outcome = LoadImageFile(path, image.bitmap, &image.notice);
        // A deep picture is measured on its screen copy, made where it is placed.
        if (image.outcome == LoadOutcome::Loaded && !image.bitmap.deep()) {
            Lightness& measured = image.lightness.emplace();
            if (histograms)
                ComputeLuminance(image.bitmap, measured.mean, measured.histogram);
            else
                measured.mean = MeanLightness(image.bitmap);
        }
        return image;
    }));
    ++started_;
}

DecodedImage ImagePrefetch::take() {
    if (running_.empty()) return {};
    std::future<DecodedImage> next = std::move(running_.front());
    running_.pop_front();
    if (running_.size() < kReadingAtOnce) start();
    return next.get();
}

}  // namespace vantrel
