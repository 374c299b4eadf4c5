// Throughput of the binary-image filters on the benchmark image (see
// feature_image.h): time, pixels per second, and the speed-up over the same
// filter run by the literal scheme (the test modules literal_*.so, timed
// once when they are built). Modules that are not built are skipped.
#include <benchmark/benchmark.h>

#include <chrono>
#include <filesystem>
#include <optional>
#include <random>
#include <string>

#include "feature_image.h"
#include "platform.h"

namespace {

namespace fs = std::filesystem;

fs::path ModulePath(const std::string& name)
{
    return fs::path(PLUGIN_DIR) / (name + ".so");
}

fs::path LiteralPath(const std::string& name)
{
    return fs::path(TEST_PLUGIN_DIR) / ("literal_" + name + ".so");
}

double Seconds(const host::Module& module, const host::Image& image)
{
    auto start = std::chrono::steady_clock::now();
    host::RunFilter(module, image);
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

void RunModule(benchmark::State& state, const std::string& name)
{
    if (!fs::exists(ModulePath(name))) {
        state.SkipWithError((name + ".so is not built").c_str());
        return;
    }
    host::Module module(ModulePath(name));
    host::MessageCapture quiet;
    const host::Image& image = binary_bench::FeatureImage();
    int16_t result = 0;
    double total = 0.0;
    for (auto _ : state) {
        auto start = std::chrono::steady_clock::now();
        auto report = host::RunFilter(module, image);
        total += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        result = report.result;
        benchmark::DoNotOptimize(report.output.pixels.data());
    }
    state.counters["result"] = result;
    state.counters["pixels/s"] = benchmark::Counter(static_cast<double>(image.width) * image.height,
                                                    benchmark::Counter::kIsIterationInvariantRate);
    if (fs::exists(LiteralPath(name)) && state.iterations() > 0) {
        host::Module literal(LiteralPath(name));
        double mean = total / static_cast<double>(state.iterations());
        state.counters["x_literal"] = Seconds(literal, image) / mean;
    }
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

// marker_select needs a reference image: the grid marks, stored with
// store_reference into a scratch Preferences folder.
void BM_MarkerSelect(benchmark::State& state)
{
    if (!fs::exists(ModulePath("marker_select")) || !fs::exists(ModulePath("store_reference"))) {
        state.SkipWithError("marker_select.so or store_reference.so is not built");
        return;
    }
    std::random_device rd;
    auto dir = fs::temp_directory_path() / ("binary-bench-" + std::to_string(rd()));
    fs::create_directories(dir);
    {
        host::ScopedFolder prefs(kPreferencesFolderType, dir);
        host::MessageCapture quiet;
        host::RunFilter(host::Module(ModulePath("store_reference")), binary_bench::MakeGridMarks());
        RunModule(state, "marker_select");
    }
    fs::remove_all(dir);
}

BENCHMARK(BM_FillHoles)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_LabelBrightness)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_MarkerSelect)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_TotalPerimeter)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
