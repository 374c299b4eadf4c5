// Helpers the image-file tests share: a fixture with a private folder,
// random images, and files written directly with libpng and libtiff for
// layouts the host never writes.
#pragma once

#include <gtest/gtest.h>
#include <png.h>
#include <tiffio.h>
#include <unistd.h>

#include <algorithm>
#include <csetjmp>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "image_file.h"

namespace fs = std::filesystem;
using host::Image;

class ImageFiles : public ::testing::Test {
protected:
    void SetUp() override
    {
        dir_ = fs::temp_directory_path() /
               ("image_files_" + std::to_string(::getpid()) + "_" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir_);
        fs::create_directories(dir_);
    }
    void TearDown() override { fs::remove_all(dir_); }
    fs::path File(const std::string& name) const { return dir_ / name; }
    std::vector<std::string> Listing() const
    {
        std::vector<std::string> names;
        for (const auto& e : fs::directory_iterator(dir_))
            names.push_back(e.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }
    fs::path dir_;
};

inline Image RandomImage(int16_t mode, int16_t depth, int32_t width = 7, int32_t height = 5,
                         unsigned seed = 1)
{
    Image image = Image::Make(width, height, mode, depth);
    std::mt19937 random(seed);
    for (int32_t y = 0; y < height; ++y)
        for (int32_t x = 0; x < width; ++x)
            for (int p = 0; p < image.planes; ++p) {
                if (depth == 8)
                    image.U8(x, y, p) = static_cast<uint8_t>(random() & 0xFF);
                else if (depth == 16)
                    image.U16(x, y, p) = static_cast<uint16_t>(random() % 32769);
                else
                    image.F32(x, y, p) = std::uniform_real_distribution<float>(-0.5f, 1.5f)(random);
            }
    return image;
}

inline std::string Bytes(const fs::path& file)
{
    std::ifstream in(file, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

inline void Put(const fs::path& file, const std::string& bytes)
{
    std::ofstream(file, std::ios::binary) << bytes;
}

// A PNG written directly with libpng, for layouts the host never writes.
inline void WritePngRaw(const fs::path& file, int width, int height, int colourType, int bitDepth,
                        const std::vector<uint8_t>& data, bool interlaced = false,
                        const std::function<void(png_structp, png_infop)>& extra = {})
{
    FILE* f = std::fopen(file.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, &info);
        std::fclose(f);
        FAIL() << "libpng failed";
    }
    png_init_io(png, f);
    png_set_IHDR(png, info, width, height, bitDepth, colourType,
                 interlaced ? PNG_INTERLACE_ADAM7 : PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_color palette[2] = {{0, 0, 0}, {255, 255, 255}};
    if (colourType == PNG_COLOR_TYPE_PALETTE)
        png_set_PLTE(png, info, palette, 2);
    if (extra)
        extra(png, info);
    png_write_info(png, info);
    const size_t rowBytes = data.size() / height;
    std::vector<png_bytep> rows;
    for (int y = 0; y < height; ++y)
        rows.push_back(const_cast<uint8_t*>(data.data()) + rowBytes * y);
    png_write_image(png, rows.data());
    png_write_end(png, nullptr);
    png_destroy_write_struct(&png, &info);
    std::fclose(f);
}

// A one-strip TIFF written directly with libtiff.
inline void WriteTiffRaw(const fs::path& file, int width, int height, uint16_t photometric,
                         uint16_t samples, uint16_t bits, const std::vector<uint8_t>& data,
                         const std::function<void(TIFF*)>& extra = {})
{
    TIFF* tif = TIFFOpen(file.c_str(), "w");
    ASSERT_NE(tif, nullptr);
    TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, width);
    TIFFSetField(tif, TIFFTAG_IMAGELENGTH, height);
    TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, samples);
    TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, bits);
    TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, photometric);
    TIFFSetField(tif, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
    if (extra)
        extra(tif);
    if (TIFFIsTiled(tif)) {
        TIFFWriteEncodedTile(tif, 0, const_cast<uint8_t*>(data.data()),
                             static_cast<tmsize_t>(data.size()));
    } else {
        TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP, height);
        TIFFWriteEncodedStrip(tif, 0, const_cast<uint8_t*>(data.data()),
                              static_cast<tmsize_t>(data.size()));
    }
    TIFFClose(tif);
}
