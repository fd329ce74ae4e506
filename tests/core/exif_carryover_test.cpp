// Saved JPEGs checked with exiftool against their real camera sources.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <iterator>
#include <filesystem>
#include <map>
#include <set>
#include <vector>

#include "formats/jpeg_codec.h"
#include "metadata/xmp_packet.h"
#include "formats/codec_error.h"
#include "save/image_writer.h"
#include "test_support.h"
#include "util/file_io.h"

namespace vantrel {
namespace {

namespace fs = std::filesystem;

using test::Shell;

// What exiftool reports of each file (every tag with its family-1 group),
// in one run over all of them, and its warnings.
struct Report {
    std::multiset<std::string> tags;  // "[Group] Tag: value"
    std::map<std::string, std::string> values;  // "Group:Tag" -> the first value
    std::set<std::string> warnings;
};

std::map<std::string, Report> Reports(const std::vector<std::string>& files) {
    std::string command = "exiftool -a -G1 -s -n -validate -warning -all";
    for (const auto& f : files) command += " '" + f + "'";
    const std::string text = Shell(command + " 2>/dev/null");
    std::map<std::string, Report> reports;
    Report* current = files.size() == 1 ? &reports[files[0]] : nullptr;
    std::size_t start = 0;
    while (start < text.size()) {
        const std::size_t end = text.find('\n', start);
        const std::string line = text.substr(start, end == std::string::npos ? std::string::npos : end - start);
        const std::size_t close = line.find(']'), colon = line.find(": ");
        if (line.rfind("======== ", 0) == 0) {
            current = &reports[line.substr(9)];
        } else if (current && line.rfind('[', 0) == 0 && close != std::string::npos && colon != std::string::npos) {
            const std::string group = line.substr(1, close - 1);
            std::string tag = line.substr(close + 1, colon - close - 1);
            tag.erase(0, tag.find_first_not_of(' '));
            tag.erase(tag.find_last_not_of(' ') + 1);
            const std::string value = line.substr(colon + 2);
            const bool tool = group.rfind("ExifTool", 0) == 0;
            if (tool && tag == "Warning") {
                current->warnings.insert(value);
            } else if (!tool && group != "System") {
                current->tags.insert("[" + group + "] " + tag + ": " + value);
                current->values.emplace(group + ":" + tag, value);
            }
        }
        if (end == std::string::npos) break;
        start = end + 1;
    }
    return reports;
}

// What may differ between a source and its saved image: the size where it is
// recorded, what exiftool works out from the file itself, the APP0 headers,
// the MPF index and APP14 that are not carried, and file offsets.
bool MayDiffer(const std::string& file, const std::string& entry) {
    static const char* const groups[] = {"[File]", "[Composite]", "[JFIF]", "[JFXX]", "[AVI1]", "[MPF0]", "[MPImage", "[Adobe]"};
    for (const char* g : groups)
        if (entry.rfind(g, 0) == 0) return true;
    // Metadata that is not a segment before the image data: trailers after
    // it (AFCP, FotoStation, PhotoMechanic) and an APP0 beside an EXIF block
    // (CIFF). A SPIFF header exiftool reads in the byte order of the segment
    // before it, which is no longer the JFIF header.
    static const struct {
        const char* file;
        const char* group;
    } known[] = {
        {"AFCP.jpg", "[IPTC2]"},
        {"FotoStation.jpg", "[IPTC2]"},
        {"FotoStation.jpg", "[FotoStation]"},
        {"PhotoMechanic.jpg", "[IPTC2]"},
        {"PhotoMechanic.jpg", "[PhotoMechanic]"},
        {"ExifTool.jpg", "[CIFF]"},
        {"ExifTool.jpg", "[SPIFF]"},
    };
    for (const auto& k : known)
        if (FileNameOf(file) == k.file && entry.rfind(k.group, 0) == 0) return true;
    static const char* const tags[] = {"] ExifImageWidth:", "] ExifImageHeight:", "] ImageWidth:", "] ImageHeight:",
                                       "] ThumbnailOffset:", "] PreviewImageStart:", "] JpgFromRawStart:",
                                       "] OtherImageStart:", "] StripOffsets:"};
    for (const char* t : tags)
        if (entry.find(t) != std::string::npos) return true;
    return false;
}

TEST(ExifCarryOver, CameraFilesKeepEveryTagButTheSize) {
    if (Shell("exiftool -ver 2>/dev/null").empty()) GTEST_SKIP() << "exiftool is not installed";
    const fs::path dir = fs::temp_directory_path() / "vantrel-exif-carry";
    fs::remove_all(dir);
    fs::create_directories(dir);
    struct Saved {
        std::string source, output;
        int width, height;
    };
    std::vector<Saved> saved;
    for (const char* folder : {"camera-jpeg", "brackets"})
        for (const auto& file : test::FilesIn(folder)) {
            const std::string ext = file.extension().string();
            if (ext != ".jpg" && ext != ".JPG") continue;
            Bitmap image;
            try {
                const auto bytes = ReadWholeFile(file.string());
                image = DecodeJpeg(bytes.data(), bytes.size());
            } catch (const InvalidPicture&) {
                continue;
            }
            const TSlotAlignment alignment;
            const MasterGeometry master{1, image.width(), image.height(), 0, 0, 0, 0, 0, 0, 0, 0, 0, 1e9};
            const Borders borders{2, 3, 4, 5};  // a size different from the source's
            Bitmap frame;
            SourceMetadata metadata;
            metadata.read(file.string());
            const std::string out = (dir / ("out" + std::to_string(saved.size()) + ".jpg")).string();
            WriteAlignedImage({&image, &alignment, 0, 0}, true, master, {ImageKind::Jpeg, 85, borders}, out, frame,
                              &metadata);
            saved.push_back({file.string(), out, image.width() + 8, image.height() + 6});
        }
    ASSERT_GT(saved.size(), 60u);

    std::vector<std::string> sources, outputs;
    for (const Saved& s : saved) sources.push_back(s.source), outputs.push_back(s.output);
    const auto before = Reports(sources), after = Reports(outputs);
    int sizeChecks = 0, xmpSizeChecks = 0;
    for (const Saved& s : saved) {
        SCOPED_TRACE(s.source);
        ASSERT_TRUE(before.count(s.source) && after.count(s.output));
        const Report& a = before.at(s.source);
        const Report& b = after.at(s.output);
        std::vector<std::string> lost, gained;
        std::set_difference(a.tags.begin(), a.tags.end(), b.tags.begin(), b.tags.end(), std::back_inserter(lost));
        std::set_difference(b.tags.begin(), b.tags.end(), a.tags.begin(), a.tags.end(), std::back_inserter(gained));
        for (const std::string& t : lost) EXPECT_TRUE(MayDiffer(s.source, t)) << "lost " << t;
        for (const std::string& t : gained) EXPECT_TRUE(MayDiffer(s.source, t)) << "gained " << t;
        for (const std::string& w : b.warnings) EXPECT_TRUE(a.warnings.count(w)) << "new warning: " << w;

        // The size, where the source recorded it, is the output's.
        const std::string width = std::to_string(s.width), height = std::to_string(s.height);
        EXPECT_EQ(b.values.at("File:ImageWidth"), width);
        if (a.values.count("ExifIFD:ExifImageWidth") && b.values.at("ExifIFD:ExifImageWidth") == width) {
            EXPECT_EQ(b.values.at("ExifIFD:ExifImageHeight"), height);
            ++sizeChecks;
        }
        if (a.values.count("XMP-exif:ExifImageWidth")) {
            EXPECT_EQ(b.values.at("XMP-exif:ExifImageWidth"), width);
            EXPECT_EQ(b.values.at("XMP-exif:ExifImageHeight"), height);
            ++xmpSizeChecks;
        }
    }
    EXPECT_GT(sizeChecks, 30);
    fs::remove_all(dir);
    std::printf("%d EXIF and %d XMP sizes checked\n", sizeChecks, xmpSizeChecks);
}


// Sources built around real EXIF and ICC blocks, as editors write them: XMP
// before the EXIF block, an ICC profile in three chunks out of order, XMP
// with and without room for longer size values.
TEST(ExifCarryOver, BuiltSourcesReadTheSameInExiftool) {
    if (Shell("exiftool -ver 2>/dev/null").empty()) GTEST_SKIP() << "exiftool is not installed";
    using Bytes = std::vector<std::uint8_t>;
    auto text = [](std::string_view t) { return Bytes(t.begin(), t.end()); };
    auto concat = [](std::initializer_list<Bytes> parts) {
        Bytes all;
        for (const Bytes& p : parts) all.insert(all.end(), p.begin(), p.end());
        return all;
    };
    TJpegMetadata camera, srgb;
    ASSERT_TRUE(camera.ReadMetadata(test::TestData("camera-jpeg/exif-samples/hdr/iphone_hdr_NO.jpg").string()));
    ASSERT_TRUE(srgb.ReadMetadata(test::TestData("camera-jpeg/pillow/rgb.jpg").string()));
    const Bytes exif = concat({{0xFF, 0xE1}, camera.ExifSegment()->Data});
    ASSERT_EQ(srgb.IccChunkCount(), 1);
    Bytes profile;
    for (const TJpegSegment* segment : srgb.CarriedSegments())
        if (segment->Marker == 0xE2) profile.assign(segment->Data.begin() + 2 + 14, segment->Data.end());
    auto chunk = [&](int n) {
        const std::size_t third = profile.size() / 3, from = (n - 1) * third, to = n == 3 ? profile.size() : n * third;
        return test::JpegSegment(0xE2, concat({text({"ICC_PROFILE\0", 12}), {static_cast<std::uint8_t>(n), 3},
                                               Bytes(profile.begin() + from, profile.begin() + to)}));
    };
    auto xmp = [&](const std::string& padding) {
        return test::JpegSegment(
            0xE1, concat({text(SegmentIdentifier(kXmpIdentifier)),
                          text("<?xpacket begin=\"\xEF\xBB\xBF\" id=\"W5M0MpCehiHzreSzNTczkc9d\"?>"
                               "<x:xmpmeta xmlns:x=\"adobe:ns:meta/\"><rdf:RDF "
                               "xmlns:rdf=\"http://www.w3.org/1999/02/22-rdf-syntax-ns#\"><rdf:Description "
                               "rdf:about=\"\" xmlns:exif=\"http://ns.adobe.com/exif/1.0/\" "
                               "exif:PixelXDimension=\"80\" exif:PixelYDimension=\"60\"/></rdf:RDF></x:xmpmeta>" +
                               padding + "<?xpacket end=\"w\"?>")}));
    };
    const Bytes encoded = EncodeJpeg(test::Gradient(1000, 30), 90);
    const std::size_t app0 = 4 + (encoded[4] << 8 | encoded[5]);
    const Bytes image(encoded.begin() + static_cast<std::ptrdiff_t>(app0), encoded.end());

    const fs::path dir = fs::temp_directory_path() / "vantrel-exif-built";
    fs::remove_all(dir);
    fs::create_directories(dir);
    const struct {
        const char* name;
        Bytes head;
        const char* width;  // XMP width exiftool reads in the output
    } cases[] = {
        {"xmp-first", concat({xmp(std::string(100, ' ')), exif}), "1000"},
        {"icc-chunks", concat({exif, chunk(2), xmp(""), chunk(3), chunk(1)}), "80"},  // no room: left as it was
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string source = (dir / (std::string(c.name) + ".jpg")).string();
        const std::string output = (dir / (std::string(c.name) + "-out.jpg")).string();
        WriteFileAtomically(source, concat({{0xFF, 0xD8}, c.head, image}));
        TJpegMetadata meta;
        meta.WriteJpegWithMetadata(encoded, 1000, 30, output, source, true);
        const std::string read = "exiftool -s -s -s -n -ExposureTime -FNumber -ISO -XMP-exif:ExifImageWidth "
                                 "-ExifIFD:ExifImageWidth -ProfileDescription -warning ";
        EXPECT_EQ(Shell(read + "'" + output + "'"),
                  std::string("0.025\n2.2\n32\n") + c.width + "\n1000\n" +
                      (c.name == std::string("icc-chunks") ? "sRGB IEC61966-2.1\n" : ""));
    }
    // The profile comes back whole, byte for byte.
    const std::string icc = Shell("exiftool -b -ICC_Profile '" + (dir / "icc-chunks-out.jpg").string() + "'");
    EXPECT_EQ(Bytes(icc.begin(), icc.end()), profile);
    fs::remove_all(dir);
}

// A camera JPEG's metadata through TIFF and PNG outputs, and on from those
// as sources: exiftool reads the same camera, exposure and colour profile,
// and the size of each output.
TEST(ExifCarryOver, TiffAndPngCarryTheCameraMetadataOn) {
    if (Shell("exiftool -ver 2>/dev/null").empty()) GTEST_SKIP() << "exiftool is not installed";
    const fs::path dir = fs::temp_directory_path() / "vantrel-exif-formats";
    fs::remove_all(dir);
    fs::create_directories(dir);
    const std::string camera = test::TestData("camera-jpeg/exif-samples/tests/33-type_error.jpg").string();
    const std::string tags = "exiftool -s -s -s -n -Make -Model -ExposureTime -FNumber -ISO -DateTimeOriginal "
                             "-ProfileDescription -XMP-xmp:CreatorTool ";
    const std::string expected = Shell(tags + "'" + camera + "'");
    ASSERT_NE(expected.find("Canon PowerShot G9"), std::string::npos);
    const struct {
        const char *from, *to;
        int width;
    } steps[] = {{"", "a.tif", 64}, {"", "b.png", 65}, {"a.tif", "c.png", 66}, {"a.tif", "d.jpg", 67},
                 {"b.png", "e.tif", 68}, {"b.png", "f.jpg", 69}};
    for (const auto& step : steps) {
        SCOPED_TRACE(step.to);
        const std::string source = *step.from ? (dir / step.from).string() : camera;
        const std::string out = (dir / step.to).string();
        SourceMetadata metadata;
        ASSERT_TRUE(metadata.read(source));
        const Bitmap image = test::Gradient(step.width, 40);
        const TSlotAlignment alignment;
        const MasterGeometry master{1, step.width, 40, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1e9};
        Bitmap frame;
        WriteAlignedImage({&image, &alignment, 0, 0}, true, master, {ImageKindOf(out), 90, Borders{}}, out, frame, &metadata);
        EXPECT_EQ(Shell(tags + "'" + out + "'"), expected);
        // The output's size, in the file and in the EXIF block; a TIFF's EXIF
        // records none (the TIFF's own size tags do), and a JPEG's always does.
        const bool viaTiff = ImageKindOf(out) == ImageKind::Tiff || std::string(step.from) == "a.tif";
        const bool recorded = ImageKindOf(out) == ImageKind::Jpeg || !viaTiff;
        EXPECT_EQ(Shell("exiftool -s -s -s -n -ImageWidth -ImageHeight -ExifIFD:ExifImageWidth '" + out + "'"),
                  std::to_string(step.width) + "\n40\n" + (recorded ? std::to_string(step.width) + "\n" : ""));
    }
    fs::remove_all(dir);
}

}  // namespace
}  // namespace vantrel
