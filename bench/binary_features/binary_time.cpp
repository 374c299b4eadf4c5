// Times the binary filters compute-only through the host library, for the
// peer comparison (bench/peers/binary.py): the image is already in memory,
// and each filter's best wall time of several runs is printed as one line
// "name seconds". With --write DIR the benchmark image and the marks are
// also written there as binary PGM files, so the peers work on the very
// same pixels. --only FILTER times one filter; --cpu takes processor time
// instead of wall time.
#include <algorithm>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <random>
#include <string>

#include <unistd.h>

#include "feature_image.h"
#include "platform.h"

namespace {

namespace fs = std::filesystem;

void WritePgm(const fs::path& path, const host::Image& image)
{
    std::ofstream out(path, std::ios::binary);
    out << "P5\n" << image.width << " " << image.height << "\n255\n";
    out.write(reinterpret_cast<const char*>(image.pixels.data()),
              static_cast<std::streamsize>(image.pixels.size()));
}

// Wall time, or with --cpu the process's processor time, which a busy
// machine disturbs less.
bool gCpuTime = false;

double Now()
{
    timespec t;
    clock_gettime(gCpuTime ? CLOCK_PROCESS_CPUTIME_ID : CLOCK_MONOTONIC, &t);
    return static_cast<double>(t.tv_sec) + 1e-9 * static_cast<double>(t.tv_nsec);
}

double BestSeconds(const host::Module& module, const host::Image& image, int repeats)
{
    double best = 1e30;
    for (int i = 0; i < repeats; i++) {
        double start = Now();
        auto report = host::RunFilter(module, image);
        double seconds = Now() - start;
        if (report.result != 0) {
            std::cerr << module.Name() << " returned " << report.result << "\n";
            std::exit(1);
        }
        best = std::min(best, seconds);
    }
    return best;
}

}  // namespace

int main(int argc, char** argv)
{
    int repeats = 7;
    fs::path writeDir;
    std::string only;
    for (int i = 1; i < argc; i++) {
        std::string arg = argv[i];
        if (arg == "--write" && i + 1 < argc)
            writeDir = argv[++i];
        else if (arg == "--cpu")
            gCpuTime = true;
        else if (arg == "--only" && i + 1 < argc)
            only = argv[++i];
        else if (arg == "--repeats" && i + 1 < argc)
            repeats = std::max(1, std::stoi(argv[++i]));
        else {
            std::cerr << "usage: binary_time [--write DIR] [--repeats N] [--only FILTER] [--cpu]\n";
            return 2;
        }
    }
    const host::Image& image = binary_bench::FeatureImage();
    const host::Image marks = binary_bench::MakeGridMarks();
    if (!writeDir.empty()) {
        fs::create_directories(writeDir);
        WritePgm(writeDir / "binary_features.pgm", image);
        WritePgm(writeDir / "binary_marks.pgm", marks);
    }

    fs::path prefs = fs::temp_directory_path() / ("binary-time-" + std::to_string(::getpid()));
    fs::create_directories(prefs);
    {
        host::ScopedFolder folder(kPreferencesFolderType, prefs);
        host::MessageCapture quiet;
        fs::path plugins = PLUGIN_DIR;
        host::RunFilter(host::Module(plugins / "store_reference.so"), marks);
        for (const char* name :
             {"fill_holes", "label_brightness", "marker_select", "total_perimeter"}) {
            if (!only.empty() && only != name)
                continue;
            host::Module module(plugins / (std::string(name) + ".so"));
            std::printf("%s %.6f\n", name, BestSeconds(module, image, repeats));
            std::fflush(stdout);
        }
    }
    fs::remove_all(prefs);
    return 0;
}
