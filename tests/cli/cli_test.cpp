// The command-line aligner, run as a user runs it.
#include <gtest/gtest.h>
#include <unistd.h>
#include <png.h>
#include <tiffio.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <csignal>
#include <cstdio>
#include <cstring>
#include <algorithm>
#include <filesystem>
#include <map>
#include <set>
#include <sstream>
#include <numbers>

#include "formats/bmp_codec.h"
#include "formats/image_file.h"
#include "metadata/tiff_directory.h"
#include "formats/jpeg_codec.h"
#include "formats/png_codec.h"
#include "metadata/image_metadata.h"
#include "metadata/jpeg_metadata.h"
#include "save/image_writer.h"
#include "save/output_naming.h"
#include "util/file_io.h"
#include "workspace/workspace.h"
#include "../core/dng_file.h"
#include "../core/synthetic_brackets.h"
#include "../core/test_support.h"

namespace vantrel {
namespace {

namespace fs = std::filesystem;

struct Result {
    int status;
    std::string out, err;
};

// `limits`: shell commands (ulimit) that the run is started under.
Result Align(const std::string& args, const fs::path& cwd, const std::string& limits = "") {
    const fs::path errFile = cwd / "stderr.txt";
    const std::string command = "cd '" + cwd.string() + "' && " + limits + "'" VANTREL_ALIGN_BINARY "' " + args +
                                " 2> '" + errFile.string() + "'";
    Result r;
    if (std::FILE* pipe = ::popen(command.c_str(), "r")) {
        char buffer[4096];
        std::size_t n;
        while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) r.out.append(buffer, n);
        const int status = ::pclose(pipe);
        r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    const auto bytes = ReadWholeFile(errFile.string());
    r.err.assign(bytes.begin(), bytes.end());
    fs::remove(errFile);
    return r;
}

class CliTest : public ::testing::Test {
protected:
    void SetUp() override {
        // The process in the name: two test runs on one machine keep apart.
        dir_ = fs::temp_directory_path() / ("vantrel-cli-" + std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()) +
                                            "-" + std::to_string(::getpid()));
        fs::remove_all(dir_);
        fs::create_directories(dir_ / "out");
        const int greys[] = {100, 130, 160};
        for (int n = 0; n < 3; ++n) {
            Bitmap b(80 + n, 60);
            for (int y = 0; y < 60; ++y)
                for (int x = 0; x < 80 + n; ++x)
                    for (int c = 0; c < 3; ++c) b.row(y)[x * 3 + c] = static_cast<std::uint8_t>(greys[n] + (x * 3 + y) % 20);
            images_[n] = (dir_ / ("img" + std::to_string(n + 1) + ".bmp")).string();
            WriteFileAtomically(images_[n], EncodeBmp(b));
        }
    }
    void TearDown() override { fs::remove_all(dir_); }
    std::string all() const { return images_[0] + " " + images_[1] + " " + images_[2]; }

    fs::path dir_;
    std::array<std::string, 3> images_;
};

TEST_F(CliTest, WritesWhatSaveAllWritesForTheSameState) {
    const Result r = Align("--format bmp --tag _al --borders 2,3,4,5 --cp 2:10,20,70,25 --fov 50 -o out " + all(), dir_);
    ASSERT_EQ(r.status, 0) << r.err;
    const fs::path out("out");
    EXPECT_EQ(r.out, (out / "img1_al.bmp").string() + "\n" + (out / "img2_al.bmp").string() + "\n" +
                         (out / "img3_al.bmp").string() + "\n");
    EXPECT_TRUE(r.err.empty());  // stderr is no terminal: no progress line

    // The same state through the core: the same bytes.
    Workspace ws;
    for (int n = 1; n <= 3; ++n) ASSERT_EQ(ws.loadSlot(n, images_[n - 1]), LoadOutcome::Loaded);
    ws.setControlPoints(2, 10, 20, 70, 25);
    ws.setFOVDegrees(50);
    ws.SelectMaster(ws.masterByLuminance());
    ws.Recalculate(true);
    fs::create_directories(dir_ / "expected");
    std::vector<std::string> paths(3);
    for (int n = 0; n < 3; ++n) paths[n] = (dir_ / "expected" / ("img" + std::to_string(n + 1) + "_al.bmp")).string();
    WriteSlots(ws, {true, true, true}, paths, {ImageKind::Bmp, 100, Borders{2, 3, 4, 5}});
    for (int n = 0; n < 3; ++n) {
        const auto got = ReadWholeFile((dir_ / "out" / ("img" + std::to_string(n + 1) + "_al.bmp")).string());
        EXPECT_EQ(got, ReadWholeFile(paths[n])) << n;
        const Bitmap b = DecodeBmp(got.data(), got.size());
        EXPECT_EQ(b.width(), ws.master().MasterWidth + 8);
        EXPECT_EQ(b.height(), 66);
    }
    // Without borders the master's file holds its picture unchanged, and the
    // others are their own.
    WriteSlots(ws, {true, true, true}, paths, {ImageKind::Bmp, 100, Borders{}});
    for (int n = 1; n <= 3; ++n) {
        const auto bytes = ReadWholeFile(paths[n - 1]);
        const Bitmap b = DecodeBmp(bytes.data(), bytes.size());
        EXPECT_EQ(b.samePixels(ws.slot(ws.MasterIndex()).Bitmap), n == ws.MasterIndex()) << n;
    }
}

TEST_F(CliTest, BracketsKeepTheirMetadata) {
    const std::string b = std::string(VANTREL_TESTDATA_DIR) + "/brackets/sony-dsc08191-08205/";
    const Result r = Align("--quality 90 --prepend -o out " + b + "DSC08201.JPG " + b + "DSC08202.JPG", dir_);
    ASSERT_EQ(r.status, 0) << r.err;
    for (const char* name : {"AlignedDSC08201.jpg", "AlignedDSC08202.jpg"}) {
        TJpegMetadata meta;
        ASSERT_TRUE(meta.ReadMetadata((dir_ / "out" / name).string())) << name;
        EXPECT_EQ(meta.Directory()->ExifWidth, 200);
        EXPECT_EQ(meta.Directory()->ExifHeight, 113);
    }
    const Result info = Align("--info " + b + "DSC08201.JPG", dir_);
    EXPECT_EQ(info.status, 0);
    EXPECT_NE(info.out.find("size 200 x 113"), std::string::npos);
    EXPECT_NE(info.out.find("EXIF: little-endian (II), pixel dimensions 5472 x 3080"), std::string::npos);
    EXPECT_NE(info.out.find("APP13: no, COM: no"), std::string::npos);
    EXPECT_EQ(std::distance(fs::directory_iterator(dir_ / "out"), fs::directory_iterator()), 2);  // --info wrote nothing

    // A colour profile in seven chunks comes along whole.
    const std::string icc = std::string(VANTREL_TESTDATA_DIR) + "/camera-jpeg/pillow/icc_profile_big.jpg";
    ASSERT_EQ(Align("-o out " + icc, dir_).status, 0);
    TJpegMetadata meta;
    ASSERT_TRUE(meta.ReadMetadata((dir_ / "out" / "icc_profile_bigAligned.jpg").string()));
    EXPECT_EQ(meta.IccChunkCount(), 7);
    EXPECT_NE(Align("--info " + icc, dir_).out.find("XMP: no, ICC profile: 7 chunks"), std::string::npos);
}

TEST_F(CliTest, PrintsTheAlignmentGrid) {
    const Result r = Align("--print-alignment --master 3 --no-scaling --cp 1:10,10,60,10 -o out " + images_[0] + " " +
                             images_[2],
                         dir_);
    ASSERT_EQ(r.status, 1) << "image 3 is not given";
    const Result ok = Align("--print-alignment --master 2 --no-scaling --cp 1:10,10,10,60 -o out " + images_[0] + " " +
                              images_[2],
                          dir_);
    ASSERT_EQ(ok.status, 0) << ok.err;
    EXPECT_EQ(ok.out.rfind("Master\t2\nName\timg1.bmp\timg3.bmp\nSize\t80 x 60\t82 x 60\n", 0), 0u) << ok.out;
    EXPECT_NE(ok.out.find("CP Angle\t90\t0\n"), std::string::npos) << ok.out;
    EXPECT_NE(ok.out.find("Scale\t1\t1\n"), std::string::npos) << ok.out;

    // A longer bracket: a column per image, and --cp and --master reach all of them.
    fs::create_directories(dir_ / "more");
    for (const std::string& name : {"img4.bmp", "img5.bmp"}) fs::copy_file(images_[name == std::string("img4.bmp") ? 1 : 0], dir_ / "more" / name);
    fs::create_directories(dir_ / "out5");
    const Result longer = Align("--print-alignment --master 5 --cp 5:10,10,60,10 --cp 4:12,10,62,10 -o out5 " + all() +
                                    " more/img4.bmp more/img5.bmp", dir_);
    ASSERT_EQ(longer.status, 0) << longer.err;
    EXPECT_EQ(longer.out.rfind("Master\t5\nName\timg1.bmp\timg2.bmp\timg3.bmp\timg4.bmp\timg5.bmp\n", 0), 0u) << longer.out;
    const auto deltaX = longer.out.find("Delta X\t");
    ASSERT_NE(deltaX, std::string::npos);
    const std::string row = longer.out.substr(deltaX, longer.out.find('\n', deltaX) - deltaX);
    EXPECT_EQ(std::count(row.begin(), row.end(), '\t'), 5) << row;
    EXPECT_TRUE(row.ends_with("\t2\t0")) << row;
    EXPECT_NE(longer.out.find("out5/img5Aligned.jpg\n"), std::string::npos) << longer.out;
    const Result six = Align("--master 6 -o out5 " + all() + " more/img4.bmp more/img5.bmp", dir_);
    EXPECT_NE(six.err.find("--master names image 6, which is not given"), std::string::npos) << six.err;
}

TEST_F(CliTest, ErrorsNameTheCauseAndLeaveNothingBehind) {
    // Hostile inputs of every kind.
    fs::create_directories(dir_ / "d1");
    fs::create_directories(dir_ / "d2");
    fs::copy_file(images_[0], dir_ / "d1" / "a.bmp");
    fs::copy_file(images_[1], dir_ / "d2" / "a.bmp");
    fs::copy_file(images_[2], dir_ / "d2" / "a.BMP");
    fs::create_directories(dir_ / "folder.jpg");
    ASSERT_EQ(::mkfifo((dir_ / "pipe.pfl").c_str(), 0600), 0);
    fs::create_symlink("/dev/zero", dir_ / "zero.jpg");
    WriteFileAtomically((dir_ / "nan.pfl").string(), std::string("FOV\n0\nOveral Scale\n1\nA\nNAN\nB\n0\nC\n0\n"));
    auto cut = EncodeJpeg(Bitmap(300, 200), 90);
    cut.resize(cut.size() / 2);
    WriteFileAtomically((dir_ / "cut.jpg").string(), cut);
    const std::string twoA = (dir_ / "d1" / "a.bmp").string() + " " + (dir_ / "d2" / "a.bmp").string();
    struct Case {
        std::string args;
        int status;
        std::string message;
    } cases[] = {
        {"", 2, "no image given"},
        {"--frobnicate " + images_[0], 2, "unknown option --frobnicate"},
        {[&] { std::string many; for (int n = 0; n <= kMaxImages; ++n) many += images_[0] + " "; return many; }(), 2,
         "at most 32 images"},
        {"--quality", 2, "--quality needs a value"},
        {"--quality 101 " + images_[0], 1, "--quality must be between 1 and 100"},
        {"--fov abc " + images_[0], 1, "--fov must be"},
        {"--cp 2:1,2,3,4 " + images_[0], 1, "--cp names image 2, which is not given"},
        {"--cp 1:1,2,3 " + images_[0], 1, "expected 4 numbers"},
        {"--borders 1,2,x,4 " + images_[0], 1, "bad value for --borders"},
        {"--format gif " + images_[0], 1, "--format must be one of bmp, jpg, tif, png"},
        {"--format png --depth float " + images_[0], 1, "PNG holds at most 16-bit samples"},
        {"--depth 16 " + images_[0], 1, "JPEG holds at most 8-bit samples"},
        {"--depth 12 " + images_[0], 1, "--depth must be 8, 16 or float"},
        {"--raw log " + images_[0], 1, "--raw must be linear or srgb"},
        {(dir_ / "missing.jpg").string(), 1, "missing.jpg: no such file"},
        {"--lens " + (dir_ / "nothing.pfl").string() + " " + images_[0], 1, "cannot read the lens profile"},
        {"-o " + (dir_ / "no" / "such").string() + " " + images_[0], 1, "Cannot create file"},
        {"--lens nan.pfl " + images_[0], 1, "Unable to parse file contents."},
        {"--lens pipe.pfl " + images_[0], 1, "is not a regular file"},
        {"--lens folder.jpg " + images_[0], 1, "is not a regular file"},
        {"folder.jpg", 1, "folder.jpg: not a regular file"},
        {"zero.jpg", 1, "zero.jpg: not a regular file"},
        {"cut.jpg", 1, "cut.jpg: The file is incomplete"},
        {"--cp 2:1,2,3,4 --cp 2:5,6,7,8 " + all(), 1, "--cp is given twice for image 2"},
        {"-o out " + twoA, 1, "would both be saved as"},
        {"-o out " + (dir_ / "d2" / "a.bmp").string() + " " + (dir_ / "d2" / "a.BMP").string(), 1, "would both be saved as"},
        {"--prepend --tag ../ -o out/inner " + images_[0], 1, "path separator"},
        {"--tag 'a\\b' -o out " + images_[0], 1, "path separator"},
        {"--master 1 --fov 60 --cp 2:10,10,10,10 -o out " + all(), 1, "Image 2 (img2.bmp) cannot be saved"},
        {"--master 1 --cp 2:2147483647,0,-2147483647,0 -o out " + all(), 1, "Image 2 (img2.bmp) cannot be saved"},
        // A source is never an output, whatever the names and --overwrite say.
        {"--overwrite --tag '' --format bmp -o . " + images_[0], 1, "is one of the images read: it is never written over"},
        {"--overwrite --tag '' --format bmp -o ./out/.. img1.bmp", 1, "never written over"},
        {"-o out/missing " + images_[0], 1, "Cannot create file"},
    };
    for (const Case& c : cases) {
        const Result r = Align(c.args, dir_);
        EXPECT_EQ(r.status, c.status) << c.args;
        EXPECT_NE(r.err.find(c.message), std::string::npos) << c.args << " -> " << r.err;
        EXPECT_TRUE(r.out.empty()) << c.args;
        EXPECT_TRUE(fs::is_empty(dir_ / "out")) << c.args;  // refused before anything is written
    }
    // A vanishing field of view is no field of view: a real picture, not one colour.
    ASSERT_EQ(Align("--fov 1e-300 --format bmp -o out " + all(), dir_).status, 0);
    const auto written = ReadWholeFile((dir_ / "out" / "img2Aligned.bmp").string());
    const Bitmap picture = DecodeBmp(written.data(), written.size());
    EXPECT_NE(picture.row(30)[3 * 40], picture.row(31)[3 * 45]);
    fs::remove_all(dir_ / "out");
    fs::create_directories(dir_ / "out");
    // A refused picture: the window's message, on one line.
    const std::string broken = (dir_ / "broken.jpg").string();
    WriteFileAtomically(broken, std::vector<std::uint8_t>{0xFF, 0xD8, 0xFF, 0xC0, 0, 2});
    Result r = Align(broken, dir_);
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("broken.jpg: The file/s that you have just tried to open may not be valid."), std::string::npos);
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1);

    // Existing outputs are refused, naming them, unless --overwrite.
    ASSERT_EQ(Align("-o out " + all(), dir_).status, 0);
    r = Align("-o out " + all(), dir_);
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("img1Aligned.jpg"), std::string::npos);
    EXPECT_EQ(Align("--overwrite -o out " + all(), dir_).status, 0);
    for (const auto& e : fs::directory_iterator(dir_ / "out"))
        EXPECT_EQ(e.path().extension(), ".jpg") << e.path();  // no temporary left anywhere
}

TEST_F(CliTest, AutoAlignPlacesThePointsAndExitsThreeWhenItCannot) {
    const std::string b = std::string(VANTREL_TESTDATA_DIR) + "/brackets/sony-dsc08191-08205/";
    Result r = Align("--auto --print-alignment -o out " + b + "DSC08196.JPG " + b + "DSC08197.JPG", dir_);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.err.find("field of view 64.2 degrees from the master's EXIF"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("Image 2 (DSC08197.JPG): aligned ("), std::string::npos) << r.err;
    EXPECT_NE(r.out.find("\nCP1\t"), std::string::npos) << r.out;
    // A picture of something else: named, left unaligned, still written; exit 3.
    r = Align("--auto --overwrite -o out " + b + "DSC08196.JPG " + images_[1], dir_);
    EXPECT_EQ(r.status, 3) << r.err;
    EXPECT_NE(r.err.find("could not be aligned"), std::string::npos) << r.err;
    EXPECT_TRUE(fs::exists(dir_ / "out" / "img2Aligned.jpg"));
    // A repeating pattern is only approximately aligned: written, a warning, exit 0.
    for (int n = 1; n <= 2; ++n) {
        Bitmap board(120, 90);
        for (int y = 0; y < 90; ++y)
            for (int x = 0; x < 120; ++x) std::fill_n(board.row(y) + 3 * x, 3, ((x + n) / 4 + y / 4) % 2 ? 200 : 40);
        WriteFileAtomically((dir_ / ("board" + std::to_string(n) + ".bmp")).string(), EncodeBmp(board));
    }
    r = Align("--auto --format bmp -o out board1.bmp board2.bmp", dir_);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.err.find("vantrel-align: warning: Image 2 (board2.bmp) is only approximately aligned"), std::string::npos)
        << r.err;
    // Decimal points, and the EXIF's field of view on request.
    r = Align("--fov exif --cp 2:10.5,20.25,70,25 --print-alignment -o out --overwrite " + b + "DSC08196.JPG " +
                  b + "DSC08197.JPG",
              dir_);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("CP1\t20,56\t10.5,20.25\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("CP Length\t"), std::string::npos);
    EXPECT_EQ(Align("--fov exif " + images_[0], dir_).status, 1);  // a BMP has no EXIF
}

TEST_F(CliTest, LosslessFormatsCropToTheCommonAreaWithTransparentBorders) {
    // Every extension the format table names loads from the command line.
    Bitmap picture(40, 30);
    picture.fill(90, 120, 150);
    for (const ImageFormat& f : ImageFormats())
        for (const ImageExtension& e : f.extensions) {
            if (!f.writable()) continue;  // camera raw: the raw tests make their own
            const std::string path = (dir_ / (std::string("x") + e.text)).string();
            WriteFileAtomically(path, f.encode(picture, nullptr, 90, nullptr));
            const Result r = Align("--info '" + path + "'", dir_);
            EXPECT_EQ(r.status, 0) << e.text << ": " << r.err;
            EXPECT_NE(r.out.find("size 40 x 30"), std::string::npos) << e.text;
        }

    // A turned image: every output cut to the same common area, the borders given way.
    Result r = Align("--format tif --crop --alpha --borders 5,5,5,5 --print-alignment --cp 2:8,30,72,34 -o out " + all(),
                     dir_);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.err.find("--borders is ignored"), std::string::npos) << r.err;
    const auto at = r.out.find("Common area\t");
    ASSERT_NE(at, std::string::npos) << r.out;
    int w = 0, h = 0, left = 0, top = 0;
    ASSERT_EQ(std::sscanf(r.out.c_str() + at, "Common area\t%d x %d at %d,%d", &w, &h, &left, &top), 4);
    EXPECT_LT(w * h, 80 * 60);
    for (int n = 1; n <= 3; ++n) {
        Bitmap out;
        ASSERT_EQ(LoadImageFile((dir_ / "out" / ("img" + std::to_string(n) + "Aligned.tif")).string(), out),
                  LoadOutcome::Loaded);
        EXPECT_EQ(out.width(), w);
        EXPECT_EQ(out.height(), h);
    }
    r = Align("--format png --alpha -o out " + all(), dir_);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(fs::exists(dir_ / "out" / "img3Aligned.png"));
    EXPECT_NE(Align("--alpha --overwrite -o out " + all(), dir_).err.find("JPEG has no alpha channel"), std::string::npos);

    // A 16-bit TIFF is read at its depth, and said so.
    TiffWriter tiff(false);
    const std::vector<std::uint8_t> pixels(4 * 2 * 3 * 2, 0x80);
    const std::uint32_t data = tiff.append(pixels.data(), pixels.size());
    tiff.setFirstDirectory(tiff.directory(
        {tiff.longs(kTagImageWidth, {4}), tiff.longs(kTagImageLength, {2}), tiff.shorts(kTagBitsPerSample, {16, 16, 16}),
         tiff.shorts(kTagCompression, {1}), tiff.shorts(kTagPhotometric, {2}), tiff.longs(kTagStripOffsets, {data}),
         tiff.shorts(kTagSamplesPerPixel, {3}), tiff.longs(kTagRowsPerStrip, {2}), tiff.longs(kTagStripByteCounts, {48})}));
    WriteFileAtomically((dir_ / "deep.tif").string(), tiff.take());
    r = Align("--info deep.tif", dir_);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("size 4 x 2, 16-bit, luminance"), std::string::npos) << r.out;
}

TEST_F(CliTest, LensDatabaseCorrectsByTheFirstImagesExif) {
    const std::string nikon = std::string(VANTREL_TESTDATA_DIR) + "/camera-jpeg/exif-samples/tests/87_OSError.jpg";
    const std::string wide = std::string(VANTREL_TESTDATA_DIR) + "/corrupt-jpeg/pillow/broken_exif_dpi.jpg";
    const std::string phone = std::string(VANTREL_TESTDATA_DIR) + "/camera-jpeg/exif-samples/hdr/iphone_hdr_NO.jpg";
    Result r = Align("--lens-db --format bmp -o out '" + nikon + "' '" + wide + "'", dir_);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.err.find("lens database: Nikon Nikkor AF-S 18-70mm f/3.5-4.5G DX IF-ED on Nikon D70s at 60 mm"),
              std::string::npos) << r.err;
    EXPECT_NE(r.err.find("was taken at 14 mm, the first image at 60 mm"), std::string::npos) << r.err;
    Bitmap corrected, plain;
    ASSERT_EQ(LoadImageFile((dir_ / "out" / "87_OSErrorAligned.bmp").string(), corrected), LoadOutcome::Loaded);
    ASSERT_EQ(Align("--format bmp --tag Plain -o out '" + nikon + "'", dir_).status, 0);
    ASSERT_EQ(LoadImageFile((dir_ / "out" / "87_OSErrorPlain.bmp").string(), plain), LoadOutcome::Loaded);
    EXPECT_FALSE(corrected.samePixels(plain));

    // Nothing in the database: refused, saying what was looked for.
    r = Align("--lens-db -o out '" + phone + "'", dir_);
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("lens \"iPhone 6 back camera 4.15mm f/2.2\" of camera \"Apple iPhone 6\" at 4.15 mm"),
              std::string::npos) << r.err;
    EXPECT_NE(Align("--info '" + nikon + "'", dir_).out.find("lens database: Nikon Nikkor AF-S 18-70mm"), std::string::npos);
    // A lens named only in the makers' note, and where it was found.
    const std::string olympus = std::string(VANTREL_TESTDATA_DIR) + "/camera-jpeg/exif-samples/tests/42_IndexError.jpg";
    r = Align("--info '" + olympus + "'", dir_);
    EXPECT_NE(r.out.find("lens: Olympus M.Zuiko Digital 14-42mm F3.5-5.6 II R (from Exif.OlympusEq.LensType)"), std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("lens database: Olympus M.Zuiko Digital ED 14-42mm f/3.5-5.6 II R on Olympus E-P3 at 15 mm"),
              std::string::npos) << r.out;
    // Vignetting only when asked, only with the database, only where it has data.
    const std::string e1 = std::string(VANTREL_TESTDATA_DIR) + "/camera-jpeg/exiftool-t-images/OlympusE1.jpg";
    r = Align("--lens-db --lens-db-vignetting --format bmp --tag V -o out '" + nikon + "'", dir_);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.err.find("vignetting corrected too"), std::string::npos) << r.err;
    r = Align("--lens-db --lens-db-vignetting --format bmp --tag V -o out '" + e1 + "'", dir_);
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("The database has no vignetting data for Olympus Zuiko Digital 14-54mm f/2.8-3.5 at 20 mm"),
              std::string::npos) << r.err;
    EXPECT_EQ(Align("--lens-db-vignetting " + images_[0], dir_).status, 2);
    EXPECT_EQ(Align("--lens-db --lens x.pfl " + images_[0], dir_).status, 2);

    // The same photo as TIFF and PNG: their EXIF is read wherever a JPEG's is.
    for (const char* format : {"tif", "png"}) {
        SCOPED_TRACE(format);
        ASSERT_EQ(Align(std::string("--format ") + format + " --tag Lossless -o out '" + nikon + "'", dir_).status, 0);
        const std::string copy = "out/87_OSErrorLossless." + std::string(format);
        r = Align("--info " + copy, dir_);
        EXPECT_NE(r.out.find("camera NIKON CORPORATION NIKON D70s"), std::string::npos) << r.out;
        EXPECT_NE(r.out.find("lens database: Nikon Nikkor AF-S 18-70mm"), std::string::npos) << r.out;
        r = Align("--lens-db --fov exif --format bmp --tag From" + std::string(format) + " -o out " + copy, dir_);
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_NE(r.err.find("lens database: Nikon Nikkor AF-S 18-70mm"), std::string::npos) << r.err;
    }
}

// A picture of noise with a lens correction that leaves empty areas: crop
// and alpha must know them as well as the warp's. In noise, a run of equal
// pixels is fill.
TEST_F(CliTest, CropAndAlphaKnowTheLensCorrectionsEmptyAreas) {
    const Bitmap noise = test::Noise(300, 200, 99);
    std::string images;
    for (const char* name : {"n1.bmp", "n2.bmp", "n3.bmp"}) {
        WriteFileAtomically((dir_ / name).string(), EncodeBmp(noise));
        images += std::string(" ") + name;
    }
    WriteFileAtomically((dir_ / "b.pfl").string(), std::string("FOV\n0\nOveral Scale\n1\nA\n0\nB\n0.08\nC\n0\n"));
    // RGBA rows of a PNG, through libpng's own reader.
    auto rgba = [](const fs::path& file, int& w, int& h) {
        const auto bytes = ReadWholeFile(file.string());
        png_image image{};
        image.version = PNG_IMAGE_VERSION;
        std::vector<std::uint8_t> pixels;
        if (png_image_begin_read_from_memory(&image, bytes.data(), bytes.size())) {
            image.format = PNG_FORMAT_RGBA;
            pixels.resize(PNG_IMAGE_SIZE(image));
            if (!png_image_finish_read(&image, nullptr, pixels.data(), 0, nullptr)) pixels.clear();
        }
        w = static_cast<int>(image.width);
        h = static_cast<int>(image.height);
        return pixels;
    };
    auto fill = [](const std::vector<std::uint8_t>& p, int w, int x, int y) {  // equal to a neighbour in its row
        const std::uint8_t* at = p.data() + (static_cast<std::size_t>(y) * w + x) * 4;
        return (x + 1 < w && std::memcmp(at, at + 4, 3) == 0) || (x > 0 && std::memcmp(at, at - 4, 3) == 0);
    };

    Result r = Align("--lens b.pfl --crop --format png --tag C -o out" + images, dir_);
    ASSERT_EQ(r.status, 0) << r.err;
    int w = 0, h = 0;
    std::vector<std::uint8_t> cropped = rgba(dir_ / "out" / "n2C.png", w, h);
    ASSERT_FALSE(cropped.empty());
    EXPECT_LT(w * h, 300 * 200 * 9 / 10);  // cut inside the corrected corners
    int fills = 0;
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) fills += fill(cropped, w, x, y);
    EXPECT_LT(fills, 4) << w << " x " << h;

    r = Align("--lens b.pfl --alpha --format png --tag A -o out" + images, dir_);
    ASSERT_EQ(r.status, 0) << r.err;
    for (const char* name : {"n1A.png", "n2A.png"}) {
        std::vector<std::uint8_t> out = rgba(dir_ / "out" / name, w, h);
        ASSERT_EQ(out.size(), 300u * 200 * 4) << name;
        int opaqueFill = 0, transparent = 0;
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x) {
                const std::uint8_t alpha = out[(static_cast<std::size_t>(y) * w + x) * 4 + 3];
                transparent += alpha == 0;
                // Equal neighbours both taken from the picture happen, but rarely.
                opaqueFill += alpha == 255 && fill(out, w, x, y);
            }
        EXPECT_GT(transparent, 300 * 200 / 20) << name;
        EXPECT_LT(opaqueFill, 8) << name;
    }
}

// ---- metadata in every container ----

// exiftool -validate's warnings per file ("======== path" headers), less the
// expected one: Deflate is a non-baseline TIFF compression.
std::map<std::string, std::set<std::string>> Validate(const std::vector<std::string>& files) {
    std::string command = "exiftool -validate -warning -a";
    for (const std::string& f : files) command += " '" + f + "'";
    std::map<std::string, std::set<std::string>> warnings;
    std::string file;
    std::stringstream in(test::Shell(command + " 2>/dev/null"));
    for (std::string line; std::getline(in, line);) {
        if (line.rfind("======== ", 0) == 0) file = fs::path(line.substr(9)).filename().string();
        const auto colon = line.find(':');
        if (line.rfind("Warning", 0) == 0 && colon != std::string::npos && line.find("Compression") == std::string::npos)
            warnings[file].insert(line.substr(colon + 2));
    }
    return warnings;
}

TEST_F(CliTest, OutputsHoldValidMetadataForTheirContainer) {
    if (test::Shell("exiftool -ver 2>/dev/null").empty()) GTEST_SKIP() << "exiftool is not installed";
    // Every camera file of exiftool's own tests, to each format and from the
    // lossless ones on to JPEG: no warning the source did not have already,
    // but for tags a TIFF requires that the camera never wrote.
    const fs::path cameras = fs::path(VANTREL_TESTDATA_DIR) / "camera-jpeg" / "exiftool-t-images";
    std::vector<std::string> sources, outputs;
    for (const auto& e : fs::directory_iterator(cameras))
        if (e.path().extension() == ".jpg") sources.push_back(e.path().string());
    std::sort(sources.begin(), sources.end());
    for (const std::string& source : sources)
        for (const char* format : {"tif", "png", "jpg"}) {
            ASSERT_EQ(Align(std::string("--format ") + format + " --tag _" + format + " -o out '" + source + "'", dir_).status, 0)
                << source;
            outputs.push_back((dir_ / "out" / (fs::path(source).stem().string() + "_" + format + "." + format)).string());
        }
    for (std::size_t i = 0, n = outputs.size(); i < n; ++i)
        if (fs::path(outputs[i]).extension() != ".jpg") {
            ASSERT_EQ(Align("--format jpg --tag _jpg -o out '" + outputs[i] + "'", dir_).status, 0) << outputs[i];
            outputs.push_back((dir_ / "out" / (fs::path(outputs[i]).stem().string() + "_jpg.jpg")).string());
        }
    std::vector<std::string> all = sources;
    all.insert(all.end(), outputs.begin(), outputs.end());
    auto warnings = Validate(all);
    for (const std::string& output : outputs) {
        const std::string name = fs::path(output).filename().string();
        const std::string camera = name.substr(0, name.find('_')) + ".jpg";
        for (const std::string& w : warnings[name]) {
            if (warnings[camera].count(w) || w.find("Missing required TIFF") != std::string::npos) continue;
            // One Canon tag holds an offset from the start of the file, not
            // of the EXIF block: no container move keeps it.
            if (w == "Invalid original decision data") continue;
            ADD_FAILURE() << name << ": " << w;
        }
    }
    EXPECT_GT(outputs.size(), 150u);
    // An Extended XMP (a JPEG's way past 64 KB) joins the packet of a TIFF or PNG.
    for (const char* out : {"ExtendedXMP_tif.tif", "ExtendedXMP_png.png"})
        EXPECT_EQ(test::Shell("exiftool -s -s -s -Creator -HasExtendedXMP '" + (dir_ / "out" / out).string() + "'"),
                  "Guess Who\n") << out;
}

TEST_F(CliTest, MetadataThatDoesNotFitIsKeptInPartAndSaidSo) {
    if (test::Shell("exiftool -ver 2>/dev/null").empty()) GTEST_SKIP() << "exiftool is not installed";
    // A PNG whose EXIF (a 90 KB maker note) and XMP (100 KB) no JPEG segment holds.
    TiffWriter exif(false);
    const std::string make = "Vantrel Test Camera";
    const std::uint32_t sub = exif.directory({TiffWriter::bytes(kTagMakerNote, kTiffUndefined, std::vector<std::uint8_t>(90000, 7))});
    exif.setFirstDirectory(exif.directory({TiffWriter::bytes(0x010F, kTiffAscii, std::vector<std::uint8_t>(make.begin(), make.end() + 1)),
                                           exif.longs(kTagExifIfd, {sub})}));
    ImageMetadata metadata;
    metadata.exif = exif.take();
    metadata.xmp = "<?xpacket begin='' id='W5M0MpCehiHzreSzNTczkc9d'?><x:xmpmeta xmlns:x='adobe:ns:meta/'>"
                   "<rdf:RDF xmlns:rdf='http://www.w3.org/1999/02/22-rdf-syntax-ns#'><rdf:Description rdf:about='' "
                   "xmlns:dc='http://purl.org/dc/elements/1.1/'><dc:format>image/x-vantrel-test</dc:format>"
                   "</rdf:Description></rdf:RDF></x:xmpmeta>" + std::string(100000, ' ') + "<?xpacket end='w'?>";
    WriteFileAtomically((dir_ / "big.png").string(), EncodePng(test::Gradient(64, 48), nullptr, metadata));
    const Result r = Align("--format jpg -o out big.png", dir_);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.err.find("warning: out/bigAligned.jpg: The EXIF block (89 KB) is more than a JPEG holds: it was written "
                         "without its thumbnail and maker note."), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("it was written as Extended XMP"), std::string::npos) << r.err;
    EXPECT_EQ(test::Shell("exiftool -s -s -s -Make -XMP-dc:Format '" + (dir_ / "out" / "bigAligned.jpg").string() + "'"),
              make + "\nimage/x-vantrel-test\n");

    // A colour profile with a chunk missing is carried by no format, and said so.
    const auto icc = ReadWholeFile(std::string(VANTREL_TESTDATA_DIR) + "/camera-jpeg/pillow/icc_profile_big.jpg");
    std::vector<std::uint8_t> broken(icc.begin(), icc.begin() + 2);
    for (std::size_t at = 2; at + 4 <= icc.size();) {
        const std::size_t length = std::size_t{icc[at + 2]} << 8 | icc[at + 3];
        const bool second = icc[at + 1] == 0xE2 && length > 16 && icc[at + 4 + 12] == 2;  // ICC_PROFILE\0, sequence 2
        if (!second) broken.insert(broken.end(), icc.begin() + static_cast<std::ptrdiff_t>(at),
                                   icc.begin() + static_cast<std::ptrdiff_t>(std::min(icc.size(), at + 2 + length)));
        if (icc[at + 1] == 0xDA) {
            broken.insert(broken.end(), icc.begin() + static_cast<std::ptrdiff_t>(at + 2 + length), icc.end());
            break;
        }
        at += 2 + length;
    }
    ASSERT_LT(broken.size(), icc.size());
    WriteFileAtomically((dir_ / "torn.jpg").string(), broken);
    for (const char* format : {"jpg", "tif", "png"}) {
        const Result t = Align(std::string("--format ") + format + " -o out torn.jpg", dir_);
        EXPECT_EQ(t.status, 0) << t.err;
        EXPECT_NE(t.err.find("The colour profile's chunks are incomplete or repeated, so the profile was left out."),
                  std::string::npos) << format << t.err;
        EXPECT_EQ(test::Shell("exiftool -s -s -s -ICC_Profile:all '" + (dir_ / "out" / ("tornAligned." + std::string(format))).string() + "'"), "")
            << format;
    }
}

// ---- batch runs ----

// A JPEG of `picture` whose EXIF records the shot's time and exposure bias.
std::vector<std::uint8_t> ShotJpeg(const Bitmap& picture, int second, int hundredths, int bias) {
    TiffWriter exif(false);
    char when[32];  // room for any int, so the compiler sees no truncation
    std::snprintf(when, sizeof when, "2024:05:01 10:%02d:%02d", second / 60, second % 60);
    const std::string sub = std::to_string(hundredths);
    std::vector<std::uint8_t> biasValue(8);
    const std::int32_t numerator = bias, denominator = 1;
    std::memcpy(biasValue.data(), &numerator, 4);  // little-endian, as the structure
    std::memcpy(biasValue.data() + 4, &denominator, 4);
    const std::uint32_t sub_ifd = exif.directory(
        {TiffWriter::bytes(0x9003, kTiffAscii, std::vector<std::uint8_t>(when, when + 20)),
         TiffWriter::bytes(0x9291, kTiffAscii, std::vector<std::uint8_t>(sub.c_str(), sub.c_str() + sub.size() + 1)),
         TiffWriter::bytes(0x9204, 10, biasValue)});
    exif.setFirstDirectory(exif.directory({exif.longs(kTagExifIfd, {sub_ifd})}));
    ImageMetadata metadata;
    metadata.exif = exif.take();
    TJpegMetadata segments;
    segments.ReadMetadataFrom(metadata);
    return segments.ComposeJpeg(EncodeJpeg(picture, 92), picture.width(), picture.height(), true);
}

// A small shoot: a bracket a scene, 20 s apart, of frames[scene - 1] shots
// exposed 0, -1, +1, -2, +2, ... EV a third of a second apart, each a moved
// copy of a real photo (its flowers are bright: the master barely clips).
void WriteShoot(const fs::path& in, const std::vector<int>& frames) {
    Bitmap photo;
    ASSERT_EQ(LoadImageFile(std::string(VANTREL_TESTDATA_DIR) + "/camera-jpeg/exif-samples/hdr/iphone_hdr_NO.jpg", photo),
              LoadOutcome::Loaded);
    fs::create_directories(in);
    const int biases[] = {0, -1, 1, -2, 2, -3, 3};
    for (int scene = 1; scene <= static_cast<int>(frames.size()); ++scene)
        for (int frame = 1; frame <= frames[scene - 1]; ++frame) {
            const int bias = biases[frame - 1];
            const test::Motion motion = test::SimilarityAbout(300, 200, 0.4 * bias, 1, frame * 2, -frame);
            const Bitmap picture = test::Exposure(photo, 300, 200, [&](test::Point q) {
                const test::Point p = test::Unmap(motion, q);
                return test::Point{p.x * 3 + 400 * scene - 300, p.y * 3 + 900};
            }, 0.6 * std::pow(1.25, bias), 1, static_cast<unsigned>(scene * 10 + frame));
            WriteFileAtomically((in / ("s" + std::to_string(scene) + "_" + std::to_string(frame) + ".jpg")).string(),
                                ShotJpeg(picture, scene * 20 + frame * 30 / 100, frame * 30 % 100, bias));
        }
}

TEST_F(CliTest, BatchFindsTheSetsAlignsThemAndResumes) {
    // Brackets of 5, 7, 3, 2 (the fourth lost a frame) and 3 frames (one cut
    // short), then a stray shot.
    const fs::path in = dir_ / "shoot";
    WriteShoot(in, {5, 7, 3, 2, 3, 1});
    std::vector<std::uint8_t> cut = ReadWholeFile((in / "s5_2.jpg").string());
    cut.resize(cut.size() * 2 / 3);
    WriteFileAtomically((in / "s5_2.jpg").string(), cut);

    Result r = Align("--batch shoot --dry-run", dir_);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "s1_1\ts1_1.jpg\ts1_2.jpg\ts1_3.jpg\ts1_4.jpg\ts1_5.jpg\n"
                     "s2_1\ts2_1.jpg\ts2_2.jpg\ts2_3.jpg\ts2_4.jpg\ts2_5.jpg\ts2_6.jpg\ts2_7.jpg\n"
                     "s3_1\ts3_1.jpg\ts3_2.jpg\ts3_3.jpg\ns4_1\ts4_1.jpg\ts4_2.jpg\ns5_1\ts5_1.jpg\ts5_2.jpg\ts5_3.jpg\n"
                     "s6_1\ts6_1.jpg\n");
    EXPECT_FALSE(fs::exists(dir_ / "batch"));

    // One set at a time: a failing set is told on its line and the run goes on.
    r = Align("--batch shoot -o batch --jobs 1 --report report.csv", dir_);
    EXPECT_EQ(r.status, 1) << r.err;  // the cut file
    // Every frame of a long bracket aligned to the one master of its set.
    EXPECT_NE(r.out.find("s1_1\t5 files\ts1_1.jpg master\ts1_2.jpg aligned 0."), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("s2_1\t7 files\ts2_1.jpg master\ts2_2.jpg aligned 0."), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find(".jpg left unaligned"), std::string::npos) << r.out;
    for (int frame = 1; frame <= 7; ++frame)
        EXPECT_TRUE(fs::exists(dir_ / "batch" / "s2_1" / ("s2_" + std::to_string(frame) + "Aligned.jpg"))) << frame;
    EXPECT_NE(r.out.find("s4_1\t2 files\ts4_1.jpg aligned"), std::string::npos) << r.out;
    // The set aligns what it can read and names what it cannot.
    EXPECT_NE(r.out.find("s5_1\t3 files\ts5_1.jpg master\ts5_3.jpg aligned 0."), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("\ts5_2.jpg unreadable\tfailed: s5_2.jpg: The file is incomplete"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("6 sets: 5 aligned, 0 with images left unaligned, 0 skipped (done before), 1 failed"),
              std::string::npos) << r.out;
    for (const char* out : {"s1_1/s1_1Aligned.jpg", "s1_1/s1_3Aligned.jpg", "s4_1/s4_2Aligned.jpg", "s5_1/s5_3Aligned.jpg"})
        EXPECT_TRUE(fs::exists(dir_ / "batch" / out)) << out;
    EXPECT_FALSE(fs::exists(dir_ / "batch" / "s5_1" / "s5_2Aligned.jpg"));
    const auto csv = ReadWholeFile((dir_ / "report.csv").string());
    const std::string report(csv.begin(), csv.end());
    EXPECT_EQ(report.rfind("set,image,result,confidence,message\ns1_1,s1_1.jpg,master,,\n", 0), 0u) << report;
    EXPECT_NE(report.find("s1_1,s1_2.jpg,aligned,0."), std::string::npos) << report;
    EXPECT_NE(report.find("s5_1,s5_2.jpg,unreadable,,The file is incomplete"), std::string::npos) << report;

    // Again: everything done is skipped, and says what it came to.
    r = Align("--batch shoot -o batch --report report.csv", dir_);
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("6 sets: 0 aligned, 0 with images left unaligned, 6 skipped (done before), 0 failed"),
              std::string::npos) << r.out;
    EXPECT_NE(r.out.find("s5_1\t3 files\tskipped: done before\ts5_1.jpg master"), std::string::npos) << r.out;
    const auto csv2 = ReadWholeFile((dir_ / "report.csv").string());
    EXPECT_NE(std::string(csv2.begin(), csv2.end()).find("s1_1,s1_2.jpg,aligned,0."), std::string::npos);

    // Interrupted as soon as the first set is written: no partial file, and
    // the next run does only what is left.
    fs::remove(in / "s5_2.jpg");
    const fs::path out2 = dir_ / "batch2";
    const std::string binary = VANTREL_ALIGN_BINARY;
    const pid_t child = ::fork();
    if (child == 0) {
        ::chdir(dir_.c_str());
        ::freopen("/dev/null", "w", stdout);
        ::execl(binary.c_str(), binary.c_str(), "--batch", "shoot", "-o", "batch2", "--jobs", "1", nullptr);
        ::_exit(127);
    }
    // The second set's folder comes once the first set is done and recorded.
    auto firstSetWritten = [&] { return fs::exists(out2 / "s2_1"); };
    for (int i = 0; i < 6000 && !firstSetWritten(); ++i) ::usleep(10000);
    ::kill(child, SIGINT);
    int status = 0;
    ::waitpid(child, &status, 0);
    for (const auto& e : fs::recursive_directory_iterator(out2))
        EXPECT_EQ(e.path().filename().string().find(".tmp"), std::string::npos) << e.path();
    r = Align("--batch shoot -o batch2", dir_);
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("s1_1\t5 files\tskipped: done before"), std::string::npos) << r.out;
    EXPECT_TRUE(fs::exists(out2 / "s5_1" / "s5_3Aligned.jpg"));
}

TEST_F(CliTest, BatchWritesOnlyWhatIsItsOwn) {
    const fs::path in = dir_ / "shoot";
    WriteShoot(in, {3, 3});
    std::map<std::string, std::vector<std::uint8_t>> sources;
    for (const auto& e : fs::directory_iterator(in)) sources[e.path().string()] = ReadWholeFile(e.path().string());
    auto sourcesKept = [&] {
        for (const auto& [path, bytes] : sources)
            if (ReadWholeFile(path) != bytes) return false;
        return true;
    };

    const struct {
        std::string args;
        int status;
        std::string message;
    } refused[] = {
        // Outputs named as the sources, in their folder: never, even when asked.
        {"--batch shoot -o shoot --flat --tag ''", 1, "a source is never written over"},
        {"--batch shoot -o shoot --flat --tag '' --overwrite", 1, "a source is never written over"},
        {"--batch shoot -o ./shoot/../shoot --flat --tag '' --format jpg", 1, "never written over"},
        // A folder that cannot be made is said before any set is aligned.
        {"--batch shoot -o shoot/s1_1.jpg/out", 1, "cannot create the output folder"},
        // A shard file naming a set the folder does not hold: a typo, not "0 sets".
        {"--batch shoot -o out --sets shard.txt", 2, "names 1 set that shoot does not hold, s9_1"},
    };
    WriteFileAtomically((dir_ / "shard.txt").string(), std::string("s1_1\ns9_1\n"));
    for (const auto& c : refused) {
        const Result r = Align(c.args, dir_);
        EXPECT_EQ(r.status, c.status) << c.args;
        EXPECT_NE(r.err.find(c.message), std::string::npos) << c.args << " -> " << r.err;
        EXPECT_TRUE(sourcesKept()) << c.args;
        EXPECT_TRUE(fs::is_empty(dir_ / "out")) << c.args;
    }

    // Sets in different formats with one base name: --flat would give both
    // one output; refused before anything is written.
    {
        Bitmap b(40, 30);
        WriteFileAtomically((in / "s1_1.bmp").string(), EncodeBmp(b));  // no EXIF time: a set of its own
        const Result r = Align("--batch shoot -o flat --flat", dir_);
        EXPECT_EQ(r.status, 1);
        EXPECT_NE(r.err.find("s1_1.jpg and s1_1.bmp would both be written to"), std::string::npos) << r.err;
        EXPECT_FALSE(fs::exists(dir_ / "flat" / "s1_1Aligned.jpg"));
        fs::remove(in / "s1_1.bmp");
    }

    // A file in an output's place that this program did not write stays,
    // unless --overwrite; what it wrote itself is redone when a source changes.
    fs::create_directories(dir_ / "out" / "s2_1");
    WriteFileAtomically((dir_ / "out" / "s2_1" / "s2_2Aligned.jpg").string(), std::string("someone else's"));
    Result r = Align("--batch shoot -o out", dir_);
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("s2_1\t3 files\tfailed: would overwrite"), std::string::npos) << r.out;
    EXPECT_EQ(ReadWholeFile((dir_ / "out" / "s2_1" / "s2_2Aligned.jpg").string()).size(), 14u);
    EXPECT_TRUE(fs::exists(dir_ / "out" / "s1_1" / "s1_2Aligned.jpg"));
    r = Align("--batch shoot -o out --overwrite", dir_);
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_GT(ReadWholeFile((dir_ / "out" / "s2_1" / "s2_2Aligned.jpg").string()).size(), 1000u);
    fs::last_write_time(in / "s1_2.jpg", fs::file_time_type::clock::now() + std::chrono::hours(1));
    r = Align("--batch shoot -o out", dir_);
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_NE(r.out.find("s1_1\t3 files\ts1_1.jpg master\ts1_2.jpg aligned"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("s2_1\t3 files\tskipped: done before"), std::string::npos) << r.out;
    EXPECT_TRUE(sourcesKept());

    // An empty file without a time joins no set, so its neighbours by name
    // still make one; it is reported on a line of its own.
    fs::create_directories(dir_ / "loose");
    for (const char* name : {"a.bmp", "c.bmp"}) {
        Bitmap b(60, 40);
        for (int y = 0; y < 40; ++y)
            for (int x = 0; x < 180; ++x) b.row(y)[x] = static_cast<std::uint8_t>((x * 7 + y * 13) % 251);
        WriteFileAtomically((dir_ / "loose" / name).string(), EncodeBmp(b));
    }
    WriteFileAtomically((dir_ / "loose" / "b.bmp").string(), std::string());
    r = Align("--batch loose --set-size 2 --dry-run", dir_);
    EXPECT_EQ(r.out, "a\ta.bmp\tc.bmp\nb\tb.bmp\n");
    EXPECT_NE(r.err.find("b.bmp: The file is empty."), std::string::npos) << r.err;
}

TEST_F(CliTest, BatchResumeKeepsWhatTheSetCameTo) {
    // A bracket whose second frame is another scene: left unaligned, exit 3;
    // run again, skipped, and still exit 3 with the image's result.
    const fs::path in = dir_ / "shoot";
    WriteShoot(in, {3});
    const Bitmap noise = test::Noise(300, 200, 12345);
    WriteFileAtomically((in / "s1_2.jpg").string(), ShotJpeg(noise, 20, 60, -1));
    Result r = Align("--batch shoot -o out --report a.csv", dir_);
    ASSERT_EQ(r.status, 3) << r.out << r.err;
    EXPECT_NE(r.out.find("s1_2.jpg left unaligned"), std::string::npos) << r.out;
    r = Align("--batch shoot -o out --report b.csv", dir_);
    EXPECT_EQ(r.status, 3) << r.out;
    EXPECT_NE(r.out.find("skipped: done before\ts1_1.jpg master\ts1_2.jpg left unaligned"), std::string::npos) << r.out;
    const auto csv = ReadWholeFile((dir_ / "b.csv").string());
    EXPECT_NE(std::string(csv.begin(), csv.end()).find("s1_1,s1_2.jpg,left unaligned,"), std::string::npos);
}

TEST_F(CliTest, TemporariesOfDeadWritersAreRemoved) {
    // One left by a killed run, one by a writer still at work (this process).
    const fs::path dead = dir_ / "out" / "xAligned.jpg.tmp2147480000-0-17";
    const fs::path live = dir_ / "out" / ("yAligned.jpg.tmp" + std::to_string(::getpid()) + "-3-5");
    const fs::path other = dir_ / "out" / "notes.tmp1-x";
    for (const fs::path& p : {dead, live, other}) WriteFileAtomically(p.string(), std::string("partial"));
    ASSERT_EQ(Align("--format bmp -o out " + images_[0], dir_).status, 0);
    EXPECT_FALSE(fs::exists(dead));
    EXPECT_TRUE(fs::exists(live));
    EXPECT_TRUE(fs::exists(other));
}

TEST_F(CliTest, ScarceResourcesGiveAMessageNeverAnAbort) {
    const std::string b = std::string(VANTREL_TESTDATA_DIR) + "/brackets/sony-dsc08191-08205/";
    const std::string bracket = b + "DSC08196.JPG " + b + "DSC08197.JPG " + b + "DSC08198.JPG";
    Result r;
    // Thread stacks larger than the address space allowed: no thread can be
    // started, and the work runs on the calling thread alone.
#if !defined(__SANITIZE_ADDRESS__)  // the sanitizer's shadow memory needs the address space
    const std::string noThreads = "ulimit -s 4194304 && ulimit -v 3500000 && ";
    r = Align("--auto -o out " + bracket, dir_, noThreads);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(std::distance(fs::directory_iterator(dir_ / "out"), fs::directory_iterator()), 3);
    fs::create_directories(dir_ / "shoot");
    for (const char* name : {"DSC08196.JPG", "DSC08197.JPG", "DSC08198.JPG"}) fs::copy_file(b + name, dir_ / "shoot" / name);
    r = Align("--batch shoot --jobs 2 -o batch", dir_, noThreads);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("1 sets: 1 aligned"), std::string::npos) << r.out;

    // Three 24 MP frames within a 1 GB address space: enough for the work,
    // as long as each thread does not reserve a malloc arena of its own.
    fs::create_directories(dir_ / "large");
    for (int n = 0; n < 3; ++n) {
        const test::Motion motion = test::SimilarityAbout(6000, 4000, 0.2 * n, 1, 3.0 * n, -2.0 * n);
        const Bitmap frame = test::Exposure(test::Gradient(600, 400), 6000, 4000, [&](test::Point q) {
            const test::Point p = test::Unmap(motion, q);
            return test::Point{p.x / 10, p.y / 10};
        }, 0.5 + 0.25 * n, 2, static_cast<unsigned>(n + 1));
        WriteFileAtomically((dir_ / "large" / ("f" + std::to_string(n) + ".jpg")).string(), EncodeJpeg(frame, 90));
    }
    r = Align("--auto -o large large/f0.jpg large/f1.jpg large/f2.jpg", dir_, "ulimit -v 1000000 && ");
    EXPECT_NE(r.status, 1) << r.err;
    EXPECT_EQ(r.err.find("std::"), std::string::npos) << r.err;
    // Nine of them cannot fit: refused before the rest is read, and said why.
    std::string nine;
    for (int n = 0; n < 9; ++n) {
        const std::string name = "large/g" + std::to_string(n) + ".jpg";
        fs::create_hard_link(dir_ / ("large/f" + std::to_string(n % 3) + ".jpg"), dir_ / name);
        nine += " " + name;
    }
    r = Align("--auto -o out" + nine, dir_, "ulimit -v 1000000 && ");
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_NE(r.err.find("9 images of 6000 x 4000 pixels need about"), std::string::npos) << r.err;
    // A 64 MP float picture, black in Deflate strips: read, then refused with
    // what it needs where its copies would not fit.
    {
        TIFF* tif = TIFFOpen((dir_ / "huge.tif").c_str(), "w");
        ASSERT_NE(tif, nullptr);
        TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, 8000);
        TIFFSetField(tif, TIFFTAG_IMAGELENGTH, 8000);
        TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, 3);
        TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, 32);
        TIFFSetField(tif, TIFFTAG_SAMPLEFORMAT, SAMPLEFORMAT_IEEEFP);
        TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_RGB);
        TIFFSetField(tif, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
        TIFFSetField(tif, TIFFTAG_COMPRESSION, COMPRESSION_ADOBE_DEFLATE);
        TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP, 100);
        std::vector<std::uint8_t> strip(8000 * 12 * 100, 0);
        for (int s = 0; s < 80; ++s) TIFFWriteEncodedStrip(tif, s, strip.data(), static_cast<tmsize_t>(strip.size()));
        TIFFClose(tif);
    }
    fs::create_directories(dir_ / "hugeout");
    r = Align("-o hugeout huge.tif", dir_, "ulimit -v 1500000 && ");
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_NE(r.err.find("8000 x 8000"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("MB"), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find("std::"), std::string::npos) << r.err;
    EXPECT_TRUE(fs::is_empty(dir_ / "hugeout")) << "nothing written";
#endif
    // A file-size limit fails the write as a full disk would: said, and no
    // temporary left.
    const Bitmap noise = test::Noise(500, 400, 7);
    WriteFileAtomically((dir_ / "noise.bmp").string(), EncodeBmp(noise));
    fs::remove_all(dir_ / "out");
    fs::create_directories(dir_ / "out");
    r = Align("--format tif -o out noise.bmp", dir_, "ulimit -f 400 && ");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("Stream write error"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("File too large"), std::string::npos) << r.err;
    EXPECT_TRUE(fs::is_empty(dir_ / "out"));
    // A flat master fits, the noise beside it does not: the set is written
    // whole or not at all, so a rerun meets no half set of its own.
    Bitmap flat(500, 400);
    flat.fill(90, 90, 90);
    WriteFileAtomically((dir_ / "flat.bmp").string(), EncodeBmp(flat));
    r = Align("--format tif --master 1 -o out flat.bmp noise.bmp", dir_, "ulimit -f 400 && ");
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_TRUE(fs::is_empty(dir_ / "out"));
}

TEST_F(CliTest, HelpAndVersion) {
    Result r = Align("--help", dir_);
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("Usage: vantrel-align"), std::string::npos);
    r = Align("--version", dir_);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "vantrel-align 2.0\n");
}

// A textured scene's light (R, G, B) for one second, for raw brackets.
std::array<double, 3> RawScene(int x, int y) {
    const double t = 0.5 + 0.4 * std::sin(x / 7.0) * std::cos(y / 9.0) + 0.3 * ((x / 16 + y / 16) % 2);
    return {0.5 + 2.0 * t, 0.4 + 2.2 * t, 0.6 + 1.6 * t};
}

TEST_F(CliTest, RawBracketsDevelopAlignAndCarryTheirMetadata) {
    const double times[] = {1.0 / 60, 1.0 / 15, 1.0 / 4};
    std::string all;
    for (int n = 0; n < 3; ++n) {
        const std::string name = "raw" + std::to_string(n + 1) + ".dng";
        WriteFileAtomically((dir_ / name).string(),
                            test::MakeDng(320, 240, RawScene, {times[n], 8, 200, "2026:12:01 10:00:0" + std::to_string(n)}));
        all += " " + name;
    }
    // Developed linear at 16 bits, aligned, and written as 16-bit TIFF by default.
    Result r = Align("--auto -o out" + all, dir_);
    ASSERT_EQ(r.status, 0) << r.err;
    Bitmap out;
    ASSERT_EQ(LoadImageFile((dir_ / "out" / "raw3Aligned.tif").string(), out), LoadOutcome::Loaded);
    EXPECT_EQ(out.depth(), SampleDepth::U16);
    EXPECT_TRUE(out.linear());  // its colour profile says so
    // Linear: the exposures' light in the ratio of their times, 1/4 s to 1/15 s.
    Bitmap middle;
    ASSERT_EQ(LoadImageFile((dir_ / "out" / "raw2Aligned.tif").string(), middle), LoadOutcome::Loaded);
    double bright = 0, mid = 0;
    for (int y = 40; y < 200; ++y)
        for (int x = 40; x < 280; ++x) {
            bright += out.rowAs<std::uint16_t>(y)[3 * x + 1];
            mid += middle.rowAs<std::uint16_t>(y)[3 * x + 1];
        }
    EXPECT_NEAR(bright / mid, 3.75, 3.75 * 0.02);
    if (!test::Shell("exiftool -ver 2>/dev/null").empty()) {
        const std::string tags = test::Shell("exiftool -s -Make -Model -ExposureTime -FNumber -ISO -DateTimeOriginal '" +
                                             (dir_ / "out" / "raw1Aligned.tif").string() + "'");
        for (const char* want : {"Make                            : Vantrel Test", "Model                           : Mosaic 16",
                                 "ExposureTime                    : 1/60", "FNumber                         : 8.0",
                                 "ISO                             : 200", "DateTimeOriginal                : 2026:12:01 10:00:00"})
            EXPECT_NE(tags.find(want), std::string::npos) << want << "\n" << tags;
        const std::string file = (dir_ / "out" / "raw1Aligned.tif").string();
        EXPECT_TRUE(Validate({file}).empty()) << "exiftool -validate warns";
    }
    // The sRGB development is brighter in the midtones; 8-bit output on request.
    fs::create_directories(dir_ / "srgb");
    r = Align("--raw srgb --depth 8 -o srgb" + all, dir_);
    ASSERT_EQ(r.status, 0) << r.err;
    Bitmap srgb;
    ASSERT_EQ(LoadImageFile((dir_ / "srgb" / "raw2Aligned.tif").string(), srgb), LoadOutcome::Loaded);
    EXPECT_EQ(srgb.depth(), SampleDepth::U8);
    EXPECT_GT(srgb.row(120)[3 * 160 + 1] * 257.0, 1.5 * middle.rowAs<std::uint16_t>(120)[3 * 160 + 1]);
    // A RAW+JPEG shoot: the raws are grouped and aligned, the JPEGs left alone, said once.
    fs::create_directories(dir_ / "both");
    for (int n = 0; n < 3; ++n) {
        const std::string stem = "IMG_" + std::to_string(n + 1);
        fs::copy_file(dir_ / ("raw" + std::to_string(n + 1) + ".dng"), dir_ / "both" / (stem + ".DNG"));
        WriteFileAtomically((dir_ / "both" / (stem + ".JPG")).string(), FormatOf(ImageKind::Jpeg).encode(test::Gradient(32, 24), nullptr, 90, nullptr));
    }
    r = Align("--batch both --dry-run", dir_);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "IMG_1\tIMG_1.DNG\tIMG_2.DNG\tIMG_3.DNG\n");
    EXPECT_NE(r.err.find("3 shots were taken as raw and JPEG"), std::string::npos) << r.err;
}

}  // namespace
}  // namespace vantrel
