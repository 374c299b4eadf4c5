#include "images.h"

#include <cstring>
#include <fstream>
#include <random>
#include <stdexcept>

namespace test_support {

host::Image BinaryImage(const std::vector<std::string>& rows)
{
    const auto height = static_cast<int32_t>(rows.size());
    const auto width = height == 0 ? 0 : static_cast<int32_t>(rows[0].size());
    host::Image image = host::Image::Make(width, height, plugInModeRGBColor, 8);
    for (int32_t y = 0; y < height; ++y) {
        if (static_cast<int32_t>(rows[y].size()) != width)
            throw std::invalid_argument("rows of a binary image differ in length");
        for (int32_t x = 0; x < width; ++x)
            for (int plane = 0; plane < 3; ++plane)
                image.U8(x, y, plane) = rows[y][x] == '#' ? 0 : 255;
    }
    return image;
}

std::vector<std::string> BinaryRows(const host::Image& image)
{
    std::vector<std::string> rows;
    for (int32_t y = 0; y < image.height; ++y) {
        std::string row;
        for (int32_t x = 0; x < image.width; ++x) {
            const uint8_t v = image.U8(x, y, 0);
            row += v == 0 ? '#' : v == 255 ? '.' : '?';
        }
        rows.push_back(row);
    }
    return rows;
}

host::Image RandomImage(int32_t width, int32_t height, int16_t mode, int16_t depth, uint32_t seed)
{
    host::Image image = host::Image::Make(width, height, mode, depth);
    std::mt19937 random(seed);
    const size_t samples = image.pixels.size() / image.SampleBytes();
    for (size_t i = 0; i < samples; ++i) {
        if (depth == 8) {
            image.pixels[i] = static_cast<uint8_t>(random());
        } else if (depth == 16) {
            const auto v = static_cast<uint16_t>(random() % 32769);
            std::memcpy(image.pixels.data() + 2 * i, &v, 2);
        } else {
            const float v = std::uniform_real_distribution<float>(0.0f, 1.0f)(random);
            std::memcpy(image.pixels.data() + 4 * i, &v, 4);
        }
    }
    return image;
}

void WriteReferenceFile(const std::filesystem::path& prefsDir, uint16_t width, uint16_t height,
                        const std::vector<float>& pixels)
{
    const uint16_t header[3] = {width, height, 12};
    std::ofstream out(prefsDir / "Reference Image.xzy", std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(header), sizeof header);
    out.write(reinterpret_cast<const char*>(pixels.data()),
              static_cast<std::streamsize>(pixels.size() * sizeof(float)));
}

}  // namespace test_support
