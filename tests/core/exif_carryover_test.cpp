// Saved JPEGs checked with exiftool against their real camera sources.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <map>
#include <set>
#include <vector>

#include "imaging/jpeg_codec.h"
#include "imaging/codec_error.h"
#include "save/image_writer.h"
#include "test_support.h"
#include "util/file_io.h"

namespace vantrel {
namespace {

namespace fs = std::filesystem;

std::string Shell(const std::string& command) {
    std::string out;
    if (std::FILE* pipe = ::popen(command.c_str(), "r")) {
        char buffer[4096];
        std::size_t n;
        while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) out.append(buffer, n);
        ::pclose(pipe);
    }
    return out;
}

std::string Quote(const std::string& path) { return "'" + path + "'"; }

// What exiftool reports of each file, in one run over all of them: the EXIF
// tags that must survive, the EXIF thumbnail and the validation warnings.
struct Report {
    std::map<std::string, std::string> tags;
    std::set<std::string> warnings;
};

std::map<std::string, Report> Reports(const std::vector<std::string>& files) {
    std::string command =
        "exiftool -s -s -n -a -validate -warning -EXIF:Make -EXIF:Model -EXIF:DateTimeOriginal -EXIF:Orientation "
        "-EXIF:ExifImageWidth -EXIF:ExifImageHeight -IFD1:ThumbnailLength -IFD1:ThumbnailImage";
    for (const auto& f : files) {
        command += ' ';
        command += Quote(f);
    }
    const std::string text = Shell(command + " 2>/dev/null");
    std::map<std::string, Report> reports;
    Report* current = files.size() == 1 ? &reports[files[0]] : nullptr;
    std::size_t start = 0;
    while (start < text.size()) {
        const std::size_t end = text.find('\n', start);
        const std::string line = text.substr(start, end == std::string::npos ? std::string::npos : end - start);
        if (line.rfind("======== ", 0) == 0) {
            current = &reports[line.substr(9)];
        } else if (current) {
            const std::size_t colon = line.find(": ");
            if (colon != std::string::npos) {
                const std::string tag = line.substr(0, colon), value = line.substr(colon + 2);
                if (tag == "Warning")
                    current->warnings.insert(value);
                else
                    current->tags[tag] = value;
            }
        }
        if (end == std::string::npos) break;
        start = end + 1;
    }
    return reports;
}

// Warnings that only the program's own choice of segments causes: a second
// APP1 (extended XMP, a second EXIF block that the first one's offsets run
// into) or a second APP13 are not carried over.
bool ExpectedLoss(const std::string& file, const std::string& warning) {
    return warning.rfind("Incomplete extended XMP", 0) == 0 ||
           (warning == "Bad Photoshop resource block" && file.find("app13-multiple") != std::string::npos) ||
           (warning.rfind("Bad offset for IFD0 ImageDescription", 0) == 0 &&
            (file.find("multiple_exif") != std::string::npos || file.find("jfif_unit_cm") != std::string::npos));
}

TEST(ExifCarryOver, CameraFilesKeepTheirMetadata) {
    if (Shell("exiftool -ver 2>/dev/null").empty()) GTEST_SKIP() << "exiftool is not installed";
    const fs::path dir = fs::temp_directory_path() / "vantrel-exif-carry";
    fs::remove_all(dir);
    fs::create_directories(dir);
    struct Saved {
        std::string source, output;
        int width, height;
        bool dimensionsUpdatable;
    };
    std::vector<Saved> saved;
    for (const auto& file : test::FilesIn("camera-jpeg")) {
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
        TJpegMetadata metadata;
        metadata.ReadMetadata(file.string());
        const std::string out = (dir / ("out" + std::to_string(saved.size()) + ".jpg")).string();
        WriteAlignedImage({&image, &alignment, 0, 0}, true, master, borders, OutputFormat::Jpeg, 85, out, frame,
                          &metadata);
        const int width = image.width() + 8, height = image.height() + 6;
        const auto written = ReadWholeFile(out);
        const Bitmap decoded = DecodeJpeg(written.data(), written.size());
        EXPECT_EQ(decoded.width(), width) << file;
        EXPECT_EQ(decoded.height(), height) << file;
        TJpegMetadata source;
        source.ReadMetadata(file.string());
        const TExifDirectory* d = source.Directory();
        const bool updatable = d && !d->Malformed && d->ExifWidth > 0 && d->ExifHeight > 0 &&
                               (d->ExifWidthFormat == 3 || d->ExifWidthFormat == 4) &&
                               (d->ExifHeightFormat == 3 || d->ExifHeightFormat == 4);
        saved.push_back({file.string(), out, width, height, updatable});
    }
    ASSERT_GT(saved.size(), 50u);

    std::vector<std::string> sources, outputs;
    for (const Saved& s : saved) sources.push_back(s.source), outputs.push_back(s.output);
    const auto before = Reports(sources), after = Reports(outputs);
    int dimensionChecks = 0, thumbnails = 0;
    for (const Saved& s : saved) {
        SCOPED_TRACE(s.source);
        ASSERT_TRUE(before.count(s.source) && after.count(s.output));
        const Report& a = before.at(s.source);
        const Report& b = after.at(s.output);
        auto tag = [](const Report& r, const std::string& name) {
            return r.tags.count(name) ? r.tags.at(name) : std::string("<missing>");
        };
        for (const char* name : {"Make", "Model", "DateTimeOriginal", "Orientation", "ThumbnailLength", "ThumbnailImage"})
            EXPECT_EQ(tag(b, name), tag(a, name)) << name;
        if (s.dimensionsUpdatable && a.tags.count("ExifImageWidth") && a.tags.count("ExifImageHeight")) {
            EXPECT_EQ(tag(b, "ExifImageWidth"), std::to_string(s.width));
            EXPECT_EQ(tag(b, "ExifImageHeight"), std::to_string(s.height));
            ++dimensionChecks;
        }
        thumbnails += a.tags.count("ThumbnailImage") > 0;
        for (const std::string& w : b.warnings)
            EXPECT_TRUE(a.warnings.count(w) || ExpectedLoss(s.source, w)) << "new warning: " << w;
    }
    EXPECT_GT(dimensionChecks, 30);
    EXPECT_GT(thumbnails, 10);
    fs::remove_all(dir);
}

}  // namespace
}  // namespace vantrel
