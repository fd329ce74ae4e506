#include "formats/raw_codec.h"

#include <libraw/libraw.h>

#include <atomic>
#include <memory>
#include <vector>

#include "formats/codec_error.h"
#include "util/error.h"
#include "util/file_io.h"

namespace vantrel {

namespace {

std::atomic<RawDevelopment> g_development{RawDevelopment::Linear};

// Raw files of today's cameras are under 200 MB; a larger one is not read whole.
constexpr std::uint64_t kMaxRawFile = 1ULL << 30;

// LibRaw would print data errors to stderr; the error code says enough.
void QuietDataError(void*, const char*, int) {}

std::string Reason(int code) { return libraw_strerror(code); }

}  // namespace

void SetRawDevelopment(RawDevelopment development) { g_development = development; }
RawDevelopment CurrentRawDevelopment() { return g_development; }
const char* RawDevelopmentName(RawDevelopment development) {
    return development == RawDevelopment::Linear ? "linear" : "srgb";
}

Bitmap DecodeRaw(const std::uint8_t* data, std::size_t size, RawDevelopment development) {
    // LibRaw's state is large: on the heap, one per call, so threads never share it.
    auto raw = std::make_unique<LibRaw>(LIBRAW_OPTIONS_NONE);
    raw->set_dataerror_handler(QuietDataError, nullptr);
    libraw_output_params_t& p = raw->imgdata.params;
    p.output_bps = 16;
    p.use_camera_wb = 1;
    p.output_color = 1;     // sRGB primaries
    p.no_auto_bright = 1;   // exposures keep their ratios
    p.user_qual = 3;        // AHD
    p.adjust_maximum_thr = 0;  // the white level stays the camera's, whatever the picture holds
    if (development == RawDevelopment::Linear) {
        p.gamm[0] = 1.0;
        p.gamm[1] = 1.0;
    } else {
        p.gamm[0] = 1 / 2.4;
        p.gamm[1] = 12.92;
    }
    int code = raw->open_buffer(const_cast<std::uint8_t*>(data), size);
    if (code == LIBRAW_FILE_UNSUPPORTED)
        throw InvalidPicture("This is not a camera raw file LibRaw reads (an unknown camera or a broken header).");
    if (code != LIBRAW_SUCCESS) throw InvalidPicture("The raw file cannot be read: " + Reason(code));
    const libraw_image_sizes_t& s = raw->imgdata.sizes;
    if (s.width == 0 || s.height == 0 || std::int64_t{s.width} * s.height > Bitmap::kMaxPixels ||
        std::int64_t{s.raw_width} * s.raw_height > 2 * Bitmap::kMaxPixels)
        throw InvalidPicture("The raw file's size is empty or absurd.");
    code = raw->unpack();
    if (code == LIBRAW_IO_ERROR || code == LIBRAW_DATA_ERROR) throw IncompletePicture("The raw file is cut short.");
    if (code == LIBRAW_UNSUFFICIENT_MEMORY) throw OutOfMemory("develop the raw file", std::size_t{s.raw_width} * s.raw_height * 2);
    if (code != LIBRAW_SUCCESS) throw InvalidPicture("The raw file's pixels cannot be read: " + Reason(code));
    code = raw->dcraw_process();
    if (code == LIBRAW_UNSUFFICIENT_MEMORY) throw OutOfMemory("develop the raw file", std::size_t{s.width} * s.height * 8);
    if (code != LIBRAW_SUCCESS) throw InvalidPicture("The raw file cannot be developed: " + Reason(code));
    struct Free {
        void operator()(libraw_processed_image_t* image) const { LibRaw::dcraw_clear_mem(image); }
    };
    const std::unique_ptr<libraw_processed_image_t, Free> image(raw->dcraw_make_mem_image(&code));
    if (!image || code != LIBRAW_SUCCESS) throw InvalidPicture("The raw file cannot be developed: " + Reason(code));
    if (image->type != LIBRAW_IMAGE_BITMAP || image->colors != 3 || image->bits != 16 || image->width == 0 ||
        image->height == 0 || std::uint64_t{image->data_size} < std::uint64_t{image->width} * image->height * 6)
        throw InvalidPicture("The raw file developed to an unexpected layout.");
    raw->recycle();  // the unpacked mosaic goes before the picture is copied out
    Bitmap out = Bitmap::Uninitialized(image->width, image->height, SampleDepth::U16);
    out.setLinear(development == RawDevelopment::Linear);
    const auto* rgb = reinterpret_cast<const std::uint16_t*>(image->data);
    for (int y = 0; y < out.height(); ++y) {
        const std::uint16_t* in = rgb + static_cast<std::size_t>(y) * image->width * 3;
        std::uint16_t* bgr = out.rowAs<std::uint16_t>(y);
        for (int x = 0; x < out.width(); ++x, in += 3, bgr += 3) {
            bgr[0] = in[2];
            bgr[1] = in[1];
            bgr[2] = in[0];
        }
    }
    return out;
}

Bitmap DecodeRawFile(const InputFile& file, std::string&) {
    if (file.size() > kMaxRawFile) throw InvalidPicture("The raw file is larger than any camera writes.");
    std::vector<std::uint8_t> bytes(static_cast<std::size_t>(file.size()));
    if (file.readInto(0, bytes.data(), bytes.size()) != bytes.size()) throw IncompletePicture("The raw file could not be read whole.");
    return DecodeRaw(bytes.data(), bytes.size(), CurrentRawDevelopment());
}

}  // namespace vantrel
