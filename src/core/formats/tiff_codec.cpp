#include "formats/tiff_codec.h"

#include <libdeflate.h>
#include <tiffio.h>

#include <algorithm>
#include <bit>
#include <limits>
#include <type_traits>
#include <cstdarg>
#include <cstdio>
#include <cmath>
#include <cstring>
#include <memory>
#include <optional>

#include "formats/codec_error.h"
#include "metadata/icc_profile.h"
#include "metadata/image_metadata.h"
#include "metadata/tiff_directory.h"
#include "util/file_io.h"
#include "util/parallel.h"

namespace vantrel {

namespace {

// ---- reading, through libtiff ----

// The bytes libtiff reads: a file (read where asked) or a buffer.
struct TiffStream {
    explicit TiffStream(ByteCursor bytes) : bytes(bytes) {}
    ByteCursor bytes;
    std::string error;
};

tmsize_t ReadProc(thandle_t handle, void* buffer, tmsize_t count) {
    if (count <= 0) return 0;
    return static_cast<tmsize_t>(static_cast<TiffStream*>(handle)->bytes.read(buffer, static_cast<std::size_t>(count)));
}

tmsize_t WriteProc(thandle_t, void*, tmsize_t) { return -1; }

toff_t SeekProc(thandle_t handle, toff_t offset, int whence) {
    auto* s = static_cast<TiffStream*>(handle);
    const std::uint64_t base = whence == SEEK_CUR ? s->bytes.position() : whence == SEEK_END ? s->bytes.size() : 0;
    s->bytes.seek(base + offset);
    return s->bytes.position();
}

int CloseProc(thandle_t) { return 0; }
toff_t SizeProc(thandle_t handle) { return static_cast<TiffStream*>(handle)->bytes.size(); }
int MapProc(thandle_t, void**, toff_t*) { return 0; }
void UnmapProc(thandle_t, void*, toff_t) {}

// libtiff's complaints go to the stream, not to stderr; the first one is kept.
int ErrorProc(TIFF*, void* user, const char* module, const char* format, va_list args) {
    auto* s = static_cast<TiffStream*>(user);
    if (s->error.empty()) {
        char text[512];
        std::vsnprintf(text, sizeof text, format, args);
        s->error = std::string(module ? module : "TIFF") + ": " + text;
    }
    return 1;
}
int WarningProc(TIFF*, void*, const char*, const char*, va_list) { return 1; }

struct TiffCloser {
    void operator()(TIFF* tif) const { TIFFClose(tif); }
};
using TiffHandle = std::unique_ptr<TIFF, TiffCloser>;

TiffHandle Open(TiffStream& stream) {
    TIFFOpenOptions* options = TIFFOpenOptionsAlloc();
    // No single allocation beyond what the largest picture needs, whatever a header says.
    TIFFOpenOptionsSetMaxSingleMemAlloc(options, tmsize_t{1} << 30);
    TIFFOpenOptionsSetErrorHandlerExtR(options, ErrorProc, &stream);
    TIFFOpenOptionsSetWarningHandlerExtR(options, WarningProc, &stream);
    TIFF* tif = TIFFClientOpenExt("image", "rm", &stream, ReadProc, WriteProc, SeekProc, CloseProc, SizeProc, MapProc,
                                  UnmapProc, options);
    TIFFOpenOptionsFree(options);
    return TiffHandle(tif);
}

// Interleaved RGB or grey of 8 or 16 bits or 32-bit float, the common
// camera and editor output, read directly at its depth: strip by strip
// through the scanline reader (each strip decoded once, however tall), or
// tile by tile. Colour is read as stored, so an unassociated alpha does not
// darken it. False when the file is of another kind.
bool ReadPlain(TIFF* tif, std::uint32_t w, std::uint32_t h, Bitmap& out) {
    std::uint16_t bits = 0, samples = 0, planar = 0, photometric = 0, format = SAMPLEFORMAT_UINT;
    TIFFGetFieldDefaulted(tif, TIFFTAG_BITSPERSAMPLE, &bits);
    TIFFGetFieldDefaulted(tif, TIFFTAG_SAMPLESPERPIXEL, &samples);
    TIFFGetFieldDefaulted(tif, TIFFTAG_PLANARCONFIG, &planar);
    TIFFGetFieldDefaulted(tif, TIFFTAG_SAMPLEFORMAT, &format);
    if (!TIFFGetField(tif, TIFFTAG_PHOTOMETRIC, &photometric)) return false;
    const bool rgb = photometric == PHOTOMETRIC_RGB && samples >= 3;
    const bool grey = photometric == PHOTOMETRIC_MINISBLACK && samples >= 1;
    const bool whole = format == SAMPLEFORMAT_UINT && (bits == 8 || bits == 16);
    const bool floating = format == SAMPLEFORMAT_IEEEFP && bits == 32;
    if (planar != PLANARCONFIG_CONTIG || !(whole || floating) || !(rgb || grey)) return false;
    const SampleDepth depth = floating ? SampleDepth::Float : bits == 16 ? SampleDepth::U16 : SampleDepth::U8;
    const std::size_t bytes = bits / 8, pixel = samples * bytes;
    // One row of samples into BGR, at the file's depth (libtiff gives the
    // machine's byte order).
    auto convert = [&](const std::uint8_t* in, std::uint8_t* dst, std::uint32_t count) {
        for (std::uint32_t x = 0; x < count; ++x, in += pixel, dst += 3 * bytes)
            for (int c = 0; c < 3; ++c) {
                const std::size_t from = (grey ? 0 : static_cast<std::size_t>(c)) * bytes;
                std::uint8_t* to = dst + static_cast<std::size_t>(2 - c) * bytes;
                if (floating) {
                    float v;
                    std::memcpy(&v, in + from, 4);
                    if (!std::isfinite(v)) v = v > 0 ? 1.0f : 0.0f;  // a merge's stray infinity or NaN
                    std::memcpy(to, &v, 4);
                } else {
                    std::memcpy(to, in + from, bytes);
                }
            }
    };
    if (!TIFFIsTiled(tif)) {
        if (static_cast<std::uint64_t>(TIFFScanlineSize64(tif)) != std::uint64_t{w} * pixel) return false;
        std::vector<std::uint8_t> line(std::size_t{w} * pixel);
        out = Bitmap::Uninitialized(static_cast<int>(w), static_cast<int>(h), depth);
        for (std::uint32_t y = 0; y < h; ++y) {
            if (TIFFReadScanline(tif, line.data(), y, 0) < 0) throw InvalidPicture("The TIFF's pixels cannot be read.");
            convert(line.data(), out.row(static_cast<int>(y)), w);
        }
        out.setLinear(floating);
        return true;
    }
    std::uint32_t tw = 0, th = 0;
    TIFFGetField(tif, TIFFTAG_TILEWIDTH, &tw);
    TIFFGetField(tif, TIFFTAG_TILELENGTH, &th);
    // A tile's size is the header's word: an absurd one is left to the general reader's limits.
    if (tw == 0 || th == 0 || std::uint64_t{tw} * th * pixel > (64u << 20) ||
        static_cast<std::uint64_t>(TIFFTileSize64(tif)) != std::uint64_t{tw} * th * pixel)
        return false;
    std::vector<std::uint8_t> tile(std::size_t{tw} * th * pixel);
    out = Bitmap::Uninitialized(static_cast<int>(w), static_cast<int>(h), depth);
    out.setLinear(floating);
    for (std::uint32_t ty = 0; ty < h; ty += th)
        for (std::uint32_t tx = 0; tx < w; tx += tw) {
            if (TIFFReadTile(tif, tile.data(), tx, ty, 0, 0) < 0) throw InvalidPicture("The TIFF's pixels cannot be read.");
            for (std::uint32_t y = ty; y < std::min(h, ty + th); ++y)
                convert(tile.data() + std::size_t{y - ty} * tw * pixel, out.row(static_cast<int>(y)) + 3 * bytes * tx,
                        std::min(tw, w - tx));
        }
    return true;
}

Bitmap Decode(TiffStream& stream, std::string& notice) {
    const TiffHandle tif = Open(stream);
    if (!tif) throw InvalidPicture("Not a TIFF file. " + stream.error);
    std::uint32_t w = 0, h = 0;
    std::uint16_t bits = 0;
    TIFFGetField(tif.get(), TIFFTAG_IMAGEWIDTH, &w);
    TIFFGetField(tif.get(), TIFFTAG_IMAGELENGTH, &h);
    TIFFGetFieldDefaulted(tif.get(), TIFFTAG_BITSPERSAMPLE, &bits);
    if (w == 0 || h == 0 || std::uint64_t{w} * h > static_cast<std::uint64_t>(Bitmap::kMaxPixels))
        throw InvalidPicture("The TIFF's size is empty or absurd.");
    // Pixel data that runs past the end: a file cut short.
    const std::uint32_t pieces = TIFFIsTiled(tif.get()) ? TIFFNumberOfTiles(tif.get()) : TIFFNumberOfStrips(tif.get());
    std::uint64_t stored = 0;
    for (std::uint32_t i = 0; i < pieces; ++i) {
        int error = 0;
        const std::uint64_t offset = TIFFGetStrileOffsetWithErr(tif.get(), i, &error);
        const std::uint64_t count = TIFFGetStrileByteCountWithErr(tif.get(), i, &error);
        if (error) throw InvalidPicture("The TIFF's strips cannot be read. " + stream.error);
        if (offset > stream.bytes.size() || count > stream.bytes.size() - offset) throw IncompletePicture("The TIFF is cut short.");
        stored += count;
    }
    // No compression TIFF allows packs more than a few thousand pixels into
    // a byte: a larger claim is not allocated for.
    if (std::uint64_t{w} * h * 3 > 4096 * stored + (1u << 20))
        throw InvalidPicture("The TIFF claims more pixels than its data can hold.");
    // Signed integers would read as an inverted, broken picture.
    std::uint16_t format = SAMPLEFORMAT_UINT;
    TIFFGetFieldDefaulted(tif.get(), TIFFTAG_SAMPLEFORMAT, &format);
    if (format == SAMPLEFORMAT_INT) throw InvalidPicture("The TIFF's samples are signed integers, which are not read.");
    if (format == SAMPLEFORMAT_IEEEFP && bits != 32)
        throw InvalidPicture("The TIFF's samples are " + std::to_string(bits) +
                             "-bit floating-point numbers; only 32-bit ones are read.");
    if (format != SAMPLEFORMAT_UINT && format != SAMPLEFORMAT_IEEEFP)
        throw InvalidPicture("The TIFF's samples are not whole numbers, which are not read.");
    if (Bitmap out; ReadPlain(tif.get(), w, h, out)) {
        // A profile of linear light marks 16-bit samples linear too.
        std::uint32_t iccSize = 0;
        const void* icc = nullptr;
        if (out.deep() && TIFFGetField(tif.get(), TIFFTAG_ICCPROFILE, &iccSize, &icc) &&
            ProfileIsLinear(static_cast<const std::uint8_t*>(icc), iccSize))
            out.setLinear(true);
        return out;
    }
    if (format == SAMPLEFORMAT_IEEEFP)
        throw InvalidPicture("This float TIFF cannot be read: only RGB or grey with the samples of a pixel together are.");
    char message[1024] = {};
    TIFFRGBAImage image;
    if (!TIFFRGBAImageOK(tif.get(), message) || !TIFFRGBAImageBegin(&image, tif.get(), 1, message))
        throw InvalidPicture(std::string("This TIFF cannot be read: ") + message);
    struct End {
        TIFFRGBAImage* image;
        ~End() { TIFFRGBAImageEnd(image); }
    } end{&image};
    image.req_orientation = image.orientation;  // rows as stored, as a JPEG's

    Bitmap out = Bitmap::Uninitialized(static_cast<int>(w), static_cast<int>(h));
    constexpr std::uint32_t kBand = 128;
    std::vector<std::uint32_t> raster(std::size_t{w} * kBand);
    for (std::uint32_t y = 0; y < h; y += kBand) {
        const std::uint32_t rows = std::min(kBand, h - y);
        image.row_offset = static_cast<int>(y);
        image.col_offset = 0;
        if (!TIFFRGBAImageGet(&image, raster.data(), w, rows))
            throw InvalidPicture("The TIFF's pixels cannot be read. " + stream.error);
        for (std::uint32_t r = 0; r < rows; ++r) {
            const std::uint32_t* src = raster.data() + std::size_t{r} * w;
            std::uint8_t* dst = out.row(static_cast<int>(y + r));
            for (std::uint32_t x = 0; x < w; ++x, dst += 3) {
                dst[0] = static_cast<std::uint8_t>(TIFFGetB(src[x]));
                dst[1] = static_cast<std::uint8_t>(TIFFGetG(src[x]));
                dst[2] = static_cast<std::uint8_t>(TIFFGetR(src[x]));
            }
        }
    }
    if (bits > 8) notice = "This is a " + std::to_string(bits) + "-bit TIFF: it was read at 8 bits per channel.";
    return out;
}

// ---- writing ----

// Fast enough that three 24 MP frames take at most twice as long to save as
// JPEGs; higher levels gain a few per cent of size for several times the time.
constexpr int kDeflateLevel = 1;

// One row in the file's sample order (RGB, RGBA with `alpha`) and with
// horizontal prediction where `predict`: each sample less the same sample of
// the pixel before, in whole numbers of the sample's width, so the loop
// vectorises. Then in the file's byte order.
template <class T>
void PackRow(const T* __restrict src, const std::uint8_t* alpha, int w, bool predict, bool swap,
             T* __restrict samples, std::uint8_t* __restrict row) {
    const int channels = alpha ? 4 : 3;
    for (int x = 0; x < w; ++x, src += 3) {
        T* in = samples + static_cast<std::size_t>(x) * channels;
        in[0] = src[2];
        in[1] = src[1];
        in[2] = src[0];
        if (alpha) {
            if constexpr (std::is_same_v<T, float>)
                in[3] = alpha[x] / 255.0f;
            else
                in[3] = static_cast<T>(alpha[x] * (std::numeric_limits<T>::max() / 255));
        }
    }
    const std::size_t count = static_cast<std::size_t>(w) * channels;
    T* out = reinterpret_cast<T*>(row);
    if (predict) {
        if constexpr (std::is_integral_v<T>) {
            std::copy_n(samples, channels, out);
            for (std::size_t i = static_cast<std::size_t>(channels); i < count; ++i)
                out[i] = static_cast<T>(samples[i] - samples[i - static_cast<std::size_t>(channels)]);
        }
    } else {
        std::copy_n(samples, count, out);
    }
    if (swap && sizeof(T) > 1)
        for (std::size_t i = 0; i < count; ++i) {
            std::uint8_t* b = row + i * sizeof(T);
            std::reverse(b, b + sizeof(T));
        }
}

struct CompressorFree {
    void operator()(libdeflate_compressor* c) const { libdeflate_free_compressor(c); }
};

}  // namespace

Bitmap DecodeTiffFile(const InputFile& file, std::string& notice) {
    TiffStream stream{ByteCursor(file)};
    return Decode(stream, notice);
}

Bitmap DecodeTiff(const std::uint8_t* data, std::size_t size, std::string& notice) {
    TiffStream stream{ByteCursor(data, size)};
    return Decode(stream, notice);
}

ImageMetadata ReadTiffMetadata(const InputFile& file) {
    return MetadataOfTiff(TiffReader([&](std::uint64_t offset, std::size_t count) { return file.read(offset, count); }));
}

ImageMetadata ReadTiffMetadata(const std::uint8_t* data, std::size_t size) {
    return MetadataOfTiff(TiffReader(BytesFetch(data, size)));
}

std::vector<std::uint8_t> EncodeTiff(const Bitmap& image, const std::uint8_t* alpha, const ImageMetadata& metadata) {
    const int w = image.width(), h = image.height();
    if (w <= 0 || h <= 0) throw Error("Cannot write an empty image.");
    const int channels = alpha ? 4 : 3;
    const int bytes = BytesPerSample(image.depth());
    const std::size_t rowBytes = static_cast<std::size_t>(w) * channels * bytes;
    // Floating-point samples take no horizontal prediction: their
    // differences compress no better and libtiff reads predictor 2 only on
    // whole numbers.
    const bool floating = image.depth() == SampleDepth::Float;

    // The EXIF block leads the file as it is; the new first directory
    // follows it and points into it.
    std::optional<TiffDirectory> described;
    const std::vector<std::uint8_t> exif = ExifForTiff(metadata.exif);
    if (!exif.empty()) {
        const TiffReader block(BytesFetch(exif.data(), exif.size()));
        if (block.valid()) described = block.directory(block.firstDirectory());
    }
    TiffWriter out = described ? TiffWriter(exif) : TiffWriter(false);
    const bool swap = out.bigEndian() != (std::endian::native == std::endian::big);

    // Strips of about 256 KB, each compressed on its own, in parallel.
    const int rowsPerStrip = static_cast<int>(std::clamp<std::size_t>(262144 / rowBytes, 1, static_cast<std::size_t>(h)));
    const int strips = (h + rowsPerStrip - 1) / rowsPerStrip;
    std::vector<std::vector<std::uint8_t>> compressed(static_cast<std::size_t>(strips));
    ParallelFor(strips, 1, [&](int s0, int s1) {
        const std::unique_ptr<libdeflate_compressor, CompressorFree> compressor(libdeflate_alloc_compressor(kDeflateLevel));
        if (!compressor) throw Error("Out of memory while compressing the TIFF.");
        std::vector<std::uint8_t> raw(rowBytes * static_cast<std::size_t>(rowsPerStrip));
        std::vector<std::uint32_t> samples(rowBytes / 4 + 1);  // aligned for any sample width
        for (int s = s0; s < s1; ++s) {
            const int y0 = s * rowsPerStrip, rows = std::min(rowsPerStrip, h - y0);
            for (int r = 0; r < rows; ++r) {
                const std::uint8_t* a = alpha ? alpha + static_cast<std::size_t>(y0 + r) * w : nullptr;
                std::uint8_t* row = raw.data() + static_cast<std::size_t>(r) * rowBytes;
                switch (image.depth()) {
                case SampleDepth::U8:
                    PackRow(image.row(y0 + r), a, w, true, false, reinterpret_cast<std::uint8_t*>(samples.data()), row);
                    break;
                case SampleDepth::U16:
                    PackRow(image.rowAs<std::uint16_t>(y0 + r), a, w, true, swap,
                            reinterpret_cast<std::uint16_t*>(samples.data()), row);
                    break;
                case SampleDepth::Float:
                    PackRow(image.rowAs<float>(y0 + r), a, w, false, swap, reinterpret_cast<float*>(samples.data()), row);
                    break;
                }
            }
            const std::size_t size = static_cast<std::size_t>(rows) * rowBytes;
            std::vector<std::uint8_t>& target = compressed[static_cast<std::size_t>(s)];
            target.resize(libdeflate_zlib_compress_bound(compressor.get(), size));
            target.resize(libdeflate_zlib_compress(compressor.get(), raw.data(), size, target.data(), target.size()));
            if (target.empty()) throw Error("The TIFF's pixels could not be compressed.");
        }
    });
    std::size_t total = out.size() + 4096;
    for (const std::vector<std::uint8_t>& strip : compressed) total += strip.size() + 1;
    out.reserve(total + metadata.icc.size() + metadata.xmp.size() + 24 * static_cast<std::size_t>(strips));
    std::vector<std::uint32_t> offsets, counts;
    for (std::vector<std::uint8_t>& strip : compressed) {
        offsets.push_back(out.append(strip.data(), strip.size()));
        counts.push_back(static_cast<std::uint32_t>(strip.size()));
        std::vector<std::uint8_t>().swap(strip);
    }

    std::vector<TiffEntry> entries = {
        out.longs(kTagImageWidth, {static_cast<std::uint32_t>(w)}),
        out.longs(kTagImageLength, {static_cast<std::uint32_t>(h)}),
        out.shorts(kTagBitsPerSample, std::vector<std::uint16_t>(static_cast<std::size_t>(channels),
                                                                 static_cast<std::uint16_t>(8 * bytes))),
        out.shorts(kTagCompression, {8}),  // Deflate
        out.shorts(kTagPhotometric, {2}),  // RGB
        out.longs(kTagStripOffsets, offsets),
        out.shorts(kTagSamplesPerPixel, {static_cast<std::uint16_t>(channels)}),
        out.longs(kTagRowsPerStrip, {static_cast<std::uint32_t>(rowsPerStrip)}),
        out.longs(kTagStripByteCounts, counts),
        out.shorts(kTagPlanarConfig, {1}),
        out.shorts(kTagPredictor, {static_cast<std::uint16_t>(floating ? 1 : 2)}),
    };
    if (floating) entries.push_back(out.shorts(kTagSampleFormat, std::vector<std::uint16_t>(static_cast<std::size_t>(channels), 3)));
    if (alpha) entries.push_back(out.shorts(kTagExtraSamples, {2}));  // unassociated alpha
    if (described) {
        for (const TiffEntry& e : described->entries)
            if (IsCarriedTiffTag(e.tag) || e.tag == kTagExifIfd || e.tag == kTagGpsIfd) {
                entries.push_back(e);
                entries.back().keepField = true;
            }
    }
    auto has = [&](std::uint16_t tag) {
        return std::any_of(entries.begin(), entries.end(), [&](const TiffEntry& e) { return e.tag == tag; });
    };
    if (!has(kTagXResolution)) entries.push_back(out.rational(kTagXResolution, 72, 1));
    if (!has(kTagYResolution)) entries.push_back(out.rational(kTagYResolution, 72, 1));
    if (!has(kTagResolutionUnit)) entries.push_back(out.shorts(kTagResolutionUnit, {2}));  // inches
    if (!metadata.icc.empty()) entries.push_back(TiffWriter::bytes(kTagIccProfile, kTiffUndefined, metadata.icc));
    if (!metadata.xmp.empty())
        entries.push_back(TiffWriter::bytes(kTagXmp, kTiffByte, std::vector<std::uint8_t>(metadata.xmp.begin(), metadata.xmp.end())));
    out.setFirstDirectory(out.directory(entries));
    return out.take();
}

}  // namespace vantrel
