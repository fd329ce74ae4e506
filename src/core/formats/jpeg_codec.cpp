#include "formats/jpeg_codec.h"

// clang-format off
#include <cstdio>
#include <jpeglib.h>
#include <jerror.h>
// clang-format on

#include <algorithm>
#include <array>
#include <climits>
#include <csetjmp>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "formats/codec_error.h"
#include "util/file_io.h"

namespace vantrel {
namespace {

// A progressive file may declare thousands of scans, each rereading the whole
// image; real files have a dozen or so.
constexpr int kMaxScans = 1000;

// libjpeg's default error handler calls exit(); this one jumps back to the
// caller, which turns the message into an exception outside libjpeg's frames.
struct ErrorManager {
    jpeg_error_mgr pub;
    std::jmp_buf jump;
    char message[JMSG_LENGTH_MAX];
    bool incomplete = false;
    bool started = false;    // the header is read: a picture is announced
    bool finishing = false;  // every scanline is out: a missing end marker loses nothing
    bool outOfMemory = false;
};

void OnError(j_common_ptr cinfo) {
    auto* err = reinterpret_cast<ErrorManager*>(cinfo->err);
    (*cinfo->err->format_message)(cinfo, err->message);
    if (err->pub.msg_code == JERR_OUT_OF_MEMORY) err->outOfMemory = true;
    std::longjmp(err->jump, 1);
}

// Warnings about corrupt data are tolerated: the decoder makes the best of
// them. Running out of data before the picture is complete is not: the rest
// would be made up grey.
void OnMessage(j_common_ptr cinfo, int level) {
    auto* err = reinterpret_cast<ErrorManager*>(cinfo->err);
    if (level < 0 && err->pub.msg_code == JWRN_JPEG_EOF && err->started && !err->finishing) {
        err->incomplete = true;
        std::snprintf(err->message, sizeof err->message, "the file ends before the picture does");
        std::longjmp(err->jump, 1);
    }
}

struct ScanLimit {
    jpeg_progress_mgr pub;
};

void OnProgress(j_common_ptr cinfo) {
    if (cinfo->is_decompressor) {
        auto* d = reinterpret_cast<j_decompress_ptr>(cinfo);
        if (d->input_scan_number > kMaxScans) {
            auto* err = reinterpret_cast<ErrorManager*>(cinfo->err);
            std::snprintf(err->message, sizeof err->message, "too many scans");
            std::longjmp(err->jump, 1);
        }
    }
}

void ConvertCmykRow(const JSAMPLE* cmyk, std::uint8_t* bgr, int width, bool adobeInverted) {
    for (int x = 0; x < width; ++x, cmyk += 4, bgr += 3) {
        int c = cmyk[0], m = cmyk[1], y = cmyk[2], k = cmyk[3];
        if (!adobeInverted) {
            c = 255 - c;
            m = 255 - m;
            y = 255 - y;
            k = 255 - k;
        }
        // Inverted values: 255 means no ink.
        bgr[0] = static_cast<std::uint8_t>((y * k + 127) / 255);
        bgr[1] = static_cast<std::uint8_t>((m * k + 127) / 255);
        bgr[2] = static_cast<std::uint8_t>((c * k + 127) / 255);
    }
}

// Everything that owns memory is created before setjmp, so the jump back skips
// no destructor. The source is either bytes in memory or a stream of
// `size` bytes.
bool DecodeInto(const std::uint8_t* data, std::FILE* stream, std::uint64_t size, Bitmap& out,
                std::vector<JSAMPLE>& cmykRow, std::string& error, bool& incomplete, bool& outOfMemory) {
    jpeg_decompress_struct cinfo;
    ErrorManager err;
    ScanLimit progress;
    cinfo.err = jpeg_std_error(&err.pub);
    err.pub.error_exit = OnError;
    err.pub.emit_message = OnMessage;
    progress.pub.progress_monitor = OnProgress;

    if (setjmp(err.jump)) {
        error = err.message;
        incomplete = err.incomplete;
        outOfMemory = err.outOfMemory;
        jpeg_destroy_decompress(&cinfo);
        return false;
    }
    jpeg_create_decompress(&cinfo);
    cinfo.progress = &progress.pub;
    if (stream)
        jpeg_stdio_src(&cinfo, stream);
    else
        jpeg_mem_src(&cinfo, data, static_cast<unsigned long>(size));
    jpeg_read_header(&cinfo, TRUE);
    err.started = true;

    const long long pixels = static_cast<long long>(cinfo.image_width) * cinfo.image_height;
    if (cinfo.image_width == 0 || cinfo.image_height == 0 || pixels > Bitmap::kMaxPixels) {
        std::snprintf(err.message, sizeof err.message, "bad image size %ux%u", cinfo.image_width,
                      cinfo.image_height);
        std::longjmp(err.jump, 1);
    }
    // Huffman coding spends at least one bit on every block of the first
    // scan's components, so a file too small for that cannot hold the picture
    // its header claims: refuse it before allocating for that claim.
    if (!cinfo.arith_code) {
        std::uint64_t fewest = UINT64_MAX;
        for (int c = 0; c < cinfo.num_components; ++c) {
            const jpeg_component_info& comp = cinfo.comp_info[c];
            fewest = std::min<std::uint64_t>(fewest, static_cast<std::uint64_t>(comp.width_in_blocks) * comp.height_in_blocks);
        }
        if (size < fewest / 8) {
            err.incomplete = true;
            std::snprintf(err.message, sizeof err.message, "%llu bytes cannot hold a %u x %u picture",
                          static_cast<unsigned long long>(size), cinfo.image_width, cinfo.image_height);
            std::longjmp(err.jump, 1);
        }
    }
    const bool cmyk = cinfo.jpeg_color_space == JCS_CMYK || cinfo.jpeg_color_space == JCS_YCCK;
    cinfo.out_color_space = cmyk ? JCS_CMYK : JCS_EXT_BGR;
    cinfo.scale_num = cinfo.scale_denom = 1;
    jpeg_start_decompress(&cinfo);

    const int width = static_cast<int>(cinfo.output_width);
    bool allocated = true;
    try {
        // Every row is written below before the picture is handed out.
        out = Bitmap::Uninitialized(width, static_cast<int>(cinfo.output_height));
        if (cmyk) cmykRow.resize(static_cast<std::size_t>(width) * 4);
    } catch (...) {
        allocated = false;
    }
    if (!allocated) {
        err.outOfMemory = true;
        std::snprintf(err.message, sizeof err.message, "not enough memory");
        std::longjmp(err.jump, 1);
    }
    // Straight into the bitmap, as many rows a call as the decoder gives: a
    // row at a time would make it upsample into its own buffer and copy.
    while (cinfo.output_scanline < cinfo.output_height) {
        const int y = static_cast<int>(cinfo.output_scanline);
        if (cmyk) {
            JSAMPROW row = cmykRow.data();
            jpeg_read_scanlines(&cinfo, &row, 1);
            ConvertCmykRow(cmykRow.data(), out.row(y), width, cinfo.saw_Adobe_marker);
            continue;
        }
        std::array<JSAMPROW, 16> rows;
        const int count = std::min<int>(static_cast<int>(rows.size()), static_cast<int>(cinfo.output_height) - y);
        for (int k = 0; k < count; ++k) rows[k] = out.row(y + k);
        jpeg_read_scanlines(&cinfo, rows.data(), static_cast<JDIMENSION>(count));
    }
    err.finishing = true;
    jpeg_finish_decompress(&cinfo);
    jpeg_destroy_decompress(&cinfo);
    return true;
}

// A growing buffer as libjpeg's destination. libjpeg's own memory
// destination frees its buffer while growing it and tells the caller the new
// one only at the end, so after an error the caller cannot know what to free.
struct VectorDestination {
    jpeg_destination_mgr pub;
    std::vector<std::uint8_t>* bytes;
};

constexpr std::size_t kDestinationStep = 1 << 16;

void StartDestination(j_compress_ptr cinfo) {
    auto* dest = reinterpret_cast<VectorDestination*>(cinfo->dest);
    dest->pub.next_output_byte = dest->bytes->data();
    dest->pub.free_in_buffer = dest->bytes->size();
}

boolean GrowDestination(j_compress_ptr cinfo) {
    auto* dest = reinterpret_cast<VectorDestination*>(cinfo->dest);
    const std::size_t used = dest->bytes->size();
    try {
        dest->bytes->resize(used * 2);
    } catch (...) {  // nothing may pass through libjpeg's frames
        ERREXIT1(cinfo, JERR_OUT_OF_MEMORY, 10);
    }
    dest->pub.next_output_byte = dest->bytes->data() + used;
    dest->pub.free_in_buffer = dest->bytes->size() - used;
    return TRUE;
}

void EndDestination(j_compress_ptr cinfo) {
    auto* dest = reinterpret_cast<VectorDestination*>(cinfo->dest);
    dest->bytes->resize(dest->bytes->size() - dest->pub.free_in_buffer);
}

bool EncodeInto(const Bitmap& bitmap, int quality, std::vector<std::uint8_t>& bytes, std::string& error,
                bool& outOfMemory) {
    jpeg_compress_struct cinfo;
    ErrorManager err;
    VectorDestination dest{};
    dest.bytes = &bytes;
    dest.pub.init_destination = StartDestination;
    dest.pub.empty_output_buffer = GrowDestination;
    dest.pub.term_destination = EndDestination;
    cinfo.err = jpeg_std_error(&err.pub);
    err.pub.error_exit = OnError;
    err.pub.emit_message = OnMessage;
    if (setjmp(err.jump)) {
        error = err.message;
        outOfMemory = err.outOfMemory;
        jpeg_destroy_compress(&cinfo);
        return false;
    }
    jpeg_create_compress(&cinfo);
    cinfo.dest = &dest.pub;
    cinfo.image_width = static_cast<JDIMENSION>(bitmap.width());
    cinfo.image_height = static_cast<JDIMENSION>(bitmap.height());
    cinfo.input_components = 3;
    cinfo.in_color_space = JCS_EXT_BGR;
    jpeg_set_defaults(&cinfo);
    jpeg_set_quality(&cinfo, quality, TRUE);
    jpeg_start_compress(&cinfo, TRUE);
    while (cinfo.next_scanline < cinfo.image_height) {
        JSAMPROW row = const_cast<JSAMPROW>(bitmap.row(static_cast<int>(cinfo.next_scanline)));
        jpeg_write_scanlines(&cinfo, &row, 1);
    }
    jpeg_finish_compress(&cinfo);
    jpeg_destroy_compress(&cinfo);
    return true;
}

}  // namespace

namespace {
Bitmap Decode(const std::uint8_t* data, std::FILE* stream, std::uint64_t size) {
    Bitmap out;
    std::vector<JSAMPLE> cmykRow;
    std::string error;
    bool incomplete = false, outOfMemory = false;
    if (!DecodeInto(data, stream, size, out, cmykRow, error, incomplete, outOfMemory)) {
        if (outOfMemory) throw OutOfMemory("read this JPEG", size * 10);
        if (incomplete) throw IncompletePicture("Incomplete JPEG: " + error);
        throw InvalidPicture("Invalid JPEG: " + error);
    }
    return out;
}
}  // namespace

Bitmap DecodeJpeg(const std::uint8_t* data, std::size_t size) { return Decode(data, nullptr, size); }

Bitmap DecodeJpegFile(const InputFile& file) {
    std::FILE* stream = file.stream();
    try {
        Bitmap out = Decode(nullptr, stream, file.size());
        std::fclose(stream);
        return out;
    } catch (...) {
        std::fclose(stream);
        throw;
    }
}

std::vector<std::uint8_t> EncodeJpeg(const Bitmap& bitmap, int quality) {
    if (bitmap.empty()) throw Error("Cannot write an empty image.");
    std::vector<std::uint8_t> bytes;
    // A start the size a typical photo compresses to, grown by doubling.
    const std::size_t start = std::max<std::size_t>(kDestinationStep, static_cast<std::size_t>(bitmap.width()) * bitmap.height() * 3 / 8);
    try {
        bytes.resize(start);
    } catch (const std::bad_alloc&) {
        throw OutOfMemory("write a JPEG", start);
    }
    std::string error;
    bool outOfMemory = false;
    if (!EncodeInto(bitmap, quality < 1 ? 1 : quality > 100 ? 100 : quality, bytes, error, outOfMemory)) {
        if (outOfMemory) throw OutOfMemory("write a JPEG", static_cast<std::size_t>(bitmap.width()) * bitmap.height() * 3 / 2);
        throw Error("JPEG encoding failed: " + error);
    }
    return bytes;
}

}  // namespace vantrel
