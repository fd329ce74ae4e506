#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <filesystem>

#include "imaging/image_file.h"
#include "util/error.h"
#include "util/file_io.h"
#include "util/parallel.h"
#include "util/vector_math.h"

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

TEST(VectorMath, CloseToTheScalarFunctionsAndIndependentOfPlace) {
    // Angles and quadrants as the spherical mapping meets them, a count that
    // leaves a tail after whole vectors, and the edge values of atan2.
    std::vector<double> y, x, a;
    for (int i = 0; i < 203; ++i) {
        const double t = (i - 101) * 0.0311;
        y.push_back(std::sin(t) * (1 + i % 3));
        x.push_back(std::cos(t * 1.7) * (1 + i % 5));
        a.push_back(t * 1.08);
    }
    for (double v : {0.0, -0.0, 1e-300, 1.0}) y.push_back(v), x.push_back(0.0), a.push_back(v);
    const int n = static_cast<int>(y.size());
    std::vector<double> angle(n), sines(n), cosines(n);
    VectorAtan2(y.data(), x.data(), angle.data(), n);
    VectorSinCos(a.data(), sines.data(), cosines.data(), n);
    for (int i = 0; i < n; ++i) {
        EXPECT_NEAR(angle[i], std::atan2(y[i], x[i]), 1e-15 * std::max(1.0, std::abs(angle[i]))) << i;
        EXPECT_NEAR(sines[i], std::sin(a[i]), 1e-15) << i;
        EXPECT_NEAR(cosines[i], std::cos(a[i]), 1e-15) << i;
    }
    // The same element alone (a tail of one) gives the same bits.
    for (int i : {0, 100, n - 1}) {
        double one, s, c;
        VectorAtan2(&y[i], &x[i], &one, 1);
        VectorSinCos(&a[i], &s, &c, 1);
        EXPECT_EQ(one, angle[i]) << i;
        EXPECT_EQ(s, sines[i]) << i;
        EXPECT_EQ(c, cosines[i]) << i;
    }
}

}  // namespace
}  // namespace vantrel
