#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>

#include "imaging/image_file.h"
#include "util/error.h"
#include "util/file_io.h"
#include "util/parallel.h"

namespace vantrel {
namespace {

namespace fs = std::filesystem;

TEST(FileIo, AtomicWriteReplacesOnlyWhenComplete) {
    const fs::path dir = fs::temp_directory_path() / "vantrel-io-test";
    fs::remove_all(dir);
    fs::create_directories(dir);
    const std::string target = (dir / "out.bin").string();
    WriteFileAtomically(target, std::vector<std::uint8_t>{1, 2, 3});
    WriteFileAtomically(target, std::vector<std::uint8_t>{4, 5});
    EXPECT_EQ(ReadWholeFile(target), (std::vector<std::uint8_t>{4, 5}));
    EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator()), 1);  // no temporary left

    // A target that cannot be replaced (a directory) keeps what was there.
    fs::create_directories(dir / "taken");
    EXPECT_THROW(WriteFileAtomically((dir / "taken").string(), std::vector<std::uint8_t>{9}), Error);
    EXPECT_TRUE(fs::is_directory(dir / "taken"));
    EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator()), 2);
    EXPECT_THROW(WriteFileAtomically((dir / "no/such/dir/x").string(), std::vector<std::uint8_t>{9}), Error);
    EXPECT_THROW(ReadWholeFile((dir / "missing").string()), Error);
    fs::remove_all(dir);
}

TEST(FileNames, ExtensionsAreCaseSensitive) {
    EXPECT_EQ(ImageKindOf("/a/b/photo.jpg"), ImageKind::Jpeg);
    EXPECT_EQ(ImageKindOf("photo.JPE"), ImageKind::Jpeg);
    EXPECT_EQ(ImageKindOf("photo.jpeg"), ImageKind::Jpeg);
    EXPECT_EQ(ImageKindOf("photo.BMP"), ImageKind::Bmp);
    EXPECT_EQ(ImageKindOf("photo.Jpg"), ImageKind::None);
    EXPECT_EQ(ImageKindOf("photo.Bmp"), ImageKind::None);
    EXPECT_EQ(ImageKindOf("/dir.jpg/photo"), ImageKind::None);
    EXPECT_EQ(ImageKindOf("archive.jpg.zip"), ImageKind::None);
    EXPECT_EQ(FileNameOf("/a/b/photo.jpg"), "photo.jpg");
    EXPECT_EQ(DirectoryOf("/a/b/photo.jpg"), "/a/b");
    EXPECT_EQ(FileExtension("noext"), "");
}

TEST(Parallel, CoversEveryItemOnceAndRethrows) {
    for (int threads : {1, 2, 4}) {
        SetParallelThreads(threads);
        std::vector<std::atomic<int>> hits(1000);
        ParallelFor(1000, 7, [&](int b, int e) {
            for (int i = b; i < e; ++i) ++hits[i];
        });
        for (auto& h : hits) ASSERT_EQ(h.load(), 1);
        EXPECT_THROW(ParallelFor(100, 3,
                                 [](int b, int) {
                                     if (b == 42) throw Error("boom");
                                 }),
                     Error);
    }
    SetParallelThreads(0);
    ParallelFor(0, 1, [](int, int) { FAIL(); });
}

}  // namespace
}  // namespace vantrel
