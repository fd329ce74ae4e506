#include <gtest/gtest.h>

#include <cstring>
#include <numbers>
#include <filesystem>

#include "formats/jpeg_codec.h"
#include "metadata/exif_tags.h"
#include "metadata/jpeg_metadata.h"
#include "metadata/xmp_packet.h"
#include "util/md5.h"
#include "test_support.h"
#include "util/file_io.h"

namespace vantrel {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes Segment(std::uint8_t marker, const Bytes& payload) { return test::JpegSegment(marker, payload); }

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

Bytes Text(std::string_view text) { return Bytes(text.begin(), text.end()); }

Bytes Concat(std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const Bytes& p : parts) all.insert(all.end(), p.begin(), p.end());
    return all;
}

TEST(JpegMetadata, SegmentSelection) {
    const Bytes comment = Segment(0xFE, {'h', 'i'});
    const Bytes sos = Segment(0xDA, {0});
    const Bytes body = EncodedBody();
    TJpegMetadata meta;
    // Only a comment: default JFIF header, the comment, then the image.
    Bytes out = Compose(meta, Join({comment, sos}));
    Bytes jfif(TJpegMetadata::DefaultJfifHeader.begin(), TJpegMetadata::DefaultJfifHeader.end());
    EXPECT_EQ(out, Concat({{0xFF, 0xD8}, jfif, comment, body}));

    // The EXIF block leads wherever it stood; the XMP before it follows.
    const Bytes xmp = Segment(0xE1, Concat({Text(SegmentIdentifier(kXmpIdentifier)), Text("<x:xmpmeta/>")}));
    const Bytes exif = Segment(0xE1, ExifPayload(false, 3, 10, 10));
    out = Compose(meta, Join({xmp, exif, comment, sos}), 10, 10);
    EXPECT_EQ(out, Concat({{0xFF, 0xD8}, exif, comment, xmp, body}));
    EXPECT_EQ(meta.Directory()->ExifWidth, 10);

    // Metadata after the fourth segment counts like any other.
    const Bytes dqt = Segment(0xDB, {1, 2});
    out = Compose(meta, Join({dqt, dqt, dqt, dqt, exif, sos}), 10, 10);
    EXPECT_EQ(out, Concat({{0xFF, 0xD8}, exif, body}));

    // The first APP13 and the last COM follow the EXIF block; every other
    // APP1..APP13, APP15 and COM in source order. Not carried: APP0 beside
    // EXIF, the MPF index, APP14 and the tables of the image itself.
    const Bytes iptc = Segment(0xED, Text("Photoshop 3.0"));
    const Bytes iptc2 = Segment(0xED, Text("Photoshop 3.0 second"));
    const Bytes first = Segment(0xFE, Text("first"));
    const Bytes app3 = Segment(0xE3, Text("maker")), app12 = Segment(0xEC, Text("Ducky")), app15 = Segment(0xEF, {7});
    const Bytes fpxr = Segment(0xE2, Text("FPXR"));
    const Bytes app0 = Segment(0xE0, {'J', 'F', 'I', 'F', 0, 1, 1, 0, 0, 1, 0, 1, 0, 0});
    const Bytes mpf = Segment(0xE2, Concat({Text({"MPF\0", 4}), Bytes(8, 1)}));
    const Bytes adobe = Segment(0xEE, Text("Adobe"));
    out = Compose(meta, Join({app0, first, app3, exif, mpf, iptc, fpxr, adobe, dqt, app12, iptc2, comment, app15, sos}),
                  10, 10);
    EXPECT_EQ(out, Concat({{0xFF, 0xD8}, exif, iptc, comment, first, app3, fpxr, app12, iptc2, app15, body}));

    // An ICC profile's chunks go together in sequence where the first stood.
    auto chunk = [](int sequence) {
        return Segment(0xE2, Concat({Text({"ICC_PROFILE\0", 12}), {static_cast<std::uint8_t>(sequence), 3},
                                     Bytes(5, static_cast<std::uint8_t>(sequence))}));
    };
    out = Compose(meta, Join({chunk(2), app3, chunk(3), chunk(1), sos}));
    EXPECT_EQ(out, Concat({{0xFF, 0xD8}, jfif, chunk(1), chunk(2), chunk(3), app3, body}));
    EXPECT_EQ(meta.IccChunkCount(), 3);

    // Thirty segments before the image: all of them.
    Bytes many = {0xFF, 0xD8};
    Bytes carried;
    for (int i = 0; i < 30; ++i) {
        const Bytes s = Segment(i == 0 ? 0xFE : 0xE4, {static_cast<std::uint8_t>(i)});
        many.insert(many.end(), s.begin(), s.end());
        if (i > 0) carried.insert(carried.end(), s.begin(), s.end());
    }
    out = Compose(meta, Concat({many, sos}));
    EXPECT_EQ(meta.SegmentCount, 30);
    EXPECT_EQ(out, Concat({{0xFF, 0xD8}, jfif, Segment(0xFE, {0}), carried, body}));

    // Not a JPEG at all, or nothing but SOI.
    EXPECT_FALSE(meta.ReadMetadataFromBytes({0x42, 0x4D, 0, 0}));
    EXPECT_FALSE(meta.ReadMetadataFromBytes({0xFF, 0xD8}));
}

TEST(JpegMetadata, MalformedBlocksAreCarriedUnchanged) {
    const Bytes good = ExifPayload(true, 4, 300, 200);
    const Bytes jfif(TJpegMetadata::DefaultJfifHeader.begin(), TJpegMetadata::DefaultJfifHeader.end());
    struct Damage {
        std::size_t at;
        std::uint8_t value;
        bool exif;  // still an Exif block, so it leads
    } damages[] = {
        {6 + 4, 0x7F, true},   // IFD0 offset far past the block
        {6 + 8, 0xFF, true},   // IFD0 entry count runs past the block
        {6 + 30, 0xF0, true},  // Exif pointer past the block
        {6 + 44, 0x40, true},  // Exif directory count too large
        {6, 'Q', true},        // byte order neither II nor MM
        {2, 'X', false},       // not "Exif": another APP1, after the JFIF header
    };
    for (const Damage& d : damages) {
        Bytes payload = good;
        payload[d.at] = d.value;
        const Bytes app1 = Segment(0xE1, payload);
        TJpegMetadata meta;
        const Bytes out = Compose(meta, Join({app1, Segment(0xDA, {0})}), 77, 66);
        EXPECT_EQ(out, Concat({{0xFF, 0xD8}, d.exif ? Bytes() : jfif, app1, EncodedBody()})) << d.at;
    }

    // Damaged segment lists: what came before the fault is carried, nothing
    // is read past the data.
    const Bytes note = Segment(0xFE, Text("kept"));
    const Bytes shortIcc = Segment(0xE2, Text("ICC_PROFILE"));  // no sequence number: a plain APP2
    Bytes cut = Join({note, Segment(0xE1, good)});
    cut.resize(cut.size() - 5);
    const struct {
        const char* what;
        Bytes file;
        Bytes carried;  // after the JFIF header and `note`
    } lists[] = {
        {"cut inside a segment", cut, {}},
        {"length below 2", Join({note, {0xFF, 0xE3, 0x00, 0x01, 0xAA}}), {}},
        {"length byte missing", Join({note, {0xFF, 0xE3, 0x00}}), {}},
        {"fill bytes and markers without a length", Join({note, {0xFF, 0xFF, 0xFF, 0xD0, 0xFF, 0x01}, shortIcc}), shortIcc},
        {"a stray zero marker ends the list", Join({note, {0xFF, 0x00}, shortIcc}), {}},
        {"nothing but fill bytes", Join({note, Bytes(1000, 0xFF)}), {}},
    };
    for (const auto& l : lists) {
        TJpegMetadata meta;
        EXPECT_EQ(Compose(meta, l.file), Concat({{0xFF, 0xD8}, jfif, note, l.carried, EncodedBody()})) << l.what;
    }
}

// The recorded size in XMP: attributes and elements, with the padding giving
// or taking the difference, and packets left alone where that cannot be done.
TEST(XmpPacket, DimensionsRewrittenWithinThePadding) {
    const std::string ns = R"(xmlns:exif="http://ns.adobe.com/exif/1.0/" xmlns:tiff="http://ns.adobe.com/tiff/1.0/")";
    const std::string trailer = R"(<?xpacket end="w"?>)";
    const struct {
        const char* what;
        std::string before, after;  // the packet; `after` empty: unchanged
    } cases[] = {
        {"attributes, longer values take padding",
         "<rdf:Description " + ns + " exif:PixelXDimension=\"999\" exif:PixelYDimension='99'/>\n    " + trailer,
         "<rdf:Description " + ns + " exif:PixelXDimension=\"1234\" exif:PixelYDimension='567'/>\n  " + trailer},
        {"elements, shorter values give padding",
         "<x " + ns + "><tiff:ImageWidth>100000</tiff:ImageWidth><tiff:ImageLength>20000</tiff:ImageLength></x>\n" +
             trailer,
         "<x " + ns + "><tiff:ImageWidth>1234</tiff:ImageWidth><tiff:ImageLength>567</tiff:ImageLength></x>\n    " +
             trailer},
        {"same length needs no padding", "<x " + ns + " exif:PixelXDimension=\"4321\" exif:PixelYDimension=\"765\"/>",
         "<x " + ns + " exif:PixelXDimension=\"1234\" exif:PixelYDimension=\"567\"/>"},
        {"longer without padding", "<x " + ns + " exif:PixelXDimension=\"99\"/>" + trailer, ""},
        {"longer without a trailer", "<x " + ns + " exif:PixelXDimension=\"99\"/>    ", ""},
        {"prefix bound elsewhere", "<x xmlns:exif=\"http://example.com/\" exif:PixelXDimension=\"99\"/>   " + trailer, ""},
        {"not a number", "<x " + ns + " exif:PixelXDimension=\"wide\"/>    " + trailer, ""},
        {"quote never closed", "<x " + ns + " exif:PixelXDimension=\"99    " + trailer, ""},
        {"element never closed", "<x " + ns + "><tiff:ImageWidth>99</tiff:ImageWid>    " + trailer, ""},
        {"already right", "<x " + ns + " exif:PixelXDimension=\"1234\"/>" + trailer, ""},
    };
    auto segment = [](std::string_view identifier, const std::string& packet) {
        return Concat({{0, 0}, Text(identifier), Text(packet)});
    };
    for (const auto& c : cases) {
        Bytes data = segment(SegmentIdentifier(kXmpIdentifier), c.before);
        EXPECT_EQ(UpdateXmpDimensions(data, 1234, 567), !c.after.empty()) << c.what;
        EXPECT_EQ(data, segment(SegmentIdentifier(kXmpIdentifier), c.after.empty() ? c.before : c.after)) << c.what;
    }
    Bytes extended = segment(SegmentIdentifier(kExtendedXmpIdentifier), "<x " + ns + " exif:PixelXDimension=\"9\"/>");
    EXPECT_FALSE(UpdateXmpDimensions(extended, 1234, 567));
    // A TIFF's or PNG's packet has no fixed length: it grows where no padding is left.
    Bytes growing = segment(SegmentIdentifier(kXmpIdentifier), "<x " + ns + " exif:PixelXDimension=\"99\"/>" + trailer);
    EXPECT_TRUE(UpdateXmpDimensions(growing, 1234, 567, true));
    EXPECT_EQ(growing, segment(SegmentIdentifier(kXmpIdentifier), "<x " + ns + " exif:PixelXDimension=\"1234\"/>" + trailer));
}

TEST(XmpPacket, Utf16And32PacketsBecomeUtf8) {
    // "<a>é𝄞</a>": é is U+00E9 (C3 A9 in UTF-8), 𝄞 U+1D11E (surrogates D834 DD1E; F0 9D 84 9E).
    const std::string utf8 = "<a>\xC3\xA9\xF0\x9D\x84\x9E</a>";
    auto units16 = [](bool big, bool bom) {
        const std::vector<std::uint16_t> u = {'<', 'a', '>', 0xE9, 0xD834, 0xDD1E, '<', '/', 'a', '>'};
        std::string out = bom ? (big ? std::string("\xFE\xFF") : std::string("\xFF\xFE")) : std::string();
        for (const std::uint16_t v : u) {
            const char hi = static_cast<char>(v >> 8), lo = static_cast<char>(v & 0xFF);
            out += big ? std::string{hi, lo} : std::string{lo, hi};
        }
        return out;
    };
    std::string utf32le;
    for (const std::uint32_t v : {0x3Cu, 0x61u, 0x3Eu, 0xE9u, 0x1D11Eu, 0x3Cu, 0x2Fu, 0x61u, 0x3Eu})
        for (int k = 0; k < 4; ++k) utf32le += static_cast<char>(v >> (8 * k));
    const struct {
        const char* what;
        std::string in;
    } cases[] = {{"UTF-16LE", units16(false, false)}, {"UTF-16BE", units16(true, false)},
                 {"UTF-16LE with a mark", units16(false, true)}, {"UTF-16BE with a mark", units16(true, true)},
                 {"UTF-32LE", utf32le}, {"UTF-8 with a mark", "\xEF\xBB\xBF" + utf8}, {"UTF-8", utf8}};
    for (const auto& c : cases) EXPECT_EQ(XmpAsUtf8(c.in), utf8) << c.what;
}

TEST(XmpPacket, ExtendedXmpSplitAndMerged) {
    // RFC 1321's own test values.
    const struct {
        std::string text, digest;
    } digests[] = {{"", "D41D8CD98F00B204E9800998ECF8427E"},
                   {"abc", "900150983CD24FB0D6963F7D28E17F72"},
                   {"message digest", "F96B697D7CB7938D525A2F31AAF161D0"},
                   {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
                    "57EDF4A22BE3C955AC49DA2E2107B67A"}};
    for (const auto& d : digests)
        EXPECT_EQ(Md5Hex(reinterpret_cast<const std::uint8_t*>(d.text.data()), d.text.size()), d.digest) << d.text;

    const std::string packet = "<x:xmpmeta><rdf:RDF><rdf:Description rdf:about=\"\" dc:format=\"x\"/>" +
                               std::string(200, ' ') + "</rdf:RDF></x:xmpmeta>";
    const SplitXmp split = SplitXmpForJpeg(packet, 150);
    EXPECT_EQ(ExtendedXmpGuid(split.main), Md5Hex(reinterpret_cast<const std::uint8_t*>(packet.data()), packet.size()));
    std::string joined;
    for (const auto& part : split.extendedSegments) {
        ASSERT_LE(part.size(), 150u);
        joined.append(part.begin() + 35 + 32 + 8, part.end());  // identifier, GUID, length, offset
    }
    EXPECT_EQ(joined, packet);
    // Merged back: the description comes in, the pointer goes.
    const std::string merged = MergeExtendedXmp(split.main, packet);
    EXPECT_EQ(ExtendedXmpGuid(merged), "");
    EXPECT_NE(merged.find("dc:format=\"x\""), std::string::npos);
    EXPECT_LT(merged.find("dc:format"), merged.find("</rdf:RDF>"));
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
