// Speed of the pixel work that runs on load and on every pointer move.
#include <benchmark/benchmark.h>

#include <cmath>
#include <random>

#include "imaging/jpeg_codec.h"
#include "imaging/luminance.h"
#include "imaging/view_render.h"
#include "lens/load_correction.h"
#include "util/parallel.h"

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

void BM_JpegDecode_24MP(benchmark::State& state) {
    const std::vector<std::uint8_t> jpeg = EncodeJpeg(Scene(), 90);
    for (auto _ : state) benchmark::DoNotOptimize(DecodeJpeg(jpeg.data(), jpeg.size()));
    state.counters["MB"] = jpeg.size() / 1e6;
}
BENCHMARK(BM_JpegDecode_24MP)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_ApplySlotLensCorrection_24MP(benchmark::State& state) {
    SetParallelThreads(static_cast<int>(state.range(0)));
    TImageSlot slot;
    for (auto _ : state) {
        state.PauseTiming();
        slot.Bitmap = Scene();
        slot.LensScale = 1.01L;
        slot.LensA = 0.005L;
        slot.LensB = -0.03L;
        slot.LensC = 0.01L;
        slot.LensD = 1 - (slot.LensA + slot.LensB + slot.LensC);
        slot.Luminance = 100;
        state.ResumeTiming();
        ApplySlotLensCorrection(slot, [](int) {});
    }
    SetParallelThreads(0);
}
BENCHMARK(BM_ApplySlotLensCorrection_24MP)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_RenderSlotView(benchmark::State& state) {
    TImageSlot slot;
    slot.Bitmap = Scene();
    slot.ViewBitmap.resize(281, 281);
    slot.ViewCenterX = kWidth / 2;
    slot.ViewCenterY = kHeight / 2;
    slot.Zoom = 1.1 * kWidth / 281;
    slot.Brightness = 40;
    for (auto _ : state) RenderSlotView(slot, slot.ViewBitmap, nullptr);
}
BENCHMARK(BM_RenderSlotView)->Unit(benchmark::kMicrosecond)->UseRealTime();

void BM_ComputeLuminance_24MP(benchmark::State& state) {
    SetParallelThreads(static_cast<int>(state.range(0)));
    std::int32_t luminance = 0;
    Histogram256 histogram{};
    for (auto _ : state) ComputeLuminance(Scene(), luminance, histogram);
    SetParallelThreads(0);
}
BENCHMARK(BM_ComputeLuminance_24MP)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
}  // namespace vantrel

BENCHMARK_MAIN();
