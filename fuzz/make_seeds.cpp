// Writes the small seed inputs of every fuzz target into the folder named
// on the command line: one sub-folder per target.
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "host.h"
#include "image_file.h"

namespace fs = std::filesystem;

namespace {

void Write(const fs::path& file, const std::string& bytes)
{
    fs::create_directories(file.parent_path());
    std::ofstream(file, std::ios::binary | std::ios::trunc) << bytes;
}

std::string Slurp(const fs::path& file)
{
    std::ifstream in(file, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

// A tiny image of every kind in every format that holds it, for the
// readers; the format-bound targets get the bytes after the signature.
void ImageSeeds(const fs::path& out)
{
    struct Kind {
        int16_t mode, depth;
    };
    const Kind kinds[] = {{plugInModeGrayScale, 8}, {plugInModeRGBColor, 8},
                          {plugInModeGray16, 16},   {plugInModeRGB48, 16},
                          {plugInModeLabColor, 8},  {plugInModeLab48, 16},
                          {plugInModeRGB96, 32},    {plugInModeGrayScale, 32}};
    struct Format {
        const char* extension;
        const char* target;
        size_t signature;
    };
    const Format formats[] = {{".png", "image_png", 8},
                              {".tif", "image_tiff", 4},
                              {".pgm", "image_pnm", 1},
                              {".ppm", "image_pnm", 1}};
    const fs::path scratch = out / "scratch";
    fs::create_directories(scratch);
    int n = 0;
    for (const Kind& kind : kinds) {
        host::Image image = host::Image::Make(3, 2, kind.mode, kind.depth);
        for (size_t i = 0; i < image.pixels.size(); i++)
            image.pixels[i] = static_cast<uint8_t>(i * 37 + 11);
        if (kind.depth == 32)
            for (int32_t y = 0; y < 2; y++)
                for (int32_t x = 0; x < 3; x++)
                    for (int p = 0; p < image.planes; p++)
                        image.F32(x, y, p) = static_cast<float>(x + y + p) / 5.0f;
        if (kind.depth == 16)
            for (auto* w = reinterpret_cast<uint16_t*>(image.pixels.data());
                 w < reinterpret_cast<uint16_t*>(image.pixels.data() + image.pixels.size()); w++)
                *w %= 32769;
        for (const Format& format : formats) {
            const fs::path file = scratch / (std::string("seed") + format.extension);
            if (host::CheckWritable(file, image))
                continue;
            host::WriteImageFile(file, image);
            const std::string bytes = Slurp(file);
            const std::string name = "seed" + std::to_string(n++);
            Write(out / "image_any" / name, bytes);
            Write(out / format.target / name, bytes.substr(format.signature));
        }
    }
    fs::remove_all(scratch);
}

std::string Reference(uint16_t width, uint16_t height, uint16_t bytesPerPixel, size_t pixels)
{
    std::string bytes(6, '\0');
    const uint16_t header[3] = {width, height, bytesPerPixel};
    std::memcpy(bytes.data(), header, 6);
    for (size_t i = 0; i < pixels; i++)
        bytes.push_back(static_cast<char>(i % 7 == 0 ? 0x43 : i));
    return bytes;
}

void ReferenceSeeds(const fs::path& out)
{
    Write(out / "ref_image" / "whole", Reference(3, 2, 12, 3 * 2 * 12));
    Write(out / "ref_image" / "short", Reference(3, 2, 12, 3 * 2 * 12 - 4));
    Write(out / "ref_image" / "wide_pixels", Reference(2, 2, 24, 2 * 2 * 24));
    Write(out / "ref_image" / "empty", Reference(0, 0, 12, 0));
    Write(out / "ref_image" / "header_only", Reference(1, 1, 12, 0).substr(0, 4));
}

void TextSeeds(const fs::path& out)
{
    Write(out / "text_number" / "parameters", "2.0\r1\r150\r0.01\r");
    Write(out / "text_number" / "mixed", "\x10-1.5e3, 7\t.25 \r\n+4\f\0x 1e-40 nan inf");
    Write(out / "text_number" / "long", std::string(300, '9') + "\r" + std::string(70, ' '));
}

void PluginSeeds(const fs::path& out)
{
    // Kind, width, height, budget; 24 bytes of parameter text; samples.
    std::string parameters = "2.0\r1\r150\r0.01\r";
    parameters.resize(24, ' ');
    for (uint8_t kind = 0; kind < 8; kind++) {
        std::string bytes = {static_cast<char>(kind), 7, 5, static_cast<char>(kind & 1)};
        bytes += parameters;
        for (int i = 0; i < 64; i++)
            bytes.push_back(static_cast<char>(i % 5 == 0 ? 0 : 0xFF));
        Write(out / "plugin" / ("kind" + std::to_string(kind)), bytes);
    }
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 2)
        return 2;
    const fs::path out = argv[1];
    ImageSeeds(out);
    ReferenceSeeds(out);
    TextSeeds(out);
    PluginSeeds(out);
    return 0;
}
