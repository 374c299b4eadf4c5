// Image files: round trips of every format and depth, the 16-bit and Lab
// sample mappings, and the refusals for what the reader does not take.
#include <gtest/gtest.h>
#include <png.h>
#include <sys/stat.h>
#include <tiffio.h>

#include <csetjmp>
#include <cstring>
#include <fstream>
#include <functional>
#include <random>

#include "image_file.h"

namespace fs = std::filesystem;
using host::Image;

namespace {

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

Image RandomImage(int16_t mode, int16_t depth, int32_t width = 7, int32_t height = 5,
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

struct Kind {
    const char* ext;
    int16_t mode;
    int16_t depth;
};

TEST_F(ImageFiles, EveryFormatAndDepthRoundTripsExactly)
{
    const Kind kinds[] = {
        {".png", plugInModeGrayScale, 8},  {".png", plugInModeGray16, 16},
        {".png", plugInModeRGBColor, 8},   {".PNG", plugInModeRGB48, 16},
        {".tif", plugInModeGrayScale, 8},  {".tif", plugInModeGray16, 16},
        {".tif", plugInModeGrayScale, 32}, {".tiff", plugInModeRGBColor, 8},
        {".tif", plugInModeRGB48, 16},     {".tif", plugInModeRGB96, 32},
        {".tif", plugInModeLabColor, 8},   {".tif", plugInModeLab48, 16},
        {".pgm", plugInModeGrayScale, 8},  {".pgm", plugInModeGray16, 16},
        {".ppm", plugInModeRGBColor, 8},   {".ppm", plugInModeRGB48, 16},
        {".pnm", plugInModeGrayScale, 8},  {".pnm", plugInModeRGB48, 16},
    };
    unsigned seed = 1;
    for (const auto& kind : kinds) {
        const std::string label =
            std::string(kind.ext) + " " + host::ModeName(kind.mode, kind.depth);
        const Image image = RandomImage(kind.mode, kind.depth, 37, 23, seed++);
        const fs::path file = File("image" + std::string(kind.ext));
        ASSERT_FALSE(host::CheckWritable(file, image)) << label;
        host::WriteImageFile(file, image);
        const Image back = host::ReadImageFile(file);
        EXPECT_EQ(back.mode, kind.mode) << label;
        EXPECT_EQ(back.depth, kind.depth) << label;
        EXPECT_EQ(back, image) << label;
        fs::remove(file);
    }
    EXPECT_TRUE(Listing().empty()) << "temporary files left behind";
}

TEST(SixteenBitMapping, FileRangeMapsToHostRangeRoundingToNearest)
{
    struct {
        uint16_t file, host;
    } pairs[] = {{0, 0},         {1, 1},         {2, 1},        {32767, 16384},
                 {32768, 16384}, {65534, 32767}, {65535, 32768}};
    for (const auto& p : pairs)
        EXPECT_EQ(host::FileToHost16(p.file), p.host) << p.file;
    struct {
        uint16_t host, file;
    } back[] = {{0, 0}, {1, 2}, {16384, 32768}, {32767, 65533}, {32768, 65535}, {40000, 65535}};
    for (const auto& p : back)
        EXPECT_EQ(host::HostToFile16(p.host), p.file) << p.host;

    for (uint32_t h = 0; h <= 32768; ++h)
        ASSERT_EQ(host::FileToHost16(host::HostToFile16(static_cast<uint16_t>(h))), h);
    for (uint32_t v = 0; v <= 65535; ++v) {
        const uint16_t h = host::FileToHost16(static_cast<uint16_t>(v));
        // Nearest: |v × 32768 / 65535 − h| ≤ 1/2.
        ASSERT_LE(std::abs(static_cast<double>(v) * 32768.0 / 65535.0 - h), 0.5) << v;
        ASSERT_LE(std::abs(static_cast<int>(host::HostToFile16(h)) - static_cast<int>(v)), 1) << v;
    }
}

std::string Bytes(const fs::path& file)
{
    std::ifstream in(file, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

void Put(const fs::path& file, const std::string& bytes)
{
    std::ofstream(file, std::ios::binary) << bytes;
}

TEST_F(ImageFiles, SixteenBitPgmSamplesAreMappedOnLoadAndSave)
{
    const std::string samples("\x00\x00\x00\x01\x7F\xFF\x80\x00\xFF\xFF", 10);
    Put(File("in.pgm"), "P5\n# a comment\n5 1\n65535\n" + samples);
    const Image image = host::ReadImageFile(File("in.pgm"));
    ASSERT_EQ(image.mode, plugInModeGray16);
    const uint16_t expected[] = {0, 1, 16384, 16384, 32768};
    for (int x = 0; x < 5; ++x)
        EXPECT_EQ(image.U16(x, 0), expected[x]) << x;

    host::WriteImageFile(File("out.pgm"), image);
    EXPECT_EQ(Bytes(File("out.pgm")),
              "P5\n5 1\n65535\n" + std::string("\x00\x00\x00\x02\x80\x00\x80\x00\xFF\xFF", 10));
}

TEST_F(ImageFiles, LabTiffStoresAAndBSigned)
{
    Image lab8 = Image::Make(2, 1, plugInModeLabColor, 8);
    const uint8_t host8[] = {10, 128, 0, 255, 255, 127};
    std::memcpy(lab8.pixels.data(), host8, 6);
    host::WriteImageFile(File("lab8.tif"), lab8);

    Image lab16 = Image::Make(1, 1, plugInModeLab48, 16);
    lab16.U16(0, 0, 0) = 32768;
    lab16.U16(0, 0, 1) = 16384;  // neutral
    lab16.U16(0, 0, 2) = 0;      // most negative
    host::WriteImageFile(File("lab16.tif"), lab16);

    auto samples = [](const fs::path& file, uint16_t bits) {
        TIFF* tif = TIFFOpen(file.c_str(), "r");
        EXPECT_NE(tif, nullptr);
        uint16_t photometric = 0, bps = 0;
        TIFFGetField(tif, TIFFTAG_PHOTOMETRIC, &photometric);
        TIFFGetField(tif, TIFFTAG_BITSPERSAMPLE, &bps);
        EXPECT_EQ(photometric, PHOTOMETRIC_CIELAB);
        EXPECT_EQ(bps, bits);
        std::vector<uint8_t> line(static_cast<size_t>(TIFFScanlineSize(tif)));
        TIFFReadScanline(tif, line.data(), 0, 0);
        TIFFClose(tif);
        return line;
    };
    const auto file8 = samples(File("lab8.tif"), 8);
    const int8_t signed8[] = {10, 0, -128, -1, 127, -1};
    for (int i = 0; i < 6; ++i) {
        const int value = i % 3 == 0 ? file8[i] : static_cast<int8_t>(file8[i]);
        EXPECT_EQ(value, i % 3 == 0 ? host8[i] : signed8[i]) << i;
    }
    const auto file16 = samples(File("lab16.tif"), 16);
    uint16_t l, a, b;
    std::memcpy(&l, &file16[0], 2);
    std::memcpy(&a, &file16[2], 2);
    std::memcpy(&b, &file16[4], 2);
    EXPECT_EQ(l, 65535);
    EXPECT_EQ(static_cast<int16_t>(a), 0);
    EXPECT_EQ(static_cast<int16_t>(b), -32768);

    EXPECT_EQ(host::ReadImageFile(File("lab8.tif")), lab8);
    EXPECT_EQ(host::ReadImageFile(File("lab16.tif")), lab16);
}

// A PNG written directly with libpng, for layouts the host never writes.
void WritePngRaw(const fs::path& file, int width, int height, int colourType, int bitDepth,
                 const std::vector<uint8_t>& data, bool interlaced = false)
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
void WriteTiffRaw(const fs::path& file, int width, int height, uint16_t photometric,
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

TEST_F(ImageFiles, UnreadableLayoutsAreRefusedNamingFileAndContent)
{
    const std::vector<uint8_t> bytes(4 * 4 * 8, 0x55);
    struct Refusal {
        std::string name;
        std::function<void(const fs::path&)> make;
        std::string says;
    };
    const uint16_t alpha[] = {EXTRASAMPLE_UNASSALPHA};
    const std::vector<Refusal> refusals = {
        {"rgba.png", [&](auto& f) { WritePngRaw(f, 4, 4, PNG_COLOR_TYPE_RGB_ALPHA, 8, bytes); },
         "8-bit RGB PNG with an alpha channel"},
        {"ga.png", [&](auto& f) { WritePngRaw(f, 4, 4, PNG_COLOR_TYPE_GRAY_ALPHA, 16, bytes); },
         "16-bit grey PNG with an alpha channel"},
        {"palette.png",
         [&](auto& f) {
             WritePngRaw(f, 4, 4, PNG_COLOR_TYPE_PALETTE, 8, std::vector<uint8_t>(16));
         },
         "palette"},
        {"bits.png",
         [&](auto& f) { WritePngRaw(f, 16, 4, PNG_COLOR_TYPE_GRAY, 1, std::vector<uint8_t>(8)); },
         "1-bit grey PNG"},
        {"rgba.tif",
         [&](auto& f) {
             WriteTiffRaw(f, 4, 4, PHOTOMETRIC_RGB, 4, 8, bytes,
                          [&](TIFF* t) { TIFFSetField(t, TIFFTAG_EXTRASAMPLES, 1, alpha); });
         },
         "RGB TIFF with an alpha channel"},
        {"palette.tif",
         [&](auto& f) {
             std::vector<uint16_t> map(256, 0);
             WriteTiffRaw(f, 4, 4, PHOTOMETRIC_PALETTE, 1, 8, std::vector<uint8_t>(16),
                          [&](TIFF* t) {
                              TIFFSetField(t, TIFFTAG_COLORMAP, map.data(), map.data(), map.data());
                          });
         },
         "palette"},
        {"bits.tif",
         [&](auto& f) {
             WriteTiffRaw(f, 8, 4, PHOTOMETRIC_MINISBLACK, 1, 1, std::vector<uint8_t>(4));
         },
         "1-bit grey TIFF"},
        {"cmyk.tif", [&](auto& f) { WriteTiffRaw(f, 4, 4, PHOTOMETRIC_SEPARATED, 4, 8, bytes); },
         "CMYK"},
        {"signed.tif",
         [&](auto& f) {
             WriteTiffRaw(f, 4, 4, PHOTOMETRIC_MINISBLACK, 1, 16, std::vector<uint8_t>(32),
                          [](TIFF* t) { TIFFSetField(t, TIFFTAG_SAMPLEFORMAT, SAMPLEFORMAT_INT); });
         },
         "signed"},
        {"ascii.pgm", [](auto& f) { Put(f, "P2\n2 1\n255\n0 255\n"); }, "plain (ASCII) PGM"},
        {"bitmap.pbm", [](auto& f) { Put(f, "P4\n8 1\n\x0F"); }, "PBM bitmap"},
        {"ten.pgm", [](auto& f) { Put(f, "P5\n1 1\n1023\n\x01\x02"); }, "maximum value 1023"},
        {"short.ppm", [](auto& f) { Put(f, "P6\n2 2\n255\nabc"); },
         "truncated PPM (3 of 12 data bytes)"},
        {"huge.pgm", [](auto& f) { Put(f, "P5\n4000000000 4000000000\n255\n\x01"); }, "too large"},
        {"empty.png", [](auto& f) { Put(f, ""); }, "empty"},
        {"text.png", [](auto& f) { Put(f, "hello, world\n"); },
         "not a PNG, TIFF, PGM or PPM image"},
        {"cut.png",
         [&](auto& f) {
             WritePngRaw(f, 4, 4, PNG_COLOR_TYPE_RGB, 8, std::vector<uint8_t>(48, 7));
             fs::resize_file(f, 40);
         },
         "damaged or truncated PNG"},
        {"cut.tif",
         [&](auto& f) {
             WriteTiffRaw(f, 4, 4, PHOTOMETRIC_RGB, 3, 8, std::vector<uint8_t>(48, 7));
             fs::resize_file(f, 30);
         },
         "TIFF"},
    };
    for (const auto& r : refusals) {
        const fs::path file = File(r.name);
        r.make(file);
        try {
            host::ReadImageFile(file);
            ADD_FAILURE() << r.name << " was read";
        } catch (const host::ImageFileError& e) {
            const std::string text = e.what();
            EXPECT_NE(text.find("cannot read '" + file.string() + "': "), std::string::npos)
                << text;
            EXPECT_NE(text.find(r.says), std::string::npos) << r.name << ": " << text;
        }
    }
    EXPECT_THROW(host::ReadImageFile(File("missing.png")), host::ImageFileError);
    EXPECT_THROW(host::ReadImageFile(dir_), host::ImageFileError);
}

TEST_F(ImageFiles, ReadsInterlacedPngTiledAndPlanarTiff)
{
    std::vector<uint8_t> rgb(16 * 16 * 3);
    for (size_t i = 0; i < rgb.size(); ++i)
        rgb[i] = static_cast<uint8_t>(i * 7);
    Image expected = Image::Make(16, 16, plugInModeRGBColor, 8);
    expected.pixels = rgb;

    WritePngRaw(File("interlaced.png"), 16, 16, PNG_COLOR_TYPE_RGB, 8, rgb, true);
    EXPECT_EQ(host::ReadImageFile(File("interlaced.png")), expected);

    WriteTiffRaw(File("tiled.tif"), 16, 16, PHOTOMETRIC_RGB, 3, 8, rgb, [](TIFF* t) {
        TIFFSetField(t, TIFFTAG_TILEWIDTH, 16);
        TIFFSetField(t, TIFFTAG_TILELENGTH, 16);
    });
    EXPECT_EQ(host::ReadImageFile(File("tiled.tif")), expected);

    // Planar: all red samples, then all green, then all blue.
    std::vector<uint8_t> planes(rgb.size());
    for (size_t i = 0; i < 256; ++i)
        for (int p = 0; p < 3; ++p)
            planes[p * 256 + i] = rgb[i * 3 + p];
    TIFF* tif = TIFFOpen(File("planar.tif").c_str(), "w");
    ASSERT_NE(tif, nullptr);
    TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, 16);
    TIFFSetField(tif, TIFFTAG_IMAGELENGTH, 16);
    TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, 3);
    TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, 8);
    TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_RGB);
    TIFFSetField(tif, TIFFTAG_PLANARCONFIG, PLANARCONFIG_SEPARATE);
    TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP, 16);
    for (int p = 0; p < 3; ++p)
        TIFFWriteEncodedStrip(tif, p, planes.data() + p * 256, 256);
    TIFFClose(tif);
    EXPECT_EQ(host::ReadImageFile(File("planar.tif")), expected);
}

TEST_F(ImageFiles, FormatsThatCannotHoldTheImageAreRefusedBeforeWriting)
{
    struct Check {
        std::string name;
        int16_t mode, depth;
        std::string says;  // empty: writable
    };
    const Check checks[] = {
        {"a.png", plugInModeRGB96, 32, "PNG cannot hold 32-bit float samples (use .tif)"},
        {"a.png", plugInModeGrayScale, 32, "PNG cannot hold 32-bit float samples"},
        {"a.png", plugInModeLabColor, 8, "PNG cannot hold a Lab image"},
        {"a.ppm", plugInModeLab48, 16, "PGM/PPM cannot hold a Lab image"},
        {"a.pnm", plugInModeGrayScale, 32, "PGM/PPM cannot hold 32-bit float"},
        {"a.pgm", plugInModeRGBColor, 8, "a .pgm file holds grey images only"},
        {"a.ppm", plugInModeGray16, 16, "a .ppm file holds colour images only"},
        {"a.jpg", plugInModeRGBColor, 8, "unknown file type '.jpg'"},
        {"a", plugInModeRGBColor, 8, "unknown file type ''"},
        {"no/such/folder/a.png", plugInModeRGBColor, 8, "does not exist"},
        {"a.png", plugInModeCMYKColor, 8, "no file format here holds"},
        {"a.TIF", plugInModeGrayScale, 32, ""},
        {"a.pnm", plugInModeRGB48, 16, ""},
    };
    for (const auto& c : checks) {
        const fs::path file = File(c.name);
        const Image image = Image::Make(2, 2, c.mode, c.depth);
        const auto refusal = host::CheckWritable(file, image);
        if (c.says.empty()) {
            EXPECT_FALSE(refusal) << c.name << ": " << *refusal;
            continue;
        }
        ASSERT_TRUE(refusal) << c.name;
        EXPECT_NE(refusal->find("cannot write '" + file.string() + "': "), std::string::npos)
            << *refusal;
        EXPECT_NE(refusal->find(c.says), std::string::npos) << *refusal;
        EXPECT_THROW(host::WriteImageFile(file, image), host::ImageFileError);
    }
    EXPECT_TRUE(Listing().empty());
}

TEST_F(ImageFiles, WritingReplacesTheTargetWholeAndLeavesNoTemporaryFile)
{
    Put(File("out.png"), "old contents");
    ::chmod(File("out.png").c_str(), 0640);
    const Image image = RandomImage(plugInModeRGBColor, 8);
    host::WriteImageFile(File("out.png"), image);
    EXPECT_EQ(host::ReadImageFile(File("out.png")), image);
    EXPECT_EQ(fs::status(File("out.png")).permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
    EXPECT_EQ(Listing(), std::vector<std::string>{"out.png"});

    // A refused write leaves the earlier file as it was.
    EXPECT_THROW(host::WriteImageFile(File("out.png"), RandomImage(plugInModeRGB96, 32)),
                 host::ImageFileError);
    EXPECT_EQ(host::ReadImageFile(File("out.png")), image);

    // A new file gets the usual permissions, not the temporary file's private ones.
    host::WriteImageFile(File("new.tif"), image);
    const mode_t mask = ::umask(0);
    ::umask(mask);
    EXPECT_EQ(static_cast<mode_t>(fs::status(File("new.tif")).permissions() & fs::perms::all),
              0666 & ~mask);
    EXPECT_EQ(Listing(), (std::vector<std::string>{"new.tif", "out.png"}));
}

}  // namespace
