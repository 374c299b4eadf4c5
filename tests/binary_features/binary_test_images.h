// Small helpers for the binary-image filter tests: literal images drawn
// with characters, and a unique scratch folder for the work image's file.
#pragma once

#include <cstdint>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "host.h"
#include "platform.h"

namespace binary_test {

// '#' black (0), '.' white (255), any digit d the grey value 25 * d.
inline host::Image GreyImage(const std::vector<std::string>& rows)
{
    auto image = host::Image::Make(static_cast<int32_t>(rows.at(0).size()),
                                   static_cast<int32_t>(rows.size()), plugInModeGrayScale, 8);
    for (int32_t y = 0; y < image.height; y++)
        for (int32_t x = 0; x < image.width; x++) {
            char c = rows[y][x];
            image.U8(x, y) = c == '#' ? 0 : c == '.' ? 255 : static_cast<uint8_t>(25 * (c - '0'));
        }
    return image;
}

// A random black-and-white grey image; black with probability `black`.
inline host::Image RandomImage(std::mt19937& rng, int32_t width, int32_t height, double black)
{
    auto image = host::Image::Make(width, height, plugInModeGrayScale, 8);
    std::bernoulli_distribution isBlack(black);
    for (int32_t y = 0; y < height; y++)
        for (int32_t x = 0; x < width; x++)
            image.U8(x, y) = isBlack(rng) ? 0 : 255;
    return image;
}

// A fresh empty directory under the system temp dir, removed on scope exit.
struct ScratchDir {
    std::filesystem::path path;
    explicit ScratchDir(const std::string& tag)
    {
        std::random_device rd;
        path = std::filesystem::temp_directory_path() /
               (tag + "-" + std::to_string(rd()) + std::to_string(rd()));
        std::filesystem::create_directories(path);
    }
    ~ScratchDir()
    {
        std::error_code ec;
        std::filesystem::remove_all(path, ec);
    }
};

}  // namespace binary_test
