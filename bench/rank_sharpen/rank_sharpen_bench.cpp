// Timing of whole rank_sharpen runs through the host library on square RGB
// images, with the default 25-pixel disc and with the full 49-pixel one.
#include <benchmark/benchmark.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <string>

#include <unistd.h>

#include "host.h"
#include "platform.h"

namespace fs = std::filesystem;

namespace {

host::Module& RankSharpenModule()
{
    static host::Module module(PLUGIN_DIR "/rank_sharpen.so");
    return module;
}

host::Image RandomImage(int32_t n)
{
    auto image = host::Image::Make(n, n, plugInModeRGBColor, 8);
    std::mt19937 rng(1);
    for (auto& byte : image.pixels)
        byte = static_cast<uint8_t>(rng());
    return image;
}

void RunWithRadius(benchmark::State& state, const char* parameters)
{
    const auto n = static_cast<int32_t>(state.range(0));
    const fs::path dir =
        fs::temp_directory_path() / ("rank_sharpen_bench_" + std::to_string(::getpid()));
    fs::create_directories(dir);
    {
        host::ScopedFolder desk(kDesktopFolderType, dir);
        host::ScopedFolder prefs(kPreferencesFolderType, dir);
        std::ofstream(dir / "ranksharp.txt", std::ios::binary) << parameters;
        const auto image = RandomImage(n);
        for (auto _ : state) {
            auto report = host::RunFilter(RankSharpenModule(), image);
            if (report.result != 0)
                state.SkipWithError("the run failed");
            benchmark::DoNotOptimize(report.output.pixels.data());
        }
        state.SetItemsProcessed(state.iterations() * int64_t{n} * n);
    }
    fs::remove_all(dir);
}

void BM_RankSharpenDisc25(benchmark::State& state)
{
    RunWithRadius(state, "2.9\r3\r100\r0.005\r");
}
void BM_RankSharpenDisc49(benchmark::State& state)
{
    RunWithRadius(state, "4\r3\r100\r0.005\r");
}

}  // namespace

BENCHMARK(BM_RankSharpenDisc25)->Arg(256)->Arg(1024)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RankSharpenDisc49)->Arg(256)->Arg(1024)->Unit(benchmark::kMillisecond);
