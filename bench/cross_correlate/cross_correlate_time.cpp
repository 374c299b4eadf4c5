// Times whole cross_correlate runs through the host library, compute only:
// the image is in memory and the reference already stored before the clock
// starts. Prints the best wall time of the runs in seconds.
//
//   cross_correlate_time MODULE IMAGE REFERENCE [RUNS]
//
// IMAGE and REFERENCE are image files of the same square size; REFERENCE
// is stored as the reference image, as the store_reference filter would.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include <unistd.h>

#include "host.h"
#include "image_file.h"
#include "platform.h"

namespace fs = std::filesystem;

namespace {

// The reference image file: native 16-bit width, height and 12, then RGB96
// floats on the 0..255 scale.
void StoreReference(const fs::path& dir, const host::Image& image)
{
    std::ofstream out(dir / "Reference Image.xzy", std::ios::binary);
    const uint16_t header[3] = {static_cast<uint16_t>(image.width),
                                static_cast<uint16_t>(image.height), 12};
    out.write(reinterpret_cast<const char*>(header), sizeof header);
    for (int32_t y = 0; y < image.height; y++)
        for (int32_t x = 0; x < image.width; x++)
            for (int c = 0; c < 3; c++) {
                const float v = image.U8(x, y, c);
                out.write(reinterpret_cast<const char*>(&v), sizeof v);
            }
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 4) {
        std::fprintf(stderr, "usage: %s MODULE IMAGE REFERENCE [RUNS]\n", argv[0]);
        return 2;
    }
    const int runs = argc > 4 ? std::atoi(argv[4]) : 5;
    const fs::path dir =
        fs::temp_directory_path() / ("cross_correlate_time_" + std::to_string(::getpid()));
    fs::create_directories(dir);
    double best = -1;
    int status = 0;
    try {
        host::Module module(argv[1]);
        const auto image = host::ReadImageFile(argv[2]);
        StoreReference(dir, host::ReadImageFile(argv[3]));
        host::ScopedFolder prefs(kPreferencesFolderType, dir);
        for (int i = 0; i < runs; i++) {
            const auto start = std::chrono::steady_clock::now();
            const auto report = host::RunFilter(module, image);
            const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
            if (report.result != 0) {
                std::fprintf(stderr, "the run failed with %d\n", report.result);
                status = 1;
                break;
            }
            if (best < 0 || took.count() < best)
                best = took.count();
        }
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s\n", e.what());
        status = 1;
    }
    fs::remove_all(dir);
    if (status == 0)
        std::printf("%.6f\n", best);
    return status;
}
