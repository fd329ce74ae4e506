#include <gtest/gtest.h>

#include <cstring>
#include <numbers>
#include <filesystem>

#include "imaging/jpeg_codec.h"
#include "metadata/exif_tags.h"
#include "metadata/jpeg_metadata.h"
#include "test_support.h"
#include "util/file_io.h"

namespace vantrel {
namespace {

using Bytes = std::vector<std::uint8_t>;

// A segment: FF, marker, 16-bit length, payload.
Bytes Segment(std::uint8_t marker, const Bytes& payload) {
    Bytes s(payload.size() + 4);
    s[0] = 0xFF;
    s[1] = marker;
    s[2] = static_cast<std::uint8_t>((payload.size() + 2) >> 8);
    s[3] = static_cast<std::uint8_t>((payload.size() + 2) & 0xFF);
    std::copy(payload.begin(), payload.end(), s.begin() + 4);
    return s;
}

// An Exif APP1 payload: IFD0 with an ExifIFD pointer, whose directory holds
// PixelXDimension and PixelYDimension in the given format (3 SHORT, 4 LONG).
Bytes ExifPayload(bool bigEndian, int format, int width, int height) {
    Bytes tiff;
    auto put16 = [&](std::size_t at, unsigned v) {
        if (tiff.size() < at + 2) tiff.resize(at + 2);
        tiff[at] = static_cast<std::uint8_t>(bigEndian ? v >> 8 : v & 0xFF);
        tiff[at + 1] = static_cast<std::uint8_t>(bigEndian ? v & 0xFF : v >> 8);
    };
    auto put32 = [&](std::size_t at, unsigned v) {
        put16(at, bigEndian ? v >> 16 : v & 0xFFFF);
        put16(at + 2, bigEndian ? v & 0xFFFF : v >> 16);
    };
    tiff = {static_cast<std::uint8_t>(bigEndian ? 'M' : 'I'), static_cast<std::uint8_t>(bigEndian ? 'M' : 'I')};
    put16(2, 42);
    put32(4, 8);  // IFD0 at 8
    put16(8, 2);  // two entries
    // Make (ASCII, 6 bytes at 38) and the Exif pointer.
    put16(10, 0x10F), put16(12, 2), put32(14, 6), put32(18, 38);
    put16(22, 0x8769), put16(24, 4), put32(26, 1), put32(30, 44);
    put32(34, 0);  // no next directory
    const char make[] = "Acme\0";
    for (int i = 0; i < 6; ++i) tiff.push_back(static_cast<std::uint8_t>(make[i]));
    put16(44, 2);  // Exif directory
    auto entry = [&](std::size_t at, unsigned tag, unsigned value) {
        put16(at, tag), put16(at + 2, format), put32(at + 4, 1);
        if (format == 3) {
            put16(at + 8, value), put16(at + 10, 0);
        } else {
            put32(at + 8, value);
        }
    };
    entry(46, 0xA002, width);
    entry(58, 0xA003, height);
    put32(70, 0);
    Bytes payload = {'E', 'x', 'i', 'f', 0, 0};
    payload.insert(payload.end(), tiff.begin(), tiff.end());
    return payload;
}

Bytes Join(std::initializer_list<Bytes> parts) {
    Bytes all = {0xFF, 0xD8};
    for (const Bytes& p : parts) all.insert(all.end(), p.begin(), p.end());
    return all;
}

// A real encoded image (it begins with the encoder's APP0).
const Bytes& Encoded() {
    static const Bytes bytes = EncodeJpeg(test::Gradient(40, 30), 90);
    return bytes;
}

Bytes Compose(TJpegMetadata& meta, const Bytes& source, int w = 40, int h = 30) {
    EXPECT_TRUE(meta.ReadMetadataFromBytes(source));
    return meta.ComposeJpeg(Encoded(), w, h, true);
}

bool StartsWith(const Bytes& bytes, const Bytes& prefix) {
    return bytes.size() >= prefix.size() && std::equal(prefix.begin(), prefix.end(), bytes.begin());
}

// The encoded image from its first segment after the encoder's APP0.
Bytes EncodedBody() {
    const Bytes& e = Encoded();
    const std::size_t skip = 2 + 2 + (e[4] << 8 | e[5]);
    return Bytes(e.begin() + static_cast<std::ptrdiff_t>(skip), e.end());
}

TEST(JpegMetadata, CameraFileKeepsItsExifWithTheNewSize) {
    for (bool bigEndian : {false, true})
        for (int format : {3, 4}) {
            const Bytes app1 = Segment(0xE1, ExifPayload(bigEndian, format, 4000, 3000));
            const Bytes source = Join({Segment(0xE0, {'J', 'F', 'I', 'F', 0, 1, 1, 0, 0, 1, 0, 1, 0, 0}), app1,
                                       Segment(0xDB, Bytes(67, 1)), Segment(0xDA, {1, 2, 3})});
            TJpegMetadata meta;
            const Bytes out = Compose(meta, source, 1234, 567);
            // FF D8, then the source's APP1 of the same length (the APP0 is dropped).
            ASSERT_TRUE(StartsWith(out, {0xFF, 0xD8, 0xFF, 0xE1, app1[2], app1[3]}));
            EXPECT_EQ(Bytes(out.begin() + 2 + static_cast<std::ptrdiff_t>(app1.size()), out.end()), EncodedBody());
            TJpegMetadata back;
            ASSERT_TRUE(back.ReadMetadataFromBytes(out));
            EXPECT_EQ(back.Directory()->ExifWidth, 1234) << bigEndian << format;
            EXPECT_EQ(back.Directory()->ExifHeight, 567);
            EXPECT_EQ(back.Directory()->ExifWidthFormat, format);  // still a SHORT when it was one
            EXPECT_EQ(back.HeaderSegment(), nullptr);

            // The recorded size already right: the block is copied byte for byte.
            const Bytes same = Compose(meta, source, 4000, 3000);
            EXPECT_TRUE(std::equal(app1.begin(), app1.end(), same.begin() + 2));
        }
}

TEST(JpegMetadata, SegmentSelection) {
    const Bytes comment = Segment(0xFE, {'h', 'i'});
    TJpegMetadata meta;
    // Only a comment: default JFIF header, the comment, then the image.
    Bytes out = Compose(meta, Join({comment, Segment(0xDA, {0})}));
    Bytes expected = {0xFF, 0xD8};
    expected.insert(expected.end(), TJpegMetadata::DefaultJfifHeader.begin(), TJpegMetadata::DefaultJfifHeader.end());
    expected.insert(expected.end(), comment.begin(), comment.end());
    const Bytes body = EncodedBody();
    expected.insert(expected.end(), body.begin(), body.end());
    EXPECT_EQ(out, expected);

    // The first APP1 is kept whatever it holds; a later Exif APP1 is lost.
    const Bytes xmp = Segment(0xE1, {'h', 't', 't', 'p', ':', '/', '/'});
    out = Compose(meta, Join({xmp, Segment(0xE1, ExifPayload(false, 3, 10, 10)), comment, Segment(0xDA, {0})}));
    EXPECT_TRUE(std::equal(xmp.begin(), xmp.end(), out.begin() + 2));
    EXPECT_EQ(meta.Directory()->ExifWidth, 0);
    EXPECT_EQ(meta.SegmentCount, 3);  // the second APP1 was dropped, then COM and SOS

    // Four segments without metadata, then APP1 fifth: nothing is carried.
    const Bytes dqt = Segment(0xDB, {1, 2});
    EXPECT_FALSE(meta.ReadMetadataFromBytes(Join({dqt, dqt, dqt, dqt, Segment(0xE1, ExifPayload(false, 3, 5, 5))})));

    // IPTC and comment go after the EXIF block, in this order.
    const Bytes iptc = Segment(0xED, {'P', 'h', 'o', 't', 'o'});
    const Bytes app1 = Segment(0xE1, ExifPayload(false, 4, 40, 30));
    out = Compose(meta, Join({app1, comment, iptc, Segment(0xDA, {0})}));
    Bytes head = {0xFF, 0xD8};
    for (const Bytes* s : {&app1, &iptc, &comment}) head.insert(head.end(), s->begin(), s->end());
    EXPECT_TRUE(StartsWith(out, head));

    // More than 20 segments before the image: reading stops after 20.
    Bytes many = {0xFF, 0xD8};
    for (int i = 0; i < 30; ++i) {
        const Bytes s = Segment(i == 0 ? 0xFE : 0xE2, {static_cast<std::uint8_t>(i)});
        many.insert(many.end(), s.begin(), s.end());
    }
    EXPECT_TRUE(meta.ReadMetadataFromBytes(many));
    EXPECT_EQ(meta.SegmentCount, 20);

    // Not a JPEG at all, or nothing but SOI.
    EXPECT_FALSE(meta.ReadMetadataFromBytes({0x42, 0x4D, 0, 0}));
    EXPECT_FALSE(meta.ReadMetadataFromBytes({0xFF, 0xD8}));
}

TEST(JpegMetadata, MalformedBlocksAreCarriedUnchanged) {
    const Bytes good = ExifPayload(true, 4, 300, 200);
    struct Damage {
        std::size_t at;
        std::uint8_t value;
    } damages[] = {
        {6 + 4, 0x7F},   // IFD0 offset far past the block
        {6 + 8, 0xFF},   // IFD0 entry count runs past the block
        {6 + 30, 0xF0},  // Exif pointer past the block
        {6 + 44, 0x40},  // Exif directory count too large
        {2, 'X'},        // not "Exif"
        {6, 'Q'},        // byte order neither II nor MM
    };
    for (const Damage& d : damages) {
        Bytes payload = good;
        payload[d.at] = d.value;
        const Bytes app1 = Segment(0xE1, payload);
        TJpegMetadata meta;
        const Bytes out = Compose(meta, Join({app1, Segment(0xDA, {0})}), 77, 66);
        EXPECT_TRUE(std::equal(app1.begin(), app1.end(), out.begin() + 2)) << d.at;
    }
    // Truncated inside the APP1: the segment is not kept.
    Bytes cut = Join({Segment(0xE1, good)});
    cut.resize(cut.size() - 5);
    TJpegMetadata meta;
    EXPECT_FALSE(meta.ReadMetadataFromBytes(cut));
}

TEST(JpegMetadata, FilesOnDiskAndFailures) {
    namespace fs = std::filesystem;
    const fs::path dir = fs::temp_directory_path() / "vantrel-meta-test";
    fs::remove_all(dir);
    fs::create_directories(dir);
    const std::string source = (dir / "source.JPG").string();
    WriteFileAtomically(source, Join({Segment(0xE1, ExifPayload(false, 3, 9, 9)), Segment(0xDA, {0})}));
    const std::string out = (dir / "out.jpg").string();
    TJpegMetadata meta;
    meta.WriteJpegWithMetadata(Encoded(), 40, 30, out, source, true);
    const Bytes written = ReadWholeFile(out);
    EXPECT_TRUE(StartsWith(written, {0xFF, 0xD8, 0xFF, 0xE1}));
    EXPECT_FALSE(DecodeJpeg(written.data(), written.size()).empty());

    // A BMP source (by extension) and a missing source carry nothing.
    const std::string bmp = (dir / "source.bmp").string();
    fs::copy_file(source, bmp);
    EXPECT_FALSE(meta.ReadMetadata(bmp));
    EXPECT_FALSE(meta.ReadMetadata((dir / "missing.jpg").string()));
    meta.WriteJpegWithMetadata(Encoded(), 40, 30, out, bmp, true);
    EXPECT_EQ(ReadWholeFile(out), Encoded());
    fs::remove_all(dir);
}

TEST(JpegMetadata, RealAndCorruptFilesNeverReadOutside) {
    int withMetadata = 0;
    for (const char* folder : {"camera-jpeg", "corrupt-jpeg", "brackets"}) {
        for (const auto& file : test::FilesIn(folder)) {
            (void)ReadExifTagsOf(file.string()).HalfFieldOfView(4000, 3000);
            TJpegMetadata meta;
            if (!meta.ReadMetadata(file.string())) continue;
            ++withMetadata;
            const Bytes out = meta.ComposeJpeg(Encoded(), 40, 30, true);
            EXPECT_TRUE(StartsWith(out, {0xFF, 0xD8})) << file;
            EXPECT_FALSE(DecodeJpeg(out.data(), out.size()).empty()) << file;
        }
    }
    EXPECT_GT(withMetadata, 50);
}

// Values as exiftool prints them; the fields of view worked out by hand:
// 35 mm equivalent f35 on a w x h picture gives atan(w / hypot(w, h) * 43.267 / 2 / f35),
// a focal length f with n pixels per unit gives atan(w / n * unit / 2 / f).
TEST(ExifTags, CameraFilesGiveTheirExposureAndFieldOfView) {
    struct Case {
        const char* file;
        int width, height;
        double exposure, fNumber, iso;
        double halfFovDegrees;  // 0: none
        double shotTime;        // seconds since 1970
    } cases[] = {
        {"hdr/iphone_hdr_NO.jpg", 3264, 2448, 0.025, 2.2, 32, 16.889621, 1428696743.016},
        {"gps/DSCN0040.jpg", 640, 480, 1 / 131.0, 4.1, 64, 31.719983, 1224694537},
        {"tests/87_OSError.jpg", 1488, 2240, 1 / 60.0, 29, 1000, 11.322038, 1134571187},
        {"exif-org/fujifilm-dx10.jpg", 1024, 768, 0, 4.2, 150, 22.312978, 987107594},  // 2151 per cm, 5.8 mm
        // 10142.857 per inch; its ISO is in the maker notes only
        {"tests/28-hex_value.jpg", 1704, 2272, 1 / 640.0, 5.6, 0, 26.127154, 1219330383},
        {"exif-org/kodak-dc210.jpg", 640, 480, 1 / 30.0, 4.0, 0, 0, 972578811},  // a focal length alone
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.file);
        const ExifTags tags = ReadExifTagsOf(test::TestData(std::string("camera-jpeg/exif-samples/") + c.file).string());
        EXPECT_NEAR(tags.ExposureTime.value_or(0), c.exposure, 1e-4);
        EXPECT_NEAR(tags.FNumber.value_or(0), c.fNumber, 1e-9);
        EXPECT_NEAR(tags.ISO.value_or(0), c.iso, 1e-9);
        const auto half = tags.HalfFieldOfView(c.width, c.height);
        EXPECT_NEAR(half ? *half * 180 / std::numbers::pi : 0, c.halfFovDegrees, 1e-4);
        EXPECT_NEAR(tags.ShotTime().value_or(0), c.shotTime, 1e-3);
    }
    // A picture made smaller after the shot keeps the angle.
    const ExifTags iphone = ReadExifTagsOf(test::TestData("camera-jpeg/exif-samples/hdr/iphone_hdr_NO.jpg").string());
    EXPECT_NEAR(*iphone.HalfFieldOfView(816, 612), *iphone.HalfFieldOfView(3264, 2448), 1e-12);
    EXPECT_FALSE(ReadExifTagsOf(test::TestData("camera-jpeg/missing.jpg").string()).FNumber);
}

}  // namespace
}  // namespace vantrel
