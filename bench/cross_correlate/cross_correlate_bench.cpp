// Timing of the cross_correlate filter through the host library (whole runs
// at N = 256, 1024 and 4096, the last measured once) and of its FFT engine
// alone on one line.
#include <benchmark/benchmark.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include <unistd.h>

#include "filters/cross_correlate/fft.h"
#include "host.h"
#include "platform.h"

namespace fs = std::filesystem;

namespace {

host::Module& CrossCorrelateModule()
{
    static host::Module module(PLUGIN_DIR "/cross_correlate.so");
    return module;
}

host::Image RandomImage(int32_t n, uint32_t seed)
{
    auto image = host::Image::Make(n, n, plugInModeRGBColor, 8);
    std::mt19937 rng(seed);
    for (auto& byte : image.pixels)
        byte = static_cast<uint8_t>(rng());
    return image;
}

void WriteReference(const fs::path& dir, const host::Image& image)
{
    std::ofstream out(dir / "Reference Image.xzy", std::ios::binary);
    const uint16_t header[3] = {static_cast<uint16_t>(image.width),
                                static_cast<uint16_t>(image.height), 12};
    out.write(reinterpret_cast<const char*>(header), sizeof header);
    for (uint8_t byte : image.pixels) {
        const float v = byte;
        out.write(reinterpret_cast<const char*>(&v), sizeof v);
    }
}

void RunCrossCorrelate(benchmark::State& state, const host::Module& module)
{
    const auto n = static_cast<int32_t>(state.range(0));
    const fs::path dir =
        fs::temp_directory_path() / ("cross_correlate_bench_" + std::to_string(::getpid()));
    fs::create_directories(dir);
    {
        host::ScopedFolder prefs(kPreferencesFolderType, dir);
        const auto image = RandomImage(n, 1);
        WriteReference(dir, RandomImage(n, 2));
        for (auto _ : state) {
            auto report = host::RunFilter(module, image);
            if (report.result != 0)
                state.SkipWithError("the run failed");
            benchmark::DoNotOptimize(report.output.pixels.data());
        }
    }
    fs::remove_all(dir);
    state.SetComplexityN(n);
}

void BM_CrossCorrelate(benchmark::State& state)
{
    RunCrossCorrelate(state, CrossCorrelateModule());
}
BENCHMARK(BM_CrossCorrelate)->Arg(256)->Arg(1024)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CrossCorrelate)->Arg(4096)->Iterations(1)->Unit(benchmark::kMillisecond);

#ifdef LITERAL_PLUGIN
// The literal filter the tests keep as their oracle, for the speed-up.
void BM_CrossCorrelateLiteral(benchmark::State& state)
{
    static host::Module literal(LITERAL_PLUGIN);
    RunCrossCorrelate(state, literal);
}
BENCHMARK(BM_CrossCorrelateLiteral)->Arg(1024)->Unit(benchmark::kMillisecond);
#endif

void BM_FFTLine(benchmark::State& state)
{
    using FFTProc = void (*)(uint8_t, COMPLEX64*, int32_t);
    const auto fft = reinterpret_cast<FFTProc>(CrossCorrelateModule().Symbol("FFT_CT"));
    const auto n = static_cast<int32_t>(state.range(0));
    std::vector<COMPLEX64> line(static_cast<size_t>(n));
    std::mt19937 rng(3);
    std::uniform_real_distribution<float> u(-1.0f, 1.0f);
    for (auto& s : line)
        s = {u(rng), u(rng)};
    for (auto _ : state) {
        // Forward then inverse keeps the values bounded across iterations.
        fft(1, line.data(), n);
        fft(0, line.data(), n);
        benchmark::DoNotOptimize(line.data());
    }
    state.SetItemsProcessed(state.iterations() * 2);
}
BENCHMARK(BM_FFTLine)->Arg(256)->Arg(1024)->Arg(4096)->Arg(32768);

// Line against column access on an in-memory temporary image of COMPLEX64
// pixels, the two access patterns of the 2-D transform. The module's
// exported framework calls are used directly, outside a run.
struct NamedImage;
using MakeProc = int16_t (*)(uint16_t, uint16_t, uint16_t, const char*, NamedImage**);
using AccessProc = int16_t (*)(NamedImage*, int32_t, void*);
using TossProc = void (*)(NamedImage*);

void TempImageAccess(benchmark::State& state, const char* readName, const char* writeName)
{
    const auto& module = CrossCorrelateModule();
    const auto make = reinterpret_cast<MakeProc>(module.Symbol("MakeTemporaryImage"));
    const auto read = reinterpret_cast<AccessProc>(module.Symbol(readName));
    const auto write = reinterpret_cast<AccessProc>(module.Symbol(writeName));
    const auto toss = reinterpret_cast<TossProc>(module.Symbol("_TossNamedImage"));
    const auto n = static_cast<int32_t>(state.range(0));
    const fs::path dir =
        fs::temp_directory_path() / ("cross_correlate_bench_" + std::to_string(::getpid()));
    fs::create_directories(dir);
    {
        host::ScopedFolder prefs(kPreferencesFolderType, dir);
        NamedImage* image = nullptr;
        if (make == nullptr || read == nullptr || write == nullptr || toss == nullptr ||
            make(static_cast<uint16_t>(n), static_cast<uint16_t>(n), 8, "bench FFT", &image) != 0) {
            state.SkipWithError("no temporary image");
        } else {
            std::vector<COMPLEX64> buffer(static_cast<size_t>(n));
            for (auto _ : state) {
                // One pass over the image: every line (or column) read and
                // written back, as a transform pass does.
                for (int32_t i = 0; i < n; i++) {
                    read(image, i, buffer.data());
                    write(image, i, buffer.data());
                }
                benchmark::DoNotOptimize(buffer.data());
            }
            toss(image);
        }
    }
    fs::remove_all(dir);
}
void BM_TempImageLines(benchmark::State& state)
{
    TempImageAccess(state, "ReadTempImageLine", "WriteTempImageLine");
}
void BM_TempImageColumns(benchmark::State& state)
{
    TempImageAccess(state, "ReadTempImageColumn", "WriteTempImageColumn");
}
BENCHMARK(BM_TempImageLines)->Arg(1024)->Arg(4096)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_TempImageColumns)->Arg(1024)->Arg(4096)->Unit(benchmark::kMillisecond);

}  // namespace
