// Throughput of the binary-image filters on one realistic binary image:
// 2048 x 2048, a few thousand features of varied shape (blobs with holes,
// U-shapes, thin diagonal lines, noise specks), generated deterministically.
// Modules that are not built yet are skipped.
#include <benchmark/benchmark.h>

#include <filesystem>
#include <memory>
#include <random>
#include <string>

#include "host.h"
#include "platform.h"

namespace {

constexpr int32_t kSize = 2048;
constexpr int32_t kCell = 32;

struct Painter {
    host::Image& image;
    void Black(int32_t x, int32_t y)
    {
        if (x >= 0 && y >= 0 && x < image.width && y < image.height)
            image.U8(x, y) = 0;
    }
    void White(int32_t x, int32_t y)
    {
        if (x >= 0 && y >= 0 && x < image.width && y < image.height)
            image.U8(x, y) = 255;
    }
};

// One feature per 32 x 32 cell (4096 cells), plus scattered specks.
host::Image MakeFeatureImage()
{
    auto image = host::Image::Make(kSize, kSize, plugInModeGrayScale, 8);
    std::fill(image.pixels.begin(), image.pixels.end(), uint8_t{255});
    Painter paint{image};
    std::mt19937 rng(4096);
    std::uniform_int_distribution<int> kind(0, 4), jitter(0, 5), radius(5, 11),
        specks(0, kSize - 1);
    for (int32_t cy = 0; cy < kSize / kCell; cy++)
        for (int32_t cx = 0; cx < kSize / kCell; cx++) {
            int32_t ox = cx * kCell + jitter(rng), oy = cy * kCell + jitter(rng);
            int32_t r = radius(rng);
            int32_t mx = ox + 13, my = oy + 13;
            switch (kind(rng)) {
            case 0:  // disc with one or two holes
            case 1:
                for (int32_t y = -r; y <= r; y++)
                    for (int32_t x = -r; x <= r; x++)
                        if (x * x + y * y <= r * r)
                            paint.Black(mx + x, my + y);
                for (int32_t y = -2; y <= 2; y++)
                    for (int32_t x = -2; x <= 2; x++) {
                        paint.White(mx - r / 2 + x, my + y);
                        if (r > 8)
                            paint.White(mx + r / 2 + x, my + y - 1);
                    }
                break;
            case 2:  // U-shape, open at the top
                for (int32_t y = 0; y < 2 * r; y++)
                    for (int32_t t = 0; t < 3; t++) {
                        paint.Black(ox + t, oy + y);
                        paint.Black(ox + 2 * r - t, oy + y);
                    }
                for (int32_t x = 0; x <= 2 * r; x++)
                    for (int32_t t = 0; t < 3; t++)
                        paint.Black(ox + x, oy + 2 * r - 1 + t);
                break;
            case 3:  // thin diagonal, either direction
                for (int32_t i = 0; i < 2 * r + 4; i++) {
                    if (r % 2)
                        paint.Black(ox + i, oy + i);
                    else
                        paint.Black(ox + 2 * r + 4 - i, oy + i);
                }
                break;
            default:  // irregular blob: a random walk of 3 x 3 brushes
            {
                int32_t x = mx, y = my;
                std::uniform_int_distribution<int> step(-1, 1);
                for (int32_t i = 0; i < 60; i++) {
                    for (int32_t dy = -1; dy <= 1; dy++)
                        for (int32_t dx = -1; dx <= 1; dx++)
                            paint.Black(x + dx, y + dy);
                    x = std::clamp(x + step(rng), ox + 2, ox + 26);
                    y = std::clamp(y + step(rng), oy + 2, oy + 26);
                }
            }
            }
        }
    for (int i = 0; i < 3000; i++)
        paint.Black(specks(rng), specks(rng));
    return image;
}

const host::Image& FeatureImage()
{
    static host::Image image = MakeFeatureImage();
    return image;
}

std::filesystem::path ModulePath(const std::string& name)
{
    return std::filesystem::path(PLUGIN_DIR) / (name + ".so");
}

void RunModule(benchmark::State& state, const std::string& name)
{
    if (!std::filesystem::exists(ModulePath(name))) {
        state.SkipWithError((name + ".so is not built").c_str());
        return;
    }
    host::Module module(ModulePath(name));
    host::MessageCapture quiet;
    const host::Image& image = FeatureImage();
    int16_t result = 0;
    for (auto _ : state) {
        auto report = host::RunFilter(module, image);
        result = report.result;
        benchmark::DoNotOptimize(report.output.pixels.data());
    }
    state.counters["result"] = result;
    state.counters["pixels/s"] = benchmark::Counter(static_cast<double>(image.width) * image.height,
                                                    benchmark::Counter::kIsIterationInvariantRate);
}

void BM_FillHoles(benchmark::State& state)
{
    RunModule(state, "fill_holes");
}
void BM_LabelBrightness(benchmark::State& state)
{
    RunModule(state, "label_brightness");
}
void BM_TotalPerimeter(benchmark::State& state)
{
    RunModule(state, "total_perimeter");
}

void MarkFirstDarkPixel(const host::Image& image, host::Image& marks, int32_t left, int32_t top)
{
    for (int32_t y = top; y < top + kCell; y++)
        for (int32_t x = left; x < left + kCell; x++)
            if (image.U8(x, y) == 0) {
                marks.U8(x, y) = 0;
                return;
            }
}

// marker_select needs a reference image: a mark on every third feature,
// stored with store_reference into a scratch Preferences folder.
void BM_MarkerSelect(benchmark::State& state)
{
    if (!std::filesystem::exists(ModulePath("marker_select")) ||
        !std::filesystem::exists(ModulePath("store_reference"))) {
        state.SkipWithError("marker_select.so or store_reference.so is not built");
        return;
    }
    std::random_device rd;
    auto dir = std::filesystem::temp_directory_path() / ("binary-bench-" + std::to_string(rd()));
    std::filesystem::create_directories(dir);
    {
        host::ScopedFolder prefs(kPreferencesFolderType, dir);
        host::MessageCapture quiet;
        auto marks = host::Image::Make(kSize, kSize, plugInModeGrayScale, 8);
        std::fill(marks.pixels.begin(), marks.pixels.end(), uint8_t{255});
        const host::Image& image = FeatureImage();
        int32_t cellIndex = 0;
        for (int32_t cy = 0; cy < kSize / kCell; cy++)
            for (int32_t cx = 0; cx < kSize / kCell; cx++, cellIndex++) {
                if (cellIndex % 3 != 0)
                    continue;
                MarkFirstDarkPixel(image, marks, cx * kCell, cy * kCell);
            }
        host::RunFilter(host::Module(ModulePath("store_reference")), marks);
        RunModule(state, "marker_select");
    }
    std::filesystem::remove_all(dir);
}

BENCHMARK(BM_FillHoles)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_LabelBrightness)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_MarkerSelect)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_TotalPerimeter)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
