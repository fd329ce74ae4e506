#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>

#include "formats/bmp_codec.h"
#include "formats/jpeg_codec.h"
#include "save/image_writer.h"
#include "save/output_naming.h"
#include "test_support.h"
#include "util/error.h"
#include "util/file_io.h"

namespace vantrel {
namespace {

namespace fs = std::filesystem;

TEST(OutputNaming, NamesAndOverwrites) {
    EXPECT_EQ(BaseNameOf("/photos/IMG_0042.JPG"), "IMG_0042");
    EXPECT_EQ(BaseNameOf("/photos/a.b.jpg"), "a.b");
    EXPECT_EQ(BaseNameOf("/photos/noext"), "noext");

    SaveNaming naming;
    naming.enabled = {true, false, true};
    naming.baseName = {"IMG_0042", "ignored", "IMG_0044"};
    naming.outputDir = "/out";
    auto none = [](const std::string&) { return false; };
    OutputNames names = ComputeOutputNames(naming, none);
    EXPECT_EQ(names.fileName[0], "IMG_0042Aligned.jpg");
    EXPECT_EQ(names.fullPath[0], (fs::path("/out") / "IMG_0042Aligned.jpg").string());
    EXPECT_EQ(names.fileName[1], "");
    EXPECT_EQ(names.fullPath[1], "");
    naming.append = false;
    naming.format = ImageKind::Bmp;
    EXPECT_EQ(ComputeOutputNames(naming, none).fileName[2], "AlignedIMG_0044.bmp");
    naming.tag.clear();
    EXPECT_EQ(ComputeOutputNames(naming, none).fileName[0], "IMG_0042.bmp");

    // Slots 1 and 3 would be overwritten; slot 2 is not offered, so never named.
    names = ComputeOutputNames(naming, [](const std::string&) { return true; });
    EXPECT_TRUE(names.anyExists);
    EXPECT_FALSE(names.exists[1]);
    EXPECT_EQ(OverwriteMessage(names, naming.enabled),
              "The following files will be overwriten ...\n\n" + names.fullPath[0] + "\n\n" + names.fullPath[2] +
                  "\n\nClick OK to proceed or Cancel to return to the Save Dialog");
    EXPECT_EQ(OverwriteMessage(ComputeOutputNames(naming, none), naming.enabled), "");

    auto width = [](const std::string& s) { return static_cast<int>(s.size()) * 10; };
    EXPECT_EQ(WrapDirectoryLabel("", 100, width), " ");
    EXPECT_EQ(WrapDirectoryLabel("/home/user/photos", 100, width), "/home/u ser/pho tos ");
    EXPECT_EQ(WrapDirectoryLabel("abc", 5, width), "a b c ");  // one character a piece at least

    EXPECT_EQ(BorderValue("50"), 50);
    EXPECT_EQ(BorderValue("-7"), -7);
    EXPECT_EQ(BorderValue("5x"), 0);
    EXPECT_EQ(BorderValue(""), 0);
}

class SaveTest : public ::testing::Test {
protected:
    void SetUp() override {
        // The process in the name: two test runs on one machine keep apart.
        dir_ = fs::temp_directory_path() / ("vantrel-save-" + std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()) +
                                            "-" + std::to_string(::getpid()));
        fs::remove_all(dir_);
        fs::create_directories(dir_);
        master_ = {1, 64, 48, 32, 24, 10, 10, 50, 12, 0, 0, 0, 1e9};
        slot_.Bitmap = test::Gradient(64, 48);
        slot_.Loaded = true;
        slot_.CP1X = 10;
        slot_.CP1Y = 10;
        slot_.Luminance = 77;
    }
    void TearDown() override {
        SetWriteFailureForTesting(-1);
        fs::remove_all(dir_);
    }
    std::string path(const std::string& name) const { return (dir_ / name).string(); }

    fs::path dir_;
    MasterGeometry master_;
    TImageSlot slot_;
    Bitmap frame_;
    SourceMetadata meta_;
};

TEST_F(SaveTest, BordersWidenTheFrameAndShiftTheMaster) {
    const Borders borders{50, 50, 50, 50};
    WriteAlignedImage(test::SourceOf(slot_), true, master_, {ImageKind::Bmp, 90, borders}, path("b.bmp"), frame_, &meta_);
    auto bytes = ReadWholeFile(path("b.bmp"));
    const Bitmap bordered = DecodeBmp(bytes.data(), bytes.size());
    ASSERT_EQ(bordered.width(), 164);
    ASSERT_EQ(bordered.height(), 148);
    EXPECT_EQ(0, std::memcmp(test::Pixel(bordered, 50 + 7, 50 + 9), test::Pixel(slot_.Bitmap, 7, 9), 3));
    EXPECT_EQ(test::Pixel(bordered, 10, 10)[0], 77);  // luminance grey around

    // The next save without borders has the plain geometry again.
    WriteAlignedImage(test::SourceOf(slot_), true, master_, {ImageKind::Bmp, 90, Borders{}}, path("p.bmp"), frame_, &meta_);
    bytes = ReadWholeFile(path("p.bmp"));
    const Bitmap plain = DecodeBmp(bytes.data(), bytes.size());
    EXPECT_TRUE(plain.samePixels(slot_.Bitmap));

    // A non-master slot in the plane model follows the master's CP1 shifted by the borders.
    TImageSlot other = slot_;
    other.CP1X = 12;
    WriteAlignedImage(test::SourceOf(other), false, master_, {ImageKind::Bmp, 90, borders}, path("o.bmp"), frame_, &meta_);
    bytes = ReadWholeFile(path("o.bmp"));
    const Bitmap shifted = DecodeBmp(bytes.data(), bytes.size());
    EXPECT_EQ(0, std::memcmp(test::Pixel(shifted, 50 + 7, 50 + 9), test::Pixel(slot_.Bitmap, 9, 9), 3));
}

TEST_F(SaveTest, CorruptSourcesStillSave) {
    for (const auto& file : test::FilesIn("corrupt-jpeg")) {
        meta_.read(file.string());
        WriteAlignedImage(test::SourceOf(slot_), true, master_, {ImageKind::Jpeg, 80, Borders{}}, path("x.jpg"), frame_, &meta_);
        const auto bytes = ReadWholeFile(path("x.jpg"));
        EXPECT_EQ(DecodeJpeg(bytes.data(), bytes.size()).width(), 64) << file;
    }
}

TEST_F(SaveTest, FailedWritesLeaveNoPartialFileAndKeepTheOld) {
    const std::string target = path("keep.jpg");
    WriteFileAtomically(target, std::vector<std::uint8_t>{1, 2, 3});
    SetWriteFailureForTesting(100);  // the disk fills up
    try {
        WriteAlignedImage(test::SourceOf(slot_), true, master_, {ImageKind::Jpeg, 90, Borders{}}, target, frame_, &meta_);
        FAIL() << "no error";
    } catch (const Error& e) {
        EXPECT_NE(std::string(e.what()).find(target), std::string::npos);
        EXPECT_EQ(std::string(e.what()).rfind("Stream write error", 0), 0u);
        EXPECT_NE(std::string(e.what()).find("No space left on device"), std::string::npos) << e.what();
    }
    SetWriteFailureForTesting(-1);
    EXPECT_EQ(ReadWholeFile(target), (std::vector<std::uint8_t>{1, 2, 3}));
    EXPECT_EQ(std::distance(fs::directory_iterator(dir_), fs::directory_iterator()), 1);

    const std::string nowhere = path("no/such/dir/out.bmp");
    try {
        WriteAlignedImage(test::SourceOf(slot_), true, master_, {ImageKind::Bmp, 90, Borders{}}, nowhere, frame_, &meta_);
        FAIL() << "no error";
    } catch (const Error& e) {
        EXPECT_EQ(std::string(e.what()), "Cannot create file " + nowhere + "\nNo such file or directory");
    }
    // Borders that leave nothing are refused, not rendered.
    EXPECT_THROW(WriteAlignedImage(test::SourceOf(slot_), true, master_, {ImageKind::Bmp, 90, Borders{0, -40, 0, -40}}, path("z.bmp"), frame_, &meta_),
                 Error);
}

TEST(SavePreview, SmallFramesAreEnlargedAndCentred) {
    TImageSlot slot;
    slot.Bitmap.resize(100, 50);
    slot.Bitmap.fill(10, 20, 30);
    slot.Loaded = true;
    const MasterGeometry master{1, 100, 50, 50, 25, 0, 0, 0, 0, 0, 0, 0, 1e9};
    Bitmap target(629, 629);
    RenderSavePreview(test::SourceOf(slot), true, master, Borders{}, target);
    // Stretched to about 1/1.1 of the box: 572 x 286, centred.
    EXPECT_EQ(test::Pixel(target, 314, 314)[2], 30);
    EXPECT_EQ(test::Pixel(target, 30, 314)[2], 30);
    EXPECT_EQ(test::Pixel(target, 20, 314)[2], 0);
    EXPECT_EQ(test::Pixel(target, 314, 150)[2], 0);
    // A large frame is sampled down.
    TImageSlot big;
    big.Bitmap = test::Gradient(3000, 2000);
    big.Loaded = true;
    const MasterGeometry bigMaster{1, 3000, 2000, 1500, 1000, 0, 0, 0, 0, 0, 0, 0, 1e9};
    target.fill(0, 0, 0);
    RenderSavePreview(test::SourceOf(big), true, bigMaster, Borders{10, 10, 10, 10}, target);
    EXPECT_NE(test::Pixel(target, 314, 314)[0] + test::Pixel(target, 314, 314)[1], 0);
    EXPECT_EQ(test::Pixel(target, 2, 314)[1], 0);
    // Borders that leave no frame show nothing and do not fail.
    RenderSavePreview(test::SourceOf(big), true, bigMaster, Borders{0, -2000, 0, -2000}, target);
}

}  // namespace
}  // namespace vantrel
