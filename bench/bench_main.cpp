// Speed of the pixel work that runs on load and on every pointer move.
#include <benchmark/benchmark.h>

#include <cmath>
#include <filesystem>
#include <map>
#include <numbers>
#include <random>

#ifdef VANTREL_HAVE_OPENCV
#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>
#endif

#include "autoalign/auto_align.h"
#include "batch/batch.h"
#include <libraw/libraw.h>

#include "formats/image_file.h"
#include "formats/raw_codec.h"
#include "imaging/depth.h"
#include "formats/jpeg_codec.h"
#include "imaging/luminance.h"
#include "imaging/view_render.h"
#include "align/mapping.h"
#include "lens/distortion.h"
#include "lens/load_correction.h"
#include "lens/target_scan.h"
#include "camera/camera_identity.h"
#include "lensdb/lens_database.h"
#include "save/image_writer.h"
#include "util/cpu.h"
#include "util/file_io.h"
#include "workspace/workspace.h"
#include "util/parallel.h"
#include "../tests/core/dng_file.h"
#include "../tests/core/synthetic_brackets.h"

namespace vantrel {
namespace {

constexpr int kWidth = 6000;
constexpr int kHeight = 4000;

// A photograph-like scene: sky gradient, hills, scattered objects with edges,
// fine texture and sensor noise, so the codec and the resampler see real detail.
const Bitmap& Scene() {
    static const Bitmap scene = [] {
        Bitmap b(kWidth, kHeight);
        std::mt19937 rng(7);
        std::normal_distribution<float> noise(0, 3);
        struct Blob {
            float x, y, r;
            std::uint8_t c[3];
        };
        std::vector<Blob> blobs;
        std::uniform_real_distribution<float> ux(0, kWidth), uy(kHeight * 0.4f, kHeight), ur(20, 300);
        std::uniform_int_distribution<int> uc(20, 235);
        for (int i = 0; i < 60; ++i)
            blobs.push_back({ux(rng), uy(rng), ur(rng),
                             {static_cast<std::uint8_t>(uc(rng)), static_cast<std::uint8_t>(uc(rng)),
                              static_cast<std::uint8_t>(uc(rng))}});
        for (int y = 0; y < kHeight; ++y) {
            std::uint8_t* p = b.row(y);
            for (int x = 0; x < kWidth; ++x, p += 3) {
                const float horizon = kHeight * (0.45f + 0.08f * std::sin(x * 0.0015f) + 0.03f * std::sin(x * 0.011f));
                float c[3];
                if (y < horizon) {
                    const float t = y / horizon;
                    c[0] = 230 - 60 * t, c[1] = 180 - 40 * t, c[2] = 120 - 20 * t;
                } else {
                    const float tex = 20 * std::sin(x * 0.05f) * std::sin(y * 0.07f);
                    c[0] = 50 + tex, c[1] = 110 + tex + 30 * std::sin(y * 0.003f), c[2] = 70 + tex;
                }
                for (const Blob& bl : blobs) {
                    const float dx = x - bl.x, dy = y - bl.y;
                    if (std::fabs(dx) < bl.r && std::fabs(dy) < bl.r && dx * dx + dy * dy < bl.r * bl.r)
                        for (int k = 0; k < 3; ++k) c[k] = bl.c[k] + 0.1f * dx;
                }
                for (int k = 0; k < 3; ++k) p[k] = static_cast<std::uint8_t>(std::clamp(c[k] + noise(rng), 0.f, 255.f));
            }
        }
        return b;
    }();
    return scene;
}

// The widest vector kernels a benchmark may use, from one of its arguments:
// 0 plain, 1 AVX2, 2 AVX-512 (the processor's widest when it has less). The
// label names the level in force.
class KernelLevel {
public:
    KernelLevel(benchmark::State& state, int argument) {
        CapInstructionSet(static_cast<InstructionSet>(state.range(argument)));
        state.SetLabel(InstructionSetName(ActiveInstructionSet()));
    }
    ~KernelLevel() { CapInstructionSet(InstructionSet::Avx512); }
};

void BM_JpegDecode_24MP(benchmark::State& state) {
    const std::vector<std::uint8_t> jpeg = EncodeJpeg(Scene(), 90);
    for (auto _ : state) benchmark::DoNotOptimize(DecodeJpeg(jpeg.data(), jpeg.size()));
    state.counters["MB"] = jpeg.size() / 1e6;
}
BENCHMARK(BM_JpegDecode_24MP)->Unit(benchmark::kMillisecond)->UseRealTime();

// The correction of each image of a bracket, the buffer of one lent to the next.
void BM_ApplySlotLensCorrection_24MP(benchmark::State& state) {
    SetParallelThreads(static_cast<int>(state.range(0)));
    const KernelLevel level(state, 1);
    const TLensCorrection lens{1.01L, 0.005L, -0.03L, 0.01L, 1 - (0.005L - 0.03L + 0.01L)};
    Bitmap image, spare;
    for (auto _ : state) {
        state.PauseTiming();
        image = Scene();
        state.ResumeTiming();
        ApplyLensCorrection(image, lens, 100, [](int) {}, &spare);
    }
    SetParallelThreads(0);
}
BENCHMARK(BM_ApplySlotLensCorrection_24MP)->ArgsProduct({{1, 2}, {0, 1, 2}})->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_RenderSlotView(benchmark::State& state) {
    Bitmap view(281, 281);
    for (auto _ : state) RenderScaledView(Scene(), 40, kWidth / 2, kHeight / 2, 1.1 * kWidth / 281, view);
}
BENCHMARK(BM_RenderSlotView)->Unit(benchmark::kMicrosecond)->UseRealTime();

void BM_ComputeLuminance_24MP(benchmark::State& state) {
    SetParallelThreads(static_cast<int>(state.range(0)));
    const KernelLevel level(state, 1);
    std::int32_t luminance = 0;
    Histogram256 histogram{};
    for (auto _ : state) ComputeLuminance(Scene(), luminance, histogram);
    SetParallelThreads(0);
}
BENCHMARK(BM_ComputeLuminance_24MP)->ArgsProduct({{1, 2}, {0, 1, 2}})->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_MeanLightness_24MP(benchmark::State& state) {
    SetParallelThreads(static_cast<int>(state.range(0)));
    const KernelLevel level(state, 1);
    for (auto _ : state) benchmark::DoNotOptimize(MeanLightness(Scene()));
    SetParallelThreads(0);
}
BENCHMARK(BM_MeanLightness_24MP)->ArgsProduct({{1, 2}, {0, 1, 2}})->Unit(benchmark::kMillisecond)->UseRealTime();

// Three 24 MP slots aligned with small rotations and scales, master slot 1.
Workspace& Aligned(double fovDegrees) {
    static Workspace ws;
    static bool filled = false;
    if (!filled) {
        for (int n = 1; n <= kSlotCount; ++n) ws.placeImage(n, Scene(), "scene.jpg");
        filled = true;
    }
    ws.setFOVDegrees(0);
    for (int n = 1; n <= kSlotCount; ++n)
        ws.setControlPoints(n, 600 + 7 * n, 2000 - 5 * n, 5400 - 11 * n, 2000 + 90 * (n - 1));
    ws.setFOVDegrees(fovDegrees);
    ws.SelectMaster(1);
    ws.Recalculate(true);
    return ws;
}

void RenderPreviewBench(benchmark::State& state, double fovDegrees) {
    SetParallelThreads(2);
    const KernelLevel level(state, 0);
    Workspace& ws = Aligned(fovDegrees);
    Bitmap output(444, 301);
    for (auto _ : state) RenderPreview(ws.sources(), ws.masterGeometry(), ws.outputView(), nullptr, output, nullptr);
    SetParallelThreads(0);
}
void BM_RenderPreview_Spherical3(benchmark::State& state) { RenderPreviewBench(state, 60); }
void BM_RenderPreview_Planar3(benchmark::State& state) { RenderPreviewBench(state, 0); }
BENCHMARK(BM_RenderPreview_Spherical3)->DenseRange(0, 2)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_RenderPreview_Planar3)->DenseRange(0, 2)->Unit(benchmark::kMillisecond)->UseRealTime();

// One non-master image turned by 1.5 degrees and scaled by 1.02 (planar);
// with a field of view, the same pair on the sphere.
// The scene at 16 bits, its low bytes filled by a fine noise.
const Bitmap& Scene16() {
    static const Bitmap scene = [] {
        Bitmap b = ConvertDepth(Scene(), SampleDepth::U16);
        std::uint32_t state = 3;
        for (int y = 0; y < b.height(); ++y)
            for (int i = 0; i < 3 * b.width(); ++i)
                b.rowAs<std::uint16_t>(y)[i] ^= static_cast<std::uint16_t>((state = state * 1664525u + 1013904223u) >> 25);
        return b;
    }();
    return scene;
}

void WarpBench(benchmark::State& state, double fovDegrees, SampleDepth depth = SampleDepth::U8) {
    SetParallelThreads(2);
    const KernelLevel level(state, 0);
    Workspace& ws = Aligned(fovDegrees);
    TSlotAlignment alignment = ws.slot(2);
    alignment.Rotation = 1.5 * std::numbers::pi / 180;
    alignment.Scale = 1.02;
    const Bitmap* deep = depth == SampleDepth::U16 ? &Scene16() : nullptr;
    const AlignedSource source{&ws.slot(2).Bitmap, &alignment, 100, 0, nullptr, deep};
    Bitmap out = Bitmap::Uninitialized(kWidth, kHeight, depth);
    for (auto _ : state) WarpFullSize(source, false, ws.masterGeometry(), Borders{}, out);
    SetParallelThreads(0);
}
void BM_WarpFullSize_Planar_24MP(benchmark::State& state) { WarpBench(state, 0); }
// The same at 16 bits, against the 8-bit run at the widest kernels.
void BM_WarpFullSize_Planar_24MP_16bit(benchmark::State& state) { WarpBench(state, 0, SampleDepth::U16); }
BENCHMARK(BM_WarpFullSize_Planar_24MP_16bit)->Arg(2)->Unit(benchmark::kMillisecond)->UseRealTime();
void BM_WarpFullSize_Spherical_24MP(benchmark::State& state) { WarpBench(state, 60); }
BENCHMARK(BM_WarpFullSize_Planar_24MP)->DenseRange(0, 2)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_WarpFullSize_Spherical_24MP)->DenseRange(0, 2)->Unit(benchmark::kMillisecond)->UseRealTime();

// The lens window's model on the 24 MP scene: mild barrel distortion.
LensModel SceneLens() {
    LensModel m;
    m.CoeffA = 0.005L;
    m.CoeffB = -0.03L;
    m.CoeffC = 0.01L;
    m.OverallScale = 1.01L;
    m.UpdateCoeffD();
    m.MeasureImage(Scene());
    return m;
}

void BM_RenderLensPreview(benchmark::State& state) {
    SetParallelThreads(2);
    const KernelLevel level(state, 0);
    const LensModel m = SceneLens();
    Bitmap view(635, 635), plain;
    const LensView fit{kWidth / 2, kHeight / 2, 1.1 * kWidth / 635, true};
    for (auto _ : state) RenderLensPreview(m, Scene(), fit, view, plain);
    SetParallelThreads(0);
}
BENCHMARK(BM_RenderLensPreview)->DenseRange(0, 2)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_CorrectFullImage_24MP(benchmark::State& state) {
    SetParallelThreads(2);
    const KernelLevel level(state, 0);
    const LensModel m = SceneLens();
    Bitmap out(kWidth, kHeight);
    for (auto _ : state) CorrectFullImage(m, Scene(), out);
    SetParallelThreads(0);
}
BENCHMARK(BM_CorrectFullImage_24MP)->DenseRange(0, 2)->Unit(benchmark::kMillisecond)->UseRealTime();

// A 12 MP photograph of the target: the pattern, slightly dimmed and noisy.
void BM_ScanCalibrationPhoto_12MP(benchmark::State& state) {
    SetParallelThreads(2);
    Bitmap photo(4000, 3000);
    DrawTargetPattern(photo);
    std::mt19937 rng(5);
    for (int y = 0; y < photo.height(); ++y) {
        std::uint8_t* p = photo.row(y);
        for (int i = 0; i < photo.width() * 3; ++i) p[i] = static_cast<std::uint8_t>(p[i] * 0.8 + rng() % 40);
    }
    for (auto _ : state) {
        state.PauseTiming();
        Bitmap work = photo;
        state.ResumeTiming();
        benchmark::DoNotOptimize(ScanCalibrationPhoto(work, ScanParameters{}));
    }
    SetParallelThreads(0);
}
BENCHMARK(BM_ScanCalibrationPhoto_12MP)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_JpegEncode_24MP_Q90(benchmark::State& state) {
    const Bitmap& scene = Scene();
    for (auto _ : state) benchmark::DoNotOptimize(EncodeJpeg(scene, 90));
}
BENCHMARK(BM_JpegEncode_24MP_Q90)->Unit(benchmark::kMillisecond)->UseRealTime();

// Save All of three 24 MP slots from JPEG sources with EXIF, planar, quality 90.
// Three 24 MP slots written in `format` with a camera source's metadata.
void SaveAll(benchmark::State& state, ImageKind format, SampleDepth depth = SampleDepth::U8) {
    SetParallelThreads(2);
    Workspace& ws = Aligned(0);
    const std::filesystem::path dir = std::filesystem::temp_directory_path() / "vantrel-bench-save";
    std::filesystem::create_directories(dir);
    // A small camera-like source: SOI, APP1 Exif with pixel dimensions, then a tiny image.
    const std::string source = (dir / "source.jpg").string();
    {
        std::vector<std::uint8_t> file = {0xFF, 0xD8, 0xFF, 0xE1, 0x00, 0x2E, 'E', 'x', 'i', 'f', 0, 0,
                                          'I', 'I', 42, 0, 8, 0, 0, 0,   // TIFF header, IFD0 at 8
                                          2, 0,                           // two entries
                                          0x02, 0xA0, 4, 0, 1, 0, 0, 0, 0x70, 0x17, 0, 0,  // PixelXDimension 6000
                                          0x03, 0xA0, 4, 0, 1, 0, 0, 0, 0xA0, 0x0F, 0, 0,  // PixelYDimension 4000
                                          0, 0, 0, 0};
        const auto tiny = EncodeJpeg(Bitmap(8, 8), 90);
        file.insert(file.end(), tiny.begin() + 2, tiny.end());
        WriteFileAtomically(source, file);
    }
    std::array<TSlotAlignment, kSlotCount> alignments;
    const double rotations[] = {0, 1.5, -1.0}, scales[] = {1, 1.02, 0.99};
    for (int n = 0; n < kSlotCount; ++n) {
        alignments[n] = ws.slot(n + 1);
        alignments[n].Rotation = rotations[n] * std::numbers::pi / 180;
        alignments[n].Scale = scales[n];
    }
    Bitmap frame;
    SourceMetadata metadata;
    const std::string extension = FormatOf(format).outputExtension;
    for (auto _ : state)
        for (int n = 1; n <= kSlotCount; ++n) {
            metadata.read(source);
            const Bitmap* deep = depth == SampleDepth::U16 ? &Scene16() : nullptr;
            WriteAlignedImage({&ws.slot(n).Bitmap, &alignments[n - 1], 100, 0, nullptr, deep}, n == 1, ws.masterGeometry(),
                              {format, 90, Borders{}}, (dir / ("out" + std::to_string(n) + extension)).string(), frame,
                              &metadata);
        }
    std::filesystem::remove_all(dir);
    SetParallelThreads(0);
}
void BM_SaveAll_3x24MP(benchmark::State& state) { SaveAll(state, ImageKind::Jpeg); }
void BM_SaveAll_3x24MP_Tiff(benchmark::State& state) { SaveAll(state, ImageKind::Tiff); }
BENCHMARK(BM_SaveAll_3x24MP)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_SaveAll_3x24MP_Tiff)->Unit(benchmark::kMillisecond)->UseRealTime();
void BM_SaveAll_3x24MP_Tiff16(benchmark::State& state) { SaveAll(state, ImageKind::Tiff, SampleDepth::U16); }
BENCHMARK(BM_SaveAll_3x24MP_Tiff16)->Unit(benchmark::kMillisecond)->UseRealTime();

// A 24 MP DNG of the scene, made once.
const std::vector<std::uint8_t>& Dng24MP() {
    static const std::vector<std::uint8_t> dng = test::MakeDng(kWidth, kHeight, [](int x, int y) {
        const std::uint8_t* p = Scene().row(y) + 3 * x;
        return std::array<double, 3>{p[2] / 64.0, p[1] / 64.0, p[0] / 64.0};
    }, {1.0 / 4});
    return dng;
}

// Developing a 24 MP raw file, and LibRaw's own processing of it at the
// same settings: the peer it should cost no more than.
void BM_RawDevelop_24MP(benchmark::State& state) {
    const std::vector<std::uint8_t>& dng = Dng24MP();
    for (auto _ : state) benchmark::DoNotOptimize(DecodeRaw(dng.data(), dng.size(), RawDevelopment::Linear));
}
BENCHMARK(BM_RawDevelop_24MP)->Unit(benchmark::kMillisecond)->UseRealTime();
void BM_LibRawProcess_24MP(benchmark::State& state) {
    const std::vector<std::uint8_t>& dng = Dng24MP();
    for (auto _ : state) {
        auto raw = std::make_unique<LibRaw>(LIBRAW_OPTIONS_NONE);
        raw->imgdata.params.output_bps = 16;
        raw->imgdata.params.use_camera_wb = 1;
        raw->imgdata.params.no_auto_bright = 1;
        raw->imgdata.params.user_qual = 3;
        raw->imgdata.params.gamm[0] = raw->imgdata.params.gamm[1] = 1;
        raw->open_buffer(const_cast<std::uint8_t*>(dng.data()), dng.size());
        raw->unpack();
        raw->dcraw_process();
        int error = 0;
        libraw_processed_image_t* image = raw->dcraw_make_mem_image(&error);
        benchmark::DoNotOptimize(image);
        LibRaw::dcraw_clear_mem(image);
    }
}
BENCHMARK(BM_LibRawProcess_24MP)->Unit(benchmark::kMillisecond)->UseRealTime();

// Three 24 MP exposures (x1, x0.45, x2.2) of a real photograph, the second
// and third turned, scaled and shifted as a hand-held bracket is; Auto Align
// of both to the first, from decoded bitmaps.
void BM_AutoAlign_3x24MP(benchmark::State& state) {
    SetParallelThreads(2);
    static Workspace ws;
    static bool made = false;
    if (!made) {
        Bitmap photo;
        const std::string path = std::string(VANTREL_TESTDATA_DIR) + "/camera-jpeg/exif-samples/tests/42_IndexError.jpg";
        if (!std::filesystem::exists(path) || LoadImageFile(path, photo) != LoadOutcome::Loaded) photo = Scene();
        const double toPhoto = std::min(photo.width() / 6000.0, photo.height() / 4000.0) * 0.99;
        auto master = [&](test::Point p) { return test::Point{p.x * toPhoto, p.y * toPhoto}; };
        const test::Motion moves[] = {test::SimilarityAbout(kWidth, kHeight, 0, 1, 0, 0),
                                      test::SimilarityAbout(kWidth, kHeight, 1.5, 1.01, 120, -70),
                                      test::SimilarityAbout(kWidth, kHeight, -2.2, 0.99, -90, 110)};
        const double gains[] = {1, 0.45, 2.2};
        for (int n = 1; n <= kSlotCount; ++n)
            ws.placeImage(n,
                          test::Exposure(photo, kWidth, kHeight,
                                         [&](test::Point q) { return master(test::Unmap(moves[n - 1], q)); },
                                         gains[n - 1], 1.5, static_cast<unsigned>(n)),
                          "bracket.jpg");
        ws.SelectMaster(1);
        made = true;
    }
    for (auto _ : state) {
        state.PauseTiming();
        for (int n = 1; n <= kSlotCount; ++n) ws.setControlPoints(n, 600, 2000, 5400, 2000);
        state.ResumeTiming();
        const AutoAlignReport report = AutoAlign(ws);
        if (!report.allAligned()) state.SkipWithError(report.problems().c_str());
    }
    SetParallelThreads(0);
}
BENCHMARK(BM_AutoAlign_3x24MP)->Unit(benchmark::kMillisecond)->UseRealTime();

#ifdef VANTREL_HAVE_OPENCV
// The peer: OpenCV's affine warp of the same picture, same rotation and scale, 2 threads.
void BM_OpenCV_WarpAffine_24MP(benchmark::State& state) {
    cv::setNumThreads(2);
    const Bitmap& scene = Scene();
    const cv::Mat src(kHeight, kWidth, CV_8UC3, const_cast<std::uint8_t*>(scene.bits()), scene.stride());
    const cv::Mat m = cv::getRotationMatrix2D(cv::Point2f(600, 2000), 1.5, 1.02);
    cv::Mat dst(kHeight, kWidth, CV_8UC3);
    for (auto _ : state) cv::warpAffine(src, dst, m, dst.size(), cv::INTER_LINEAR, cv::BORDER_CONSTANT, cv::Scalar(100, 100, 100));
}
BENCHMARK(BM_OpenCV_WarpAffine_24MP)->Unit(benchmark::kMillisecond)->UseRealTime();
#endif

// The lens database: loading lensfun's files, reading a camera JPEG's
// camera and lens (its makers' note through exiv2) and one lookup. The
// program loads the database once per run.
void BM_LensDbLookup(benchmark::State& state) {
    const std::string photo = std::string(VANTREL_TESTDATA_DIR) + "/camera-jpeg/exif-samples/tests/42_IndexError.jpg";
    for (auto _ : state) {
        const LensDatabase database;
        const LensLookup found = database.lookup(LensTagsOf(photo), 1488, 2240);
        if (!found.match) state.SkipWithError(found.problem.c_str());
        benchmark::DoNotOptimize(found.match);
    }
}
BENCHMARK(BM_LensDbLookup)->Unit(benchmark::kMillisecond)->UseRealTime();

// A shoot of 12 bracket sets of three 12 MP JPEGs (x1, x0.45, x2.2, each
// turned a little), made once and kept in the temporary folder.
const std::vector<BracketSet>& Shoot() {
    static const std::vector<BracketSet> sets = [] {
        const std::filesystem::path dir = std::filesystem::temp_directory_path() / "vantrel-bench-shoot";
        std::filesystem::create_directories(dir);
        Bitmap photo;
        const std::string path = std::string(VANTREL_TESTDATA_DIR) + "/camera-jpeg/exif-samples/tests/42_IndexError.jpg";
        if (!std::filesystem::exists(path) || LoadImageFile(path, photo) != LoadOutcome::Loaded) photo = Scene();
        std::vector<BracketSet> all;
        for (int k = 0; k < 12; ++k) {
            BracketSet set;
            set.name = "set" + std::to_string(k);
            for (int n = 0; n < kSlotCount; ++n) {
                const std::string file = (dir / (set.name + "_" + std::to_string(n) + ".jpg")).string();
                set.files.push_back(file);
                if (std::filesystem::exists(file)) continue;
                const test::Motion move = test::SimilarityAbout(4000, 3000, n == 0 ? 0 : 0.7 * n - 1.1, 1 + 0.004 * n, 20.0 * n - k, 15.0 - 9 * n);
                const double gains[] = {1, 0.45, 2.2}, toPhoto = std::min(photo.width() / 4000.0, photo.height() / 3000.0) * 0.98;
                const Bitmap shot = test::Exposure(photo, 4000, 3000, [&](test::Point q) {
                    const test::Point p = test::Unmap(move, q);
                    return test::Point{p.x * toPhoto, p.y * toPhoto};
                }, gains[n], 1.5, static_cast<unsigned>(k * 3 + n));
                WriteFileAtomically(file, EncodeJpeg(shot, 92));
            }
            all.push_back(set);
        }
        return all;
    }();
    return sets;
}

// The batch over that shoot: argument 2, two sets side by side, each on one
// thread; argument 1, one set at a time on both cores.
void BM_Batch_12x3x12MP(benchmark::State& state) {
    const std::vector<BracketSet>& sets = Shoot();
    BatchOptions options;
    options.outputDir = (std::filesystem::temp_directory_path() / "vantrel-bench-batch").string();
    options.overwrite = true;
    options.jobs = static_cast<int>(state.range(0));
    options.save = {ImageKind::Jpeg, 90, Borders{}};
    SetParallelThreads(2);
    int unaligned = 0;
    for (auto _ : state)
        RunBatch(sets, options, [&](const SetResult& r, int) { unaligned += r.status != SetResult::Status::Aligned; });
    if (unaligned) state.SkipWithError("a set was not aligned");
    state.counters["sets_per_minute"] =
        benchmark::Counter(60.0 * static_cast<double>(sets.size()) * static_cast<double>(state.iterations()),
                           benchmark::Counter::kIsRate);
    std::filesystem::remove_all(options.outputDir);
    SetParallelThreads(0);
}
BENCHMARK(BM_Batch_12x3x12MP)->Arg(1)->Arg(2)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

// 24 MP exposures of a real photograph as JPEG files, made once: three
// (x1, x0.45, x2.2), or a longer bracket of 1 EV steps about the first.
const std::vector<std::string>& CommandFiles(int count = kSlotCount) {
    static std::map<int, std::vector<std::string>> made;
    if (const auto known = made.find(count); known != made.end()) return known->second;
    const std::filesystem::path dir =
        std::filesystem::temp_directory_path() / ("vantrel-bench-command" + (count == kSlotCount ? "" : "-" + std::to_string(count)));
    std::filesystem::create_directories(dir);
    std::vector<std::string> paths(static_cast<std::size_t>(count));
    Bitmap photo;
    const std::string path = std::string(VANTREL_TESTDATA_DIR) + "/camera-jpeg/exif-samples/tests/42_IndexError.jpg";
    if (!std::filesystem::exists(path) || LoadImageFile(path, photo) != LoadOutcome::Loaded) photo = Scene();
    const double toPhoto = std::min(photo.width() / 6000.0, photo.height() / 4000.0) * 0.99;
    for (int n = 0; n < count; ++n) {
        paths[n] = (dir / ("shot" + std::to_string(n) + ".jpg")).string();
        if (std::filesystem::exists(paths[n])) continue;
        const double gain = count == kSlotCount ? std::array{1.0, 0.45, 2.2}[n] : std::exp2(n - count / 2);
        const test::Motion move = test::SimilarityAbout(kWidth, kHeight, 0.8 * (n % 3), 1 + 0.005 * (n % 3),
                                                        30.0 * (n % 4), -20.0 * (n % 3));
        const Bitmap shot = test::Exposure(photo, kWidth, kHeight, [&](test::Point q) {
            const test::Point p = test::Unmap(move, q);
            return test::Point{p.x * toPhoto, p.y * toPhoto};
        }, gain, 1.5, static_cast<unsigned>(n + 1));
        WriteFileAtomically(paths[n], EncodeJpeg(shot, 95));
    }
    return made[count] = paths;
}

// What vantrel-align does with the files and their control points (or with
// --auto), in process: read (the next decoding while one is measured),
// align, warp and write at quality 90 (one encoding while the next warps),
// on 2 threads.
void AlignCommand(benchmark::State& state, int count, bool autoAlign) {
    const auto& files = CommandFiles(count);
    const std::filesystem::path out = std::filesystem::temp_directory_path() / "vantrel-bench-command-out";
    std::filesystem::create_directories(out);
    std::vector<std::string> outputs(files.size());
    for (int n = 0; n < count; ++n) outputs[n] = (out / ("shot" + std::to_string(n) + ".jpg")).string();
    SetParallelThreads(2);
    for (auto _ : state) {
        Workspace ws;
        ws.setSlotCount(count);
        {
            const Workspace::LoadBatch batch(ws);
            ImagePrefetch prefetch(files, false);
            for (int n = 1; n <= count; ++n) ws.loadSlot(n, files[n - 1], prefetch.take());
        }
        for (int n = 1; n <= count; ++n) ws.setControlPoints(n, 600 + 20 * n, 2000 - 15 * n, 5400 - 10 * n, 2000 + 70 * n);
        ws.SelectMaster(ws.masterByLuminance());
        if (autoAlign && !AutoAlign(ws).noneLeftUnaligned()) state.SkipWithError("Auto Align did not align the shots");
        ws.Recalculate(true);
        WriteSlotsReleasing(ws, std::vector<bool>(files.size(), true), outputs, {ImageKind::Jpeg, 90, Borders{}});
    }
    std::filesystem::remove_all(out);
    SetParallelThreads(0);
}
void BM_AlignCommand_3x24MP(benchmark::State& state) { AlignCommand(state, 3, false); }
void BM_AlignCommand_3x24MP_Auto(benchmark::State& state) { AlignCommand(state, 3, true); }
void BM_AlignCommand_7x24MP(benchmark::State& state) { AlignCommand(state, 7, true); }
BENCHMARK(BM_AlignCommand_3x24MP)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_AlignCommand_3x24MP_Auto)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_AlignCommand_7x24MP)->Unit(benchmark::kMillisecond)->UseRealTime();

// The reference: each file decoded and encoded again at quality 90, one
// after another, as the codec library's own tools do it.
void BM_CodecsSerial_3x24MP(benchmark::State& state) {
    const auto& files = CommandFiles();
    const std::string out = (std::filesystem::temp_directory_path() / "vantrel-bench-codec.jpg").string();
    for (auto _ : state)
        for (const std::string& file : files) WriteFileAtomically(out, EncodeJpeg(DecodeJpegFile(InputFile(file)), 90));
    std::filesystem::remove(out);
}
BENCHMARK(BM_CodecsSerial_3x24MP)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
}  // namespace vantrel


BENCHMARK_MAIN();
