// Image files: round trips of every format and depth, the 16-bit and Lab
// sample mappings, and the refusals for what the reader does not take.
#include <sys/stat.h>

#include "image_file_helpers.h"

namespace {

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

TEST_F(ImageFiles, UnreadableLayoutsAreRefusedNamingFileAndContent)
{
    const std::vector<uint8_t> bytes(4 * 4 * 8, 0x55);
    struct Refusal {
        std::string name;
        std::function<void(const fs::path&)> make;
        std::string says;
    };
    const std::vector<Refusal> refusals = {
        {"cmyk.tif", [&](auto& f) { WriteTiffRaw(f, 4, 4, PHOTOMETRIC_SEPARATED, 4, 8, bytes); },
         "CMYK"},
        {"signed.tif",
         [&](auto& f) {
             WriteTiffRaw(f, 4, 4, PHOTOMETRIC_MINISBLACK, 1, 16, std::vector<uint8_t>(32),
                          [](TIFF* t) { TIFFSetField(t, TIFFTAG_SAMPLEFORMAT, SAMPLEFORMAT_INT); });
         },
         "signed"},
        {"two-extra.tif",
         [&](auto& f) {
             const uint16_t two[] = {EXTRASAMPLE_UNASSALPHA, EXTRASAMPLE_UNSPECIFIED};
             WriteTiffRaw(f, 4, 4, PHOTOMETRIC_RGB, 5, 8, std::vector<uint8_t>(80),
                          [&](TIFF* t) { TIFFSetField(t, TIFFTAG_EXTRASAMPLES, 2, two); });
         },
         "2 extra channels; only one (alpha) is read"},
        {"pam.pam", [](auto& f) { Put(f, "P7\nWIDTH 1\n"); }, "PAM"},
        {"big.pgm", [](auto& f) { Put(f, "P2\n1 1\n70000\n0\n"); }, "maximum value 70000"},
        {"over.pgm", [](auto& f) { Put(f, "P2\n2 1\n15\n3 16\n"); },
         "sample 16 above the maximum value 15"},
        {"short.ppm", [](auto& f) { Put(f, "P6\n2 2\n255\nabc"); },
         "truncated PPM (3 of 12 data bytes)"},
        {"huge.pgm", [](auto& f) { Put(f, "P5\n4000000000 4000000000\n255\n\x01"); }, "too large"},
        {"empty.png", [](auto& f) { Put(f, ""); }, "empty"},
        {"text.png", [](auto& f) { Put(f, "hello, world\n"); },
         "not a PNG, TIFF, JPEG, PBM, PGM or PPM image"},
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
    expected.pixels.assign(rgb.begin(), rgb.end());

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
        {"a.gif", plugInModeRGBColor, 8, "unknown file type '.gif'"},
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
