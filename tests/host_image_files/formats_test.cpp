// The layouts people bring: palettes, alpha, 1/2/4-bit grey, fax-coded
// TIFF, plain PBM/PGM/PPM, JPEG; and what a file says besides its samples.
#include <cstddef>
#include <cstdio>
#include <jpeglib.h>

#include "image_file_helpers.h"

namespace {

Image Grey8(int32_t width, int32_t height, std::vector<uint8_t> samples)
{
    Image image = Image::Make(width, height, plugInModeGrayScale, 8);
    image.pixels.assign(samples.begin(), samples.end());
    return image;
}

host::ImageFile Read(const fs::path& file)
{
    return host::ReadImageFile(file, host::ReadOptions{});
}

TEST_F(ImageFiles, PalettePngBecomesRgbOrGreyWithItsTransparency)
{
    // Indices 0..3 of a 2-bit palette: red, green, half-transparent blue, black.
    const std::vector<uint8_t> packed = {0b00011011, 0b11100100};
    WritePngRaw(File("colour.png"), 4, 2, PNG_COLOR_TYPE_PALETTE, 2, packed, false,
                [](png_structp png, png_infop info) {
                    png_color colours[4] = {{255, 0, 0}, {0, 255, 0}, {0, 0, 255}, {0, 0, 0}};
                    png_set_PLTE(png, info, colours, 4);
                    png_byte alpha[3] = {255, 255, 128};
                    png_set_tRNS(png, info, alpha, 3, nullptr);
                });
    const auto colour = Read(File("colour.png"));
    ASSERT_EQ(colour.image.mode, plugInModeRGBColor);
    const std::vector<uint8_t> rgb = {255, 0, 0, 0, 255, 0,   0, 0,   255, 0,   0, 0,
                                      0,   0, 0, 0, 0,   255, 0, 255, 0,   255, 0, 0};
    EXPECT_EQ(colour.image.pixels, rgb);
    ASSERT_TRUE(colour.alpha);
    EXPECT_EQ(colour.alpha->pixels, (std::vector<uint8_t>{255, 255, 128, 255, 255, 128, 255, 255}));

    // A palette of greys gives a grey image and no alpha.
    WritePngRaw(File("grey.png"), 8, 1, PNG_COLOR_TYPE_PALETTE, 1, {0b10100000});
    const auto grey = Read(File("grey.png"));
    EXPECT_EQ(grey.image, Grey8(8, 1, {255, 0, 255, 0, 0, 0, 0, 0}));
    EXPECT_FALSE(grey.alpha);
}

TEST_F(ImageFiles, LowBitGreyPngIsSpreadOverTheEightBitRange)
{
    WritePngRaw(File("1.png"), 8, 1, PNG_COLOR_TYPE_GRAY, 1, {0b01100001});
    EXPECT_EQ(Read(File("1.png")).image, Grey8(8, 1, {0, 255, 255, 0, 0, 0, 0, 255}));
    WritePngRaw(File("2.png"), 4, 1, PNG_COLOR_TYPE_GRAY, 2, {0b00011011});
    EXPECT_EQ(Read(File("2.png")).image, Grey8(4, 1, {0, 85, 170, 255}));
    WritePngRaw(File("4.png"), 2, 1, PNG_COLOR_TYPE_GRAY, 4, {0x1F});
    EXPECT_EQ(Read(File("4.png")).image, Grey8(2, 1, {17, 255}));
}

TEST_F(ImageFiles, AlphaIsSplitOffAndWrittenBackUnchanged)
{
    struct Case {
        const char* name;
        int colourType, depth;
    };
    const Case cases[] = {{"ga8.png", PNG_COLOR_TYPE_GRAY_ALPHA, 8},
                          {"ga16.png", PNG_COLOR_TYPE_GRAY_ALPHA, 16},
                          {"rgba8.png", PNG_COLOR_TYPE_RGB_ALPHA, 8},
                          {"rgba16.png", PNG_COLOR_TYPE_RGB_ALPHA, 16}};
    for (const auto& c : cases) {
        const int samples = c.colourType == PNG_COLOR_TYPE_GRAY_ALPHA ? 2 : 4;
        std::vector<uint8_t> data(static_cast<size_t>(5 * 3 * samples * c.depth / 8));
        std::mt19937 random(7);
        for (auto& b : data)
            b = static_cast<uint8_t>(random());
        WritePngRaw(File(c.name), 5, 3, c.colourType, c.depth, data);
        const auto read = Read(File(c.name));
        ASSERT_TRUE(read.alpha) << c.name;
        EXPECT_EQ(read.image.planes, samples - 1) << c.name;
        EXPECT_EQ(read.alpha->depth, c.depth) << c.name;
        // Alpha keeps the file's own values, 16-bit ones too.
        const size_t sampleBytes = static_cast<size_t>(c.depth / 8);
        for (int32_t i = 0; i < 15; ++i) {
            const size_t at = (static_cast<size_t>(i) * samples + samples - 1) * sampleBytes;
            const int want = c.depth == 8 ? data[at] : data[at] << 8 | data[at + 1];
            const int got =
                c.depth == 8 ? read.alpha->U8(i % 5, i / 5) : read.alpha->U16(i % 5, i / 5);
            ASSERT_EQ(got, want) << c.name << " pixel " << i;
        }
        // PNG → TIFF → PNG keeps colour and alpha alike.
        for (const char* ext : {".tif", ".png"}) {
            const fs::path out = File(std::string("again") + ext);
            host::WriteImageFile(out, read, {});
            const auto back = Read(out);
            EXPECT_EQ(back.image, read.image) << c.name << ext;
            ASSERT_TRUE(back.alpha) << c.name << ext;
            EXPECT_EQ(*back.alpha, *read.alpha) << c.name << ext;
        }
    }

    // Premultiplied TIFF alpha stays marked as such.
    const uint16_t associated[] = {EXTRASAMPLE_ASSOCALPHA};
    WriteTiffRaw(File("assoc.tif"), 2, 1, PHOTOMETRIC_MINISBLACK, 2, 8, {10, 20, 30, 40},
                 [&](TIFF* t) { TIFFSetField(t, TIFFTAG_EXTRASAMPLES, 1, associated); });
    const auto assoc = Read(File("assoc.tif"));
    EXPECT_TRUE(assoc.alphaPremultiplied);
    host::WriteImageFile(File("assoc-out.tif"), assoc, {});
    TIFF* tif = TIFFOpen(File("assoc-out.tif").c_str(), "r");
    uint16_t count = 0;
    uint16_t* types = nullptr;
    ASSERT_TRUE(TIFFGetField(tif, TIFFTAG_EXTRASAMPLES, &count, &types));
    EXPECT_EQ(types[0], EXTRASAMPLE_ASSOCALPHA);
    TIFFClose(tif);

    // A format without alpha drops it.
    const auto rgba = Read(File("rgba8.png"));
    host::WriteImageFile(File("flat.ppm"), rgba, {});
    EXPECT_EQ(host::ReadImageFile(File("flat.ppm")), rgba.image);
}

TEST_F(ImageFiles, TiffBilevelPaletteAndPagesAreRead)
{
    // 1-bit, both photometric senses, plain and fax-coded.
    const std::vector<uint8_t> bits = {0b10110000, 0b01000000};
    const Image blackIsZero = Grey8(4, 2, {255, 0, 255, 255, 0, 255, 0, 0});
    const Image whiteIsZero = Grey8(4, 2, {0, 255, 0, 0, 255, 0, 255, 255});
    for (uint16_t compression : {COMPRESSION_NONE, COMPRESSION_CCITTFAX3, COMPRESSION_CCITTFAX4}) {
        WriteTiffRaw(File("black.tif"), 4, 2, PHOTOMETRIC_MINISBLACK, 1, 1, bits,
                     [&](TIFF* t) { TIFFSetField(t, TIFFTAG_COMPRESSION, compression); });
        EXPECT_EQ(host::ReadImageFile(File("black.tif")), blackIsZero) << compression;
        WriteTiffRaw(File("white.tif"), 4, 2, PHOTOMETRIC_MINISWHITE, 1, 1, bits,
                     [&](TIFF* t) { TIFFSetField(t, TIFFTAG_COMPRESSION, compression); });
        EXPECT_EQ(host::ReadImageFile(File("white.tif")), whiteIsZero) << compression;
    }
    WriteTiffRaw(File("4bit.tif"), 3, 1, PHOTOMETRIC_MINISBLACK, 1, 4, {0x0F, 0x80});
    EXPECT_EQ(host::ReadImageFile(File("4bit.tif")), Grey8(3, 1, {0, 255, 136}));
    WriteTiffRaw(File("white8.tif"), 2, 1, PHOTOMETRIC_MINISWHITE, 1, 8, {0, 200});
    EXPECT_EQ(host::ReadImageFile(File("white8.tif")), Grey8(2, 1, {255, 55}));

    // A 16-bit colour map, as TIFF stores it.
    std::vector<uint16_t> red(16, 0), green(16, 0), blue(16, 0);
    red[1] = 65535;
    green[2] = 32896;  // 128 × 257
    WriteTiffRaw(File("palette.tif"), 3, 1, PHOTOMETRIC_PALETTE, 1, 4, {0x12, 0x00}, [&](TIFF* t) {
        TIFFSetField(t, TIFFTAG_COLORMAP, red.data(), green.data(), blue.data());
    });
    const Image palette = host::ReadImageFile(File("palette.tif"));
    ASSERT_EQ(palette.mode, plugInModeRGBColor);
    EXPECT_EQ(palette.pixels, (std::vector<uint8_t>{255, 0, 0, 0, 128, 0, 0, 0, 0}));

    // Pages: the second directory on request, a clear refusal past the last.
    TIFF* tif = TIFFOpen(File("pages.tif").c_str(), "w");
    for (uint8_t page = 0; page < 2; ++page) {
        TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, 1);
        TIFFSetField(tif, TIFFTAG_IMAGELENGTH, 1);
        TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, 8);
        TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, 1);
        TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_MINISBLACK);
        uint8_t value = static_cast<uint8_t>(10 + page);
        TIFFWriteScanline(tif, &value, 0, 0);
        TIFFWriteDirectory(tif);
    }
    TIFFClose(tif);
    EXPECT_EQ(host::ReadImageFile(File("pages.tif")), Grey8(1, 1, {10}));
    host::ReadOptions second;
    second.page = 2;
    EXPECT_EQ(host::ReadImageFile(File("pages.tif"), second).image, Grey8(1, 1, {11}));
    second.page = 3;
    try {
        host::ReadImageFile(File("pages.tif"), second);
        ADD_FAILURE() << "page 3 was read";
    } catch (const host::ImageFileError& e) {
        EXPECT_NE(std::string(e.what()).find("there is no page 3 (the TIFF has 2)"),
                  std::string::npos)
            << e.what();
    }
}

TEST_F(ImageFiles, JpegCompressedYCbCrTiffIsReadAsRgb)
{
    // Smooth colours, which JPEG keeps within a few levels.
    Image image = Image::Make(32, 16, plugInModeRGBColor, 8);
    for (int32_t y = 0; y < 16; ++y)
        for (int32_t x = 0; x < 32; ++x) {
            image.U8(x, y, 0) = static_cast<uint8_t>(x * 8);
            image.U8(x, y, 1) = static_cast<uint8_t>(y * 16);
            image.U8(x, y, 2) = 128;
        }
    TIFF* tif = TIFFOpen(File("ycbcr.tif").c_str(), "w");
    ASSERT_NE(tif, nullptr);
    TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, 32);
    TIFFSetField(tif, TIFFTAG_IMAGELENGTH, 16);
    TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, 8);
    TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, 3);
    TIFFSetField(tif, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
    TIFFSetField(tif, TIFFTAG_COMPRESSION, COMPRESSION_JPEG);
    TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_YCBCR);
    TIFFSetField(tif, TIFFTAG_JPEGCOLORMODE, JPEGCOLORMODE_RGB);
    TIFFSetField(tif, TIFFTAG_JPEGQUALITY, 95);
    TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP, 16);
    for (int32_t y = 0; y < 16; ++y)
        ASSERT_EQ(TIFFWriteScanline(tif, image.Row(y), static_cast<uint32_t>(y), 0), 1);
    TIFFClose(tif);

    const Image read = host::ReadImageFile(File("ycbcr.tif"));
    ASSERT_EQ(read.mode, plugInModeRGBColor);
    ASSERT_EQ(read.width, 32);
    ASSERT_EQ(read.height, 16);
    for (size_t i = 0; i < read.pixels.size(); ++i)
        ASSERT_NEAR(read.pixels[i], image.pixels[i], 12) << i;
}

TEST_F(ImageFiles, PlainAndBitmapNetpbmFilesAreRead)
{
    Put(File("p1.pbm"), "P1\n# plain bitmap\n3 2\n1 0 1\n011\n");
    EXPECT_EQ(host::ReadImageFile(File("p1.pbm")), Grey8(3, 2, {0, 255, 0, 255, 0, 0}));
    Put(File("p4.pbm"), std::string("P4\n10 1\n\xC0\x40", 11));
    EXPECT_EQ(host::ReadImageFile(File("p4.pbm")),
              Grey8(10, 1, {0, 0, 255, 255, 255, 255, 255, 255, 255, 0}));
    Put(File("p2.pgm"), "P2\n3 1\n15\n0 15 7\n");
    EXPECT_EQ(host::ReadImageFile(File("p2.pgm")), Grey8(3, 1, {0, 255, 119}));
    Put(File("p3.ppm"), "P3 1 1 255 1 2 3");
    Image rgb = Image::Make(1, 1, plugInModeRGBColor, 8);
    rgb.pixels = {1, 2, 3};
    EXPECT_EQ(host::ReadImageFile(File("p3.ppm")), rgb);
    // A maximum above 255 reads as 16 bits, scaled to the host range.
    Put(File("ten.pgm"), std::string("P5\n2 1\n1023\n\x00\x00\x03\xFF", 16));
    const Image ten = host::ReadImageFile(File("ten.pgm"));
    ASSERT_EQ(ten.mode, plugInModeGray16);
    EXPECT_EQ(ten.U16(0, 0), 0);
    EXPECT_EQ(ten.U16(1, 0), 32768);
}

TEST_F(ImageFiles, TwoLevelImagesGoOutAsOneBitOnRequestOnly)
{
    const Image mask = Grey8(10, 2, {0,   255, 0,   0,   255, 255, 255, 255, 0,   255,
                                     255, 255, 255, 255, 255, 255, 255, 255, 255, 0});
    host::WriteImageFile(File("mask.pbm"), mask);
    EXPECT_EQ(Bytes(File("mask.pbm")), std::string("P4\n10 2\n\xB0\x80\x00\x40", 12));
    EXPECT_EQ(host::ReadImageFile(File("mask.pbm")), mask);
    for (const char* scheme : {"g3", "g4"}) {
        host::WriteOptions options;
        options.compression = scheme;
        host::ImageFile file{mask, std::nullopt, {}};
        host::WriteImageFile(File("mask.tif"), file, options);
        TIFF* tif = TIFFOpen(File("mask.tif").c_str(), "r");
        uint16_t bits = 0;
        TIFFGetField(tif, TIFFTAG_BITSPERSAMPLE, &bits);
        TIFFClose(tif);
        EXPECT_EQ(bits, 1) << scheme;
        EXPECT_EQ(host::ReadImageFile(File("mask.tif")), mask) << scheme;
    }

    // Only the image being written has to be black and white.
    Image grey = mask;
    grey.pixels[3] = 128;
    EXPECT_FALSE(host::CheckWritable(File("grey.pbm"), grey));
    try {
        host::WriteImageFile(File("grey.pbm"), grey);
        ADD_FAILURE() << "grey written as PBM";
    } catch (const host::ImageFileError& e) {
        EXPECT_NE(std::string(e.what()).find("black-and-white images only"), std::string::npos)
            << e.what();
    }
    host::WriteOptions g4;
    g4.compression = "g4";
    EXPECT_THROW(host::WriteImageFile(File("grey.tif"), {grey, std::nullopt, {}}, g4),
                 host::ImageFileError);
    EXPECT_FALSE(fs::exists(File("grey.tif")));
    EXPECT_FALSE(fs::exists(File("grey.pbm")));
}

// What libjpeg-turbo itself decodes, with its default settings.
Image DecodeDirectly(const std::string& bytes)
{
    jpeg_decompress_struct info{};
    jpeg_error_mgr error{};
    info.err = jpeg_std_error(&error);
    jpeg_create_decompress(&info);
    jpeg_mem_src(&info, reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
    jpeg_read_header(&info, TRUE);
    info.out_color_space = info.num_components == 1 ? JCS_GRAYSCALE : JCS_RGB;
    jpeg_start_decompress(&info);
    Image image = Image::Make(
        static_cast<int32_t>(info.output_width), static_cast<int32_t>(info.output_height),
        info.num_components == 1 ? plugInModeGrayScale : plugInModeRGBColor, 8);
    while (info.output_scanline < info.output_height) {
        JSAMPROW row = image.Row(static_cast<int32_t>(info.output_scanline));
        jpeg_read_scanlines(&info, &row, 1);
    }
    jpeg_finish_decompress(&info);
    jpeg_destroy_decompress(&info);
    return image;
}

TEST_F(ImageFiles, JpegPixelsAreLibjpegsAndQualityIsHonoured)
{
    for (int16_t mode : {plugInModeRGBColor, plugInModeGrayScale}) {
        const Image image = RandomImage(mode, 8, 37, 21, 3);
        host::WriteOptions fine, coarse;
        fine.quality = 95;
        coarse.quality = 20;
        host::WriteImageFile(File("fine.jpg"), {image, std::nullopt, {}}, fine);
        host::WriteImageFile(File("coarse.jpeg"), {image, std::nullopt, {}}, coarse);
        const Image read = host::ReadImageFile(File("fine.jpg"));
        EXPECT_EQ(read, DecodeDirectly(Bytes(File("fine.jpg")))) << mode;
        EXPECT_EQ(read.mode, mode);
        EXPECT_LT(Bytes(File("coarse.jpeg")).size(), Bytes(File("fine.jpg")).size());
    }
    // The photo in the examples, as it would arrive from a camera.
    Image photo = host::ReadImageFile(SOURCE_DIR "/examples/chelsea.png");
    host::WriteImageFile(File("photo.jpg"), photo);
    EXPECT_EQ(host::ReadImageFile(File("photo.jpg")), DecodeDirectly(Bytes(File("photo.jpg"))));

    host::WriteOptions bad;
    bad.quality = 0;
    EXPECT_TRUE(host::CheckWritable(File("q.jpg"), photo, bad));
    EXPECT_TRUE(host::CheckWritable(File("deep.jpg"), RandomImage(plugInModeRGB48, 16)));
}

TEST_F(ImageFiles, CmykJpegIsRefusedSayingSo)
{
    unsigned char* buffer = nullptr;
    unsigned long size = 0;
    jpeg_compress_struct info{};
    jpeg_error_mgr error{};
    info.err = jpeg_std_error(&error);
    jpeg_create_compress(&info);
    jpeg_mem_dest(&info, &buffer, &size);
    info.image_width = 2;
    info.image_height = 1;
    info.input_components = 4;
    info.in_color_space = JCS_CMYK;
    jpeg_set_defaults(&info);
    jpeg_start_compress(&info, TRUE);
    uint8_t samples[8] = {};
    JSAMPROW row = samples;
    jpeg_write_scanlines(&info, &row, 1);
    jpeg_finish_compress(&info);
    jpeg_destroy_compress(&info);
    Put(File("cmyk.jpg"), std::string(reinterpret_cast<char*>(buffer), size));
    std::free(buffer);
    try {
        host::ReadImageFile(File("cmyk.jpg"));
        ADD_FAILURE() << "CMYK was read";
    } catch (const host::ImageFileError& e) {
        EXPECT_NE(std::string(e.what()).find("it is a CMYK JPEG"), std::string::npos) << e.what();
    }
}

TEST_F(ImageFiles, ProfileResolutionAndDescriptionSurviveEveryFormatThatHoldsThem)
{
    host::ImageFile file;
    file.image = RandomImage(plugInModeRGBColor, 8, 9, 4, 5);
    // A real profile: PNG readers check what they are given.
    file.metadata.icc = Read(SOURCE_DIR "/examples/chelsea.png").metadata.icc;
    ASSERT_GT(file.metadata.icc.size(), 128u);
    file.metadata.description = "sample 7, 0.25 µm pixels";
    file.metadata.resolution = host::Resolution{4000, 2000, host::Resolution::Unit::kCentimetre};

    // PNG keeps pixels per metre, TIFF a rational, JPEG whole numbers: each
    // of these values goes through all three unchanged.
    for (const char* name : {"m.png", "m.tif", "m.jpg", "again.png"}) {
        host::WriteImageFile(File(name), file, {});
        const auto back = Read(File(name));
        EXPECT_EQ(back.metadata.icc, file.metadata.icc) << name;
        EXPECT_EQ(back.metadata.description, file.metadata.description) << name;
        ASSERT_TRUE(back.metadata.resolution) << name;
        EXPECT_EQ(back.metadata.resolution->x, 4000) << name;
        EXPECT_EQ(back.metadata.resolution->y, 2000) << name;
        EXPECT_EQ(back.metadata.resolution->unit, host::Resolution::Unit::kCentimetre) << name;
        file.metadata = back.metadata;
    }
    // Inches go through PNG as the nearest pixels per metre.
    file.metadata.resolution = host::Resolution{300, 300, host::Resolution::Unit::kInch};
    host::WriteImageFile(File("dpi.tif"), file, {});
    EXPECT_EQ(Read(File("dpi.tif")).metadata.resolution, file.metadata.resolution);
    host::WriteImageFile(File("dpi.png"), file, {});
    const auto png = Read(File("dpi.png")).metadata.resolution;
    ASSERT_TRUE(png);
    EXPECT_EQ(png->unit, host::Resolution::Unit::kCentimetre);
    EXPECT_NEAR(png->x * 2.54, 300, 0.01);
}

TEST_F(ImageFiles, PngCompressionLevelsAllDecodeToTheSameImage)
{
    Image image = Image::Make(40, 30, plugInModeRGB48, 16);
    for (int32_t y = 0; y < 30; ++y)
        for (int32_t x = 0; x < 40; ++x)
            for (int p = 0; p < 3; ++p)
                image.U16(x, y, p) = static_cast<uint16_t>((x * 300 + y * 500 + p * 7000) % 32769);
    std::vector<size_t> sizes;
    for (const char* level : {"0", "fast", "6", "small"}) {
        host::WriteOptions options;
        options.compression = level;
        host::WriteImageFile(File("l.png"), {image, std::nullopt, {}}, options);
        EXPECT_EQ(host::ReadImageFile(File("l.png")), image) << level;
        sizes.push_back(Bytes(File("l.png")).size());
    }
    EXPECT_GT(sizes.front(), sizes.back());
    for (const char* scheme : {"none", "lzw", "deflate", "zstd", "packbits"}) {
        host::WriteOptions options;
        options.compression = scheme;
        host::WriteImageFile(File("c.tif"), {image, std::nullopt, {}}, options);
        EXPECT_EQ(host::ReadImageFile(File("c.tif")), image) << scheme;
    }
    host::WriteOptions unknown;
    unknown.compression = "13";
    EXPECT_TRUE(host::CheckWritable(File("x.png"), image, unknown));
    unknown.compression = "jbig";
    EXPECT_TRUE(host::CheckWritable(File("x.tif"), image, unknown));
}

}  // namespace
