#include "formats/png_codec.h"

#include <png.h>

#include <algorithm>
#include <bit>
#include <csetjmp>
#include <cstring>
#include <utility>
#include <vector>

#include "formats/codec_error.h"
#include "metadata/icc_profile.h"
#include "metadata/image_metadata.h"
#include "util/file_io.h"

// libpng reports errors by longjmp. Each function that calls setjmp below
// keeps everything it changes in a state object its caller owns, so that
// nothing with a destructor lives in a frame a longjmp leaves.

namespace vantrel {

namespace {

constexpr char kXmpKeyword[] = "XML:com.adobe.xmp";

struct PngSource {
    explicit PngSource(ByteCursor bytes) : bytes(bytes) {}
    ByteCursor bytes;
    std::uint64_t nextChunk = 8;  // where the next chunk's length and type stand
    bool truncated = false;
    char error[256] = {};
    // libpng reads some chunks a byte at a time (eXIf): from a file, those
    // come out of this window, not a system call each.
    std::vector<std::uint8_t> window;
    std::uint64_t windowStart = 0;
    std::uint64_t position = 0;

    std::size_t read(std::uint8_t* out, std::size_t count) {
        std::size_t done = 0;
        while (done < count) {
            if (position < windowStart || position >= windowStart + window.size()) {
                if (count - done >= kWindow) {  // large reads go straight through
                    bytes.seek(position);
                    const std::size_t got = bytes.read(out + done, count - done);
                    position += got;
                    return done + got;
                }
                window.resize(kWindow);
                bytes.seek(position);
                window.resize(bytes.read(window.data(), kWindow));
                windowStart = position;
                if (window.empty()) return done;
            }
            const std::size_t offset = static_cast<std::size_t>(position - windowStart);
            const std::size_t n = std::min(count - done, window.size() - offset);
            std::memcpy(out + done, window.data() + offset, n);
            done += n;
            position += n;
        }
        return done;
    }
    static constexpr std::size_t kWindow = 1 << 16;
};

void ReadProc(png_structp png, png_bytep out, std::size_t count) {
    auto* s = static_cast<PngSource*>(png_get_io_ptr(png));
    const std::uint64_t at = s->position;
    const std::size_t got = s->read(out, count);
    if (got < count) {
        s->truncated = true;
        png_error(png, "The PNG is cut short.");
    }
    // The reader takes each chunk's length and type in one read, and sets
    // aside memory for the chunk on the length's word (with benign errors on,
    // its own limit only warns): a chunk must fit in what the file holds.
    if (at == s->nextChunk && count == 8) {
        const std::uint64_t length = std::uint64_t{out[0]} << 24 | std::uint64_t{out[1]} << 16 |
                                     std::uint64_t{out[2]} << 8 | out[3];
        s->nextChunk = at + 12 + length;  // length, type, data, checksum
        if (s->nextChunk > s->bytes.size()) {
            s->truncated = true;
            png_error(png, "The PNG is cut short.");
        }
    }
}

void ErrorProc(png_structp png, png_const_charp message) {
    auto* s = static_cast<PngSource*>(png_get_error_ptr(png));
    if (s && s->error[0] == 0) std::snprintf(s->error, sizeof s->error, "%s", message);
    png_longjmp(png, 1);
}

void WarningProc(png_structp, png_const_charp) {}

struct Reader {
    png_structp png = nullptr;
    png_infop info = nullptr;
    Bitmap* picture = nullptr;  // null: the metadata only
    std::uint64_t fileSize = 0;
    int bits = 0;
    ImageMetadata* metadata = nullptr;
    std::vector<std::uint8_t> indices;  // a palette picture's, before their colours
};

// The file's colour profile, if it has one: its bytes and their count.
std::pair<png_bytep, png_uint_32> IccOf(Reader* r) {
    png_charp name = nullptr;
    int compression = 0;
    png_bytep profile = nullptr;
    png_uint_32 length = 0;
    if (!png_get_iCCP(r->png, r->info, &name, &compression, &profile, &length)) return {nullptr, 0};
    return {profile, length};
}

// A palette picture: its indices first, each checked against the palette
// (libpng itself would give black for an index past it), then their colours.
// Called within Read's setjmp.
bool ReadPalette(Reader* r, png_uint_32 w, png_uint_32 h) {
    png_colorp palette = nullptr;
    int entries = 0;
    if (!png_get_PLTE(r->png, r->info, &palette, &entries) || !palette) png_error(r->png, "The PNG has no palette.");
    png_set_packing(r->png);
    const int passes = png_set_interlace_handling(r->png);
    png_read_update_info(r->png, r->info);
    if (png_get_rowbytes(r->png, r->info) != std::size_t{w}) png_error(r->png, "Unexpected PNG row layout.");
    *r->picture = Bitmap::Uninitialized(static_cast<int>(w), static_cast<int>(h));
    r->indices.assign(std::size_t{w} * h, 0);
    for (int pass = 0; pass < passes; ++pass)
        for (png_uint_32 y = 0; y < h; ++y) png_read_row(r->png, r->indices.data() + std::size_t{y} * w, nullptr);
    for (png_uint_32 y = 0; y < h; ++y) {
        const std::uint8_t* index = r->indices.data() + std::size_t{y} * w;
        std::uint8_t* out = r->picture->row(static_cast<int>(y));
        for (png_uint_32 x = 0; x < w; ++x, out += 3) {
            if (index[x] >= entries) png_error(r->png, "Its pixels use colours its palette does not hold.");
            const png_color& c = palette[index[x]];
            out[0] = c.blue;
            out[1] = c.green;
            out[2] = c.red;
        }
    }
    return true;
}

bool Read(Reader* r) {
    if (setjmp(png_jmpbuf(r->png))) return false;
    png_read_info(r->png, r->info);
    png_uint_32 w = 0, h = 0;
    int depth = 0, colour = 0;
    png_get_IHDR(r->png, r->info, &w, &h, &depth, &colour, nullptr, nullptr, nullptr);
    r->bits = depth;
    if (r->metadata) {
        png_uint_32 size = 0;
        png_bytep exif = nullptr;
        if (png_get_eXIf_1(r->png, r->info, &size, &exif) && exif && size > 0) {
            // Some writers keep the JPEG segment's "Exif\0\0" in front.
            const std::size_t skip = size > 6 && std::memcmp(exif, "Exif\0\0", 6) == 0 ? 6 : 0;
            r->metadata->exif.assign(exif + skip, exif + size);
        }
        if (const auto [profile, length] = IccOf(r); profile) r->metadata->icc.assign(profile, profile + length);
        png_textp text = nullptr;
        int count = 0;
        png_get_text(r->png, r->info, &text, &count);
        for (int i = 0; i < count; ++i)
            if (text[i].key && std::strcmp(text[i].key, kXmpKeyword) == 0 && text[i].text) {
                const std::size_t n = text[i].compression >= PNG_ITXT_COMPRESSION_NONE ? text[i].itxt_length : text[i].text_length;
                r->metadata->xmp.assign(text[i].text, n);
                break;
            }
    }
    if (!r->picture) return true;

    if (w == 0 || h == 0 || std::uint64_t{w} * h > static_cast<std::uint64_t>(Bitmap::kMaxPixels))
        png_error(r->png, "The PNG's size is empty or absurd.");
    // Deflate packs at most 1032 bytes into one: a larger claim is not allocated for.
    if (std::uint64_t{w} * h * 3 > 1100 * r->fileSize + (1u << 20))
        png_error(r->png, "The PNG claims more pixels than its data can hold.");
    if (colour == PNG_COLOR_TYPE_PALETTE) return ReadPalette(r, w, h);
    if (colour == PNG_COLOR_TYPE_GRAY && depth < 8) png_set_expand_gray_1_2_4_to_8(r->png);
    if (png_get_valid(r->png, r->info, PNG_INFO_tRNS)) png_set_tRNS_to_alpha(r->png);
    // 16 bits are kept, in the machine's byte order.
    const bool deep = depth == 16;
    if (deep && std::endian::native == std::endian::little) png_set_swap(r->png);
    if (colour == PNG_COLOR_TYPE_GRAY || colour == PNG_COLOR_TYPE_GRAY_ALPHA) png_set_gray_to_rgb(r->png);
    png_set_strip_alpha(r->png);
    png_set_bgr(r->png);
    const int passes = png_set_interlace_handling(r->png);
    png_read_update_info(r->png, r->info);
    if (png_get_rowbytes(r->png, r->info) != std::size_t{w} * (deep ? 6 : 3))
        png_error(r->png, "Unexpected PNG row layout.");
    *r->picture = Bitmap::Uninitialized(static_cast<int>(w), static_cast<int>(h), deep ? SampleDepth::U16 : SampleDepth::U8);
    if (deep) {  // a profile of linear light marks the samples linear
        const auto [profile, length] = IccOf(r);
        if (profile && ProfileIsLinear(profile, length)) r->picture->setLinear(true);
    }
    for (int pass = 0; pass < passes; ++pass)
        for (png_uint_32 y = 0; y < h; ++y) png_read_row(r->png, r->picture->row(static_cast<int>(y)), nullptr);
    return true;
}

// Metadata chunk types before the pixels whose data is larger than any real
// file's: libpng would read them whole, eXIf a byte at a time, so they are
// passed over unread. A plain walk over the chunk headers.
constexpr std::uint32_t kMaxMetadataChunk = 8u << 20;

std::vector<std::string> OversizedMetadataChunks(ByteCursor bytes) {
    std::vector<std::string> found;
    std::uint64_t at = 8;
    for (int chunks = 0; chunks < 10000 && at + 8 <= bytes.size(); ++chunks) {
        std::uint8_t head[8];
        bytes.seek(at);
        if (bytes.read(head, 8) != 8) break;
        const std::uint32_t length = std::uint32_t{head[0]} << 24 | std::uint32_t{head[1]} << 16 |
                                     std::uint32_t{head[2]} << 8 | head[3];
        const std::string type(reinterpret_cast<const char*>(head + 4), 4);
        if (type == "IDAT" || type == "IEND") break;
        const bool metadata = type == "eXIf" || type == "iTXt" || type == "zTXt" || type == "tEXt" || type == "iCCP";
        if (metadata && length > kMaxMetadataChunk && std::find(found.begin(), found.end(), type) == found.end())
            found.push_back(type);
        at += 12 + std::uint64_t{length};
    }
    return found;
}

void Run(PngSource& source, Reader& r) {
    r.png = png_create_read_struct(PNG_LIBPNG_VER_STRING, &source, ErrorProc, WarningProc);
    if (!r.png) throw Error("Out of memory while reading a PNG.");
    r.info = png_create_info_struct(r.png);
    struct Destroy {
        Reader* r;
        ~Destroy() { png_destroy_read_struct(&r->png, r->info ? &r->info : nullptr, nullptr); }
    } destroy{&r};
    if (!r.info) throw Error("Out of memory while reading a PNG.");
    png_set_read_fn(r.png, &source, ReadProc);
    r.fileSize = source.bytes.size();
    png_set_benign_errors(r.png, 1);
    // No ancillary chunk beyond what any real file holds (the largest camera
    // EXIF, XMP or colour profile is a few megabytes), whatever it claims.
    png_set_chunk_malloc_max(r.png, 8u << 20);
    for (const std::string& type : OversizedMetadataChunks(source.bytes))
        png_set_keep_unknown_chunks(r.png, PNG_HANDLE_CHUNK_NEVER, reinterpret_cast<png_const_bytep>(type.c_str()), 1);
    if (Read(&r)) return;
    if (source.truncated) throw IncompletePicture("The PNG is cut short.");
    throw InvalidPicture(std::string("This PNG cannot be read: ") + source.error);
}

Bitmap Decode(PngSource& source, std::string&) {
    Bitmap picture;
    Reader r;
    r.picture = &picture;
    Run(source, r);
    return picture;
}

// ---- writing ----

constexpr int kZlibLevel = 3;

struct Writer {
    png_structp png = nullptr;
    png_infop info = nullptr;
    const Bitmap* image = nullptr;
    const std::uint8_t* alpha = nullptr;
    const ImageMetadata* metadata = nullptr;
    std::vector<std::uint8_t>* out = nullptr;
    std::vector<std::uint8_t>* row = nullptr;
    png_text xmp{};
};

void WriteProc(png_structp png, png_bytep data, std::size_t count) {
    auto* out = static_cast<std::vector<std::uint8_t>*>(png_get_io_ptr(png));
    bool failed = false;
    try {
        out->insert(out->end(), data, data + count);
    } catch (...) {
        failed = true;
    }
    if (failed) png_error(png, "Out of memory while writing a PNG.");
}

void FlushProc(png_structp) {}

bool Write(Writer* w) {
    if (setjmp(png_jmpbuf(w->png))) return false;
    const int width = w->image->width(), height = w->image->height();
    const bool deep = w->image->depth() == SampleDepth::U16;
    png_set_IHDR(w->png, w->info, static_cast<png_uint_32>(width), static_cast<png_uint_32>(height), deep ? 16 : 8,
                 w->alpha ? PNG_COLOR_TYPE_RGB_ALPHA : PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    const ImageMetadata& m = *w->metadata;
    // A profile libpng finds broken is left out (a warning, not an error).
    if (!m.icc.empty())
        png_set_iCCP(w->png, w->info, "ICC profile", PNG_COMPRESSION_TYPE_BASE, m.icc.data(),
                     static_cast<png_uint_32>(m.icc.size()));
    if (!m.exif.empty())
        png_set_eXIf_1(w->png, w->info, static_cast<png_uint_32>(m.exif.size()), const_cast<png_bytep>(m.exif.data()));
    if (!m.xmp.empty()) png_set_text(w->png, w->info, &w->xmp, 1);
    png_set_compression_level(w->png, kZlibLevel);
    png_set_filter(w->png, PNG_FILTER_TYPE_BASE, PNG_FILTER_SUB);
    png_write_info(w->png, w->info);
    // libpng would write eXIf again after the image data: once is enough.
    png_free_data(w->png, w->info, PNG_FREE_EXIF, -1);
    if (!w->alpha && !deep) png_set_bgr(w->png);
    for (int y = 0; y < height; ++y) {
        const std::uint8_t* src = w->image->row(y);
        if (deep) {
            // RGB(A), big-endian, as PNG stores 16 bits.
            const std::uint16_t* p = w->image->rowAs<std::uint16_t>(y);
            const std::uint8_t* a = w->alpha ? w->alpha + static_cast<std::size_t>(y) * width : nullptr;
            std::uint8_t* dst = w->row->data();
            auto put = [&dst](std::uint16_t v) {
                *dst++ = static_cast<std::uint8_t>(v >> 8);
                *dst++ = static_cast<std::uint8_t>(v & 0xFF);
            };
            for (int x = 0; x < width; ++x, p += 3) {
                put(p[2]);
                put(p[1]);
                put(p[0]);
                if (a) put(static_cast<std::uint16_t>(a[x] * 257));
            }
            png_write_row(w->png, w->row->data());
            continue;
        }
        if (!w->alpha) {
            png_write_row(w->png, const_cast<png_bytep>(src));
            continue;
        }
        std::uint8_t* dst = w->row->data();
        const std::uint8_t* a = w->alpha + static_cast<std::size_t>(y) * width;
        for (int x = 0; x < width; ++x, src += 3, dst += 4) {
            dst[0] = src[2];
            dst[1] = src[1];
            dst[2] = src[0];
            dst[3] = a[x];
        }
        png_write_row(w->png, w->row->data());
    }
    png_write_end(w->png, w->info);
    return true;
}

}  // namespace

Bitmap DecodePngFile(const InputFile& file, std::string& notice) {
    PngSource source{ByteCursor(file)};
    return Decode(source, notice);
}

Bitmap DecodePng(const std::uint8_t* data, std::size_t size, std::string& notice) {
    PngSource source{ByteCursor(data, size)};
    return Decode(source, notice);
}

namespace {

ImageMetadata ReadMetadata(PngSource& source) {
    ImageMetadata metadata;
    Reader r;
    r.metadata = &metadata;
    try {
        Run(source, r);
    } catch (const InvalidPicture&) {
        return ImageMetadata();
    }
    return metadata;
}

}  // namespace

ImageMetadata ReadPngMetadata(const InputFile& file) {
    PngSource source{ByteCursor(file)};
    return ReadMetadata(source);
}

ImageMetadata ReadPngMetadata(const std::uint8_t* data, std::size_t size) {
    PngSource source{ByteCursor(data, size)};
    return ReadMetadata(source);
}

std::vector<std::uint8_t> EncodePng(const Bitmap& image, const std::uint8_t* alpha, const ImageMetadata& metadata) {
    if (image.empty()) throw Error("Cannot write an empty image.");
    if (image.depth() == SampleDepth::Float) throw Error("A PNG cannot hold floating-point samples: save it as TIFF.");
    std::vector<std::uint8_t> out, row(static_cast<std::size_t>(image.width()) * 8);
    out.reserve(static_cast<std::size_t>(image.width()) * image.height() * 2);
    PngSource errors{ByteCursor(nullptr, 0)};
    Writer w;
    w.image = &image;
    w.alpha = alpha;
    w.metadata = &metadata;
    w.out = &out;
    w.row = &row;
    w.xmp.compression = PNG_ITXT_COMPRESSION_NONE;
    w.xmp.key = const_cast<png_charp>(kXmpKeyword);
    w.xmp.text = const_cast<png_charp>(metadata.xmp.c_str());
    w.xmp.itxt_length = metadata.xmp.size();
    w.xmp.lang = const_cast<png_charp>("");
    w.xmp.lang_key = const_cast<png_charp>("");
    w.png = png_create_write_struct(PNG_LIBPNG_VER_STRING, &errors, ErrorProc, WarningProc);
    if (!w.png) throw Error("Out of memory while writing a PNG.");
    w.info = png_create_info_struct(w.png);
    struct Destroy {
        Writer* w;
        ~Destroy() { png_destroy_write_struct(&w->png, w->info ? &w->info : nullptr); }
    } destroy{&w};
    if (!w.info) throw Error("Out of memory while writing a PNG.");
    png_set_write_fn(w.png, &out, WriteProc, FlushProc);
    png_set_benign_errors(w.png, 1);
    if (!Write(&w)) throw Error(std::string("The PNG could not be written: ") + errors.error);
    return out;
}

}  // namespace vantrel
