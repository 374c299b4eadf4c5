// rank_rgb_timing MODULE IMAGE.raw WIDTH HEIGHT REPEATS [DESKTOP]
//
// Loads the plug-in MODULE, reads an 8-bit RGB image of WIDTH × HEIGHT
// interleaved bytes, runs the filter REPEATS times on it through the host
// library and prints the best wall time of one run in seconds. The image is
// in memory before the clock starts, so only the filter's work is timed.
// DESKTOP, when given, is the folder the filter finds its parameter file in
// (and its Preferences folder).
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <iterator>
#include <optional>
#include <string>

#include "host.h"
#include "platform.h"

int main(int argc, char** argv)
{
    if (argc < 6) {
        std::cerr << "usage: rank_rgb_timing MODULE IMAGE.raw WIDTH HEIGHT REPEATS [DESKTOP]\n";
        return 2;
    }
    try {
        host::Module module(argv[1]);
        const int32_t width = std::stoi(argv[3]);
        const int32_t height = std::stoi(argv[4]);
        const int repeats = std::max(1, std::stoi(argv[5]));
        host::Image image = host::Image::Make(width, height, plugInModeRGBColor, 8);
        std::ifstream in(argv[2], std::ios::binary);
        in.read(reinterpret_cast<char*>(image.pixels.data()),
                static_cast<std::streamsize>(image.pixels.size()));
        if (!in) {
            std::cerr << "rank_rgb_timing: " << argv[2] << " is shorter than the image\n";
            return 2;
        }
        std::optional<host::ScopedFolder> desk, prefs;
        if (argc > 6) {
            desk.emplace(kDesktopFolderType, argv[6]);
            prefs.emplace(kPreferencesFolderType, argv[6]);
        }
        double best = 1e30;
        for (int i = 0; i < repeats; ++i) {
            const auto start = std::chrono::steady_clock::now();
            const host::RunReport report = host::RunFilter(module, image);
            const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
            if (report.result != 0) {
                std::cerr << "rank_rgb_timing: the run ended with " << report.result << "\n";
                return 1;
            }
            best = std::min(best, elapsed.count());
        }
        std::printf("%.6f\n", best);
    } catch (const std::exception& e) {
        std::cerr << "rank_rgb_timing: " << e.what() << "\n";
        return 2;
    }
    return 0;
}
