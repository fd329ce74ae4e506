#include <gtest/gtest.h>

#include <sys/stat.h>

#include <atomic>
#include <cmath>
#include <csignal>
#include <filesystem>

#include <zlib.h>

#include "formats/bmp_codec.h"
#include "formats/image_file.h"
#include "formats/jpeg_codec.h"
#include "metadata/tiff_directory.h"
#include "test_support.h"
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

TEST(FileIo, AnInterruptedWriteLeavesNoTemporaryFile) {
    const fs::path dir = fs::temp_directory_path() / "vantrel-interrupt-test";
    fs::remove_all(dir);
    fs::create_directories(dir);
    for (const int signal : {SIGTERM, SIGINT}) {
        const pid_t child = ::fork();
        if (child == 0) {
            RemoveTemporaryFilesOnInterrupt();
            WriteFileAtomically((dir / "out.bmp").string(), [&](std::FILE* f) {
                std::fputs("half a picture", f);
                std::fflush(f);
                std::raise(signal);  // arrives mid-write
            });
            ::_exit(0);
        }
        int status = 0;
        ::waitpid(child, &status, 0);
        ASSERT_TRUE(WIFEXITED(status));
        EXPECT_EQ(WEXITSTATUS(status), 128 + signal);
        EXPECT_TRUE(fs::is_empty(dir)) << fs::directory_iterator(dir)->path();
    }
    fs::remove_all(dir);
}

TEST(LoadImageFile, HostileFilesAreRefusedWithoutBlockingOrHugeAllocations) {
    const fs::path dir = fs::temp_directory_path() / "vantrel-hostile-test";
    fs::remove_all(dir);
    fs::create_directories(dir / "folder.jpg");
    // Special files under picture names: refused as such, never read.
    ASSERT_EQ(::mkfifo((dir / "pipe.jpg").c_str(), 0600), 0);
    fs::create_symlink("/dev/zero", dir / "zero.bmp");
    for (const char* name : {"folder.jpg", "pipe.jpg", "zero.bmp"}) {
        Bitmap b;
        try {
            LoadImageFile((dir / name).string(), b);
            ADD_FAILURE() << name << " was read";
        } catch (const Error& e) {
            EXPECT_NE(std::string(e.what()).find("is not a regular file"), std::string::npos) << name << ": " << e.what();
        }
        EXPECT_THROW(ReadWholeFile((dir / name).string()), Error) << name;
    }

    // Headers that claim far more than the file holds, and a file cut short.
    auto write = [&](const std::string& name, std::vector<std::uint8_t> bytes) {
        WriteFileAtomically((dir / name).string(), bytes);
        return (dir / name).string();
    };
    std::vector<std::uint8_t> bmp = EncodeBmp(test::Gradient(16, 16));
    bmp.resize(1 << 20);
    for (int i = 0; i < 4; ++i) bmp[18 + i] = bmp[22 + i] = static_cast<std::uint8_t>(16384 >> (8 * i));
    std::vector<std::uint8_t> jpeg = EncodeJpeg(test::Gradient(16, 16), 90);
    for (std::size_t i = 0; i + 9 < jpeg.size(); ++i)
        if (jpeg[i] == 0xFF && jpeg[i + 1] == 0xC0) {
            jpeg[i + 5] = jpeg[i + 7] = 0x3E;  // 16000 x 16000
            jpeg[i + 6] = jpeg[i + 8] = 0x80;
            break;
        }
    std::vector<std::uint8_t> cut = EncodeJpeg(test::Gradient(300, 200), 90);
    cut.resize(cut.size() * 3 / 5);
    // 16000 x 16000 pixels claimed over a 1000-byte strip.
    TiffWriter tiff(false);
    const std::vector<std::uint8_t> strip(1000, 7);
    const std::uint32_t at = tiff.append(strip.data(), strip.size());
    tiff.setFirstDirectory(tiff.directory(
        {tiff.longs(kTagImageWidth, {16000}), tiff.longs(kTagImageLength, {16000}), tiff.shorts(kTagBitsPerSample, {8, 8, 8}),
         tiff.shorts(kTagCompression, {8}), tiff.shorts(kTagPhotometric, {2}), tiff.longs(kTagStripOffsets, {at}),
         tiff.shorts(kTagSamplesPerPixel, {3}), tiff.longs(kTagRowsPerStrip, {16000}), tiff.longs(kTagStripByteCounts, {1000})}));
    // A small PNG whose header says 16000 x 16000 (its checksum mended).
    std::vector<std::uint8_t> png = FormatOf(ImageKind::Png).encode(test::Gradient(16, 16), nullptr, 90, nullptr);
    for (int at : {16, 20}) png[at + 2] = 0x3E, png[at + 3] = 0x80;
    const unsigned long crc = ::crc32(0, png.data() + 12, 17);
    for (int i = 0; i < 4; ++i) png[29 + i] = static_cast<std::uint8_t>(crc >> (24 - 8 * i));
    // A chunk claiming two gigabytes in a file of some hundred bytes.
    std::vector<std::uint8_t> chunk = FormatOf(ImageKind::Png).encode(test::Gradient(16, 16), nullptr, 90, nullptr);
    const std::uint8_t claim[] = {0x77, 0x35, 0x94, 0x00, 'i', 'T', 'X', 't', 'X', 'M', 'L', 0};
    chunk.insert(chunk.begin() + 33, std::begin(claim), std::end(claim));
    const struct {
        std::string path;
        LoadOutcome outcome;
    } claims[] = {{write("claim.png", chunk), LoadOutcome::Incomplete},
                  {write("bomb.bmp", bmp), LoadOutcome::Invalid},
                  {write("bomb.jpg", jpeg), LoadOutcome::Incomplete},
                  {write("cut.jpg", cut), LoadOutcome::Incomplete},
                  {write("bomb.tif", tiff.take()), LoadOutcome::Invalid},
                  {write("bomb.png", png), LoadOutcome::Invalid}};
    for (const auto& c : claims) {
        Bitmap b;
        EXPECT_EQ(LoadImageFile(c.path, b), c.outcome) << c.path;
        EXPECT_TRUE(b.empty());
    }
    EXPECT_NE(LoadFailureMessage(LoadOutcome::Incomplete).find("incomplete"), std::string::npos);

    // A good picture at the start of a huge sparse file loads without the rest being read.
    const std::string sparse = write("sparse.jpg", EncodeJpeg(test::Gradient(64, 48), 90));
    fs::resize_file(sparse, 3ull << 30);
    if (test::kUnderSanitizer) GTEST_SKIP() << "memory limits need a process without a sanitizer";
    for (const auto& c : claims)
        EXPECT_EQ(test::ExitStatusWithMemoryLimit(256, [&] {
                      Bitmap b;
                      return static_cast<int>(LoadImageFile(c.path, b));
                  }),
                  static_cast<int>(c.outcome))
            << c.path;
    EXPECT_EQ(test::ExitStatusWithMemoryLimit(256, [&] {
                  Bitmap b;
                  return LoadImageFile(sparse, b) == LoadOutcome::Loaded && b.width() == 64 ? 0 : 1;
              }),
              0);
    fs::remove_all(dir);
}

TEST(FileNames, PartsOfAPath) {
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
