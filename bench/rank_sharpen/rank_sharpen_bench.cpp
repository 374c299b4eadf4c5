// Whole rank_sharpen runs through the host library on a photo-like RGB
// image, the image in memory before timing: the fast filter with the
// default 25-pixel disc and the full 49-pixel one, and the filter as first
// written (when the tests are built) for the speed-up.
#include <benchmark/benchmark.h>

#include <filesystem>
#include <fstream>
#include <string>

#include <unistd.h>

#include "../photo_like.h"
#include "host.h"
#include "platform.h"

namespace fs = std::filesystem;

namespace {

void Run(benchmark::State& state, const char* modulePath, const char* parameters)
{
    const auto n = static_cast<int32_t>(state.range(0));
    host::Module module(modulePath);
    const fs::path dir =
        fs::temp_directory_path() / ("rank_sharpen_bench_" + std::to_string(::getpid()));
    fs::create_directories(dir);
    {
        host::ScopedFolder desk(kDesktopFolderType, dir);
        host::ScopedFolder prefs(kPreferencesFolderType, dir);
        std::ofstream(dir / "ranksharp.txt", std::ios::binary) << parameters;
        const auto image = PhotoLikeImage(n);
        for (auto _ : state) {
            auto report = host::RunFilter(module, image);
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
    Run(state, PLUGIN_DIR "/rank_sharpen.so", "2.9\r3\r100\r0.005\r");
}
void BM_RankSharpenDisc49(benchmark::State& state)
{
    Run(state, PLUGIN_DIR "/rank_sharpen.so", "4\r3\r100\r0.005\r");
}

}  // namespace

BENCHMARK(BM_RankSharpenDisc25)->Arg(256)->Arg(2048)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RankSharpenDisc49)->Arg(2048)->Unit(benchmark::kMillisecond);

#ifdef LITERAL_PLUGIN
namespace {
void BM_RankSharpenDisc25Literal(benchmark::State& state)
{
    Run(state, LITERAL_PLUGIN, "2.9\r3\r100\r0.005\r");
}
}  // namespace
BENCHMARK(BM_RankSharpenDisc25Literal)->Arg(2048)->Unit(benchmark::kMillisecond);
#endif
