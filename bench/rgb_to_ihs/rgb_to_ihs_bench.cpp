// Whole rgb_to_ihs runs through the host library on a 4096 × 4096
// photo-like RGB image, the image in memory before timing, and the filter
// as first written (when the tests are built) for the speed-up.
#include <benchmark/benchmark.h>

#include "../photo_like.h"
#include "host.h"

namespace {

const host::Image& Photo()
{
    static const host::Image image = PhotoLikeImage(4096);
    return image;
}

void Run(benchmark::State& state, const char* modulePath)
{
    host::Module module(modulePath);
    const host::Image& image = Photo();  // made before the clock starts
    for (auto _ : state) {
        auto report = host::RunFilter(module, image);
        if (report.result != 0)
            state.SkipWithError("the run failed");
        benchmark::DoNotOptimize(report.output.pixels.data());
    }
    state.SetItemsProcessed(state.iterations() * int64_t{4096} * 4096);
}

void BM_RgbToIhs(benchmark::State& state)
{
    Run(state, PLUGIN_DIR "/rgb_to_ihs.so");
}

}  // namespace

BENCHMARK(BM_RgbToIhs)->Unit(benchmark::kMillisecond);

#ifdef LITERAL_PLUGIN
namespace {
void BM_RgbToIhsLiteral(benchmark::State& state)
{
    Run(state, LITERAL_PLUGIN);
}
}  // namespace
BENCHMARK(BM_RgbToIhsLiteral)->Unit(benchmark::kMillisecond);
#endif
