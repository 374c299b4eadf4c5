// Hostile and damaged files: refused with one clear message, before any
// memory is taken for the size they claim, and never with anything but
// ImageFileError.
#include <sys/resource.h>
#include <zlib.h>

#include "image_file_helpers.h"

namespace {

using Bytes_ = std::vector<uint8_t>;

void Append32BE(Bytes_& out, uint32_t v)
{
    for (int s = 24; s >= 0; s -= 8)
        out.push_back(static_cast<uint8_t>(v >> s));
}

void PngChunk(Bytes_& out, const char* type, const Bytes_& body)
{
    Append32BE(out, static_cast<uint32_t>(body.size()));
    Bytes_ typed(type, type + 4);
    typed.insert(typed.end(), body.begin(), body.end());
    out.insert(out.end(), typed.begin(), typed.end());
    Append32BE(out, static_cast<uint32_t>(crc32(0, typed.data(), static_cast<uInt>(typed.size()))));
}

// A PNG that claims width × height RGB pixels but holds a few bytes of data.
Bytes_ TinyPng(uint32_t width, uint32_t height)
{
    Bytes_ out = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    Bytes_ header;
    Append32BE(header, width);
    Append32BE(header, height);
    header.insert(header.end(), {8, 2, 0, 0, 0});
    PngChunk(out, "IHDR", header);
    Bytes_ data(64, 0);
    uLongf packedSize = compressBound(data.size());
    Bytes_ packed(packedSize);
    compress(packed.data(), &packedSize, data.data(), data.size());
    packed.resize(packedSize);
    PngChunk(out, "IDAT", packed);
    PngChunk(out, "IEND", {});
    return out;
}

// A little-endian TIFF with one strip of `stripBytes` bytes claiming
// width × height 8-bit grey pixels.
Bytes_ TinyTiff(uint32_t width, uint32_t height, uint16_t compression, uint32_t stripBytes)
{
    Bytes_ out = {'I', 'I', 42, 0, 8, 0, 0, 0};
    struct Entry {
        uint16_t tag, type;
        uint32_t value;
    };
    const Entry entries[] = {{256, 4, width},  {257, 4, height},
                             {258, 3, 8},      {259, 3, compression},
                             {262, 3, 1},      {273, 4, 8 + 2 + 8 * 12 + 4},
                             {278, 4, height}, {279, 4, stripBytes}};
    auto put16 = [&](uint16_t v) { out.insert(out.end(), {uint8_t(v), uint8_t(v >> 8)}); };
    auto put32 = [&](uint32_t v) {
        put16(static_cast<uint16_t>(v));
        put16(static_cast<uint16_t>(v >> 16));
    };
    put16(8);
    for (const auto& e : entries) {
        put16(e.tag);
        put16(e.type);
        put32(1);
        put32(e.value);
    }
    put32(0);
    out.resize(out.size() + stripBytes, 0x55);
    return out;
}

std::string Refusal(const Bytes_& bytes, uint64_t maxPixels = 0)
{
    host::ReadOptions options;
    options.maxPixels = maxPixels;
    try {
        host::ReadImageMemory(bytes, "'hostile'", options);
    } catch (const host::ImageFileError& e) {
        return e.what();
    }
    return "(read)";
}

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kCanLimitMemory = false;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool kCanLimitMemory = false;
#else
constexpr bool kCanLimitMemory = true;
#endif
#else
constexpr bool kCanLimitMemory = true;
#endif

// Runs the read in a child whose address space is capped at 1 GiB: a
// reader that allocated for the claimed size would die there.
void ExpectRefusedWithinOneGigabyte(const Bytes_& bytes)
{
    if (!kCanLimitMemory)
        return;
    auto readCapped = [&bytes] {
        const rlimit limit{size_t{1} << 30, size_t{1} << 30};
        setrlimit(RLIMIT_AS, &limit);
        host::ReadOptions options;
        options.maxPixels = UINT64_MAX;
        try {
            host::ReadImageMemory(bytes, "'hostile'", options);
        } catch (const host::ImageFileError&) {
            std::_Exit(0);
        }
        std::_Exit(1);
    };
    EXPECT_EXIT(readCapped(), ::testing::ExitedWithCode(0), "");
}

TEST(HostileFiles, SixteenBitPpmWhoseByteCountOverflowsIsRefusedNotAborted)
{
    const std::string text = "P6\n2147483647 2147483647\n65535\n\x01\x02";
    const Bytes_ bytes(text.begin(), text.end());
    const std::string refusal = Refusal(bytes, UINT64_MAX);
    EXPECT_NE(refusal.find("cannot read 'hostile': the image is too large"), std::string::npos)
        << refusal;
    EXPECT_NE(Refusal(bytes).find("too large"), std::string::npos);
}

TEST(HostileFiles, TinyPngClaimingHugeSizeIsRefusedBeforeAllocating)
{
    const Bytes_ huge = TinyPng(100000, 100000);
    EXPECT_EQ(huge.size(), 69u);
    EXPECT_NE(Refusal(huge).find("too large"), std::string::npos) << Refusal(huge);
    const std::string refusal = Refusal(huge, UINT64_MAX);
    EXPECT_NE(refusal.find("bytes of image data cannot hold 100000 x 100000 pixels"),
              std::string::npos)
        << refusal;
    ExpectRefusedWithinOneGigabyte(huge);
    // The same few bytes for a small image are read.
    EXPECT_EQ(Refusal(TinyPng(4, 4)), "(read)");
}

TEST(HostileFiles, TinyTiffClaimingHugeSizeIsRefusedBeforeAllocating)
{
    for (uint16_t compression : {COMPRESSION_NONE, COMPRESSION_ADOBE_DEFLATE, COMPRESSION_LZW}) {
        const Bytes_ huge = TinyTiff(100000, 100000, compression, 20);
        EXPECT_LE(huge.size(), 150u);
        const std::string refusal = Refusal(huge, UINT64_MAX);
        EXPECT_NE(refusal.find("cannot hold 100000 x 100000 pixels"), std::string::npos)
            << compression << ": " << refusal;
        ExpectRefusedWithinOneGigabyte(huge);
    }
    EXPECT_EQ(Refusal(TinyTiff(4, 5, COMPRESSION_NONE, 20)), "(read)");
}

TEST(HostileFiles, ImagesAboveThePixelLimitAreRefusedBeforeReading)
{
    const std::string refusal = Refusal(TinyTiff(4, 5, COMPRESSION_NONE, 20), 19);
    EXPECT_NE(refusal.find("4 x 5 is 20 pixels; the limit is 19"), std::string::npos) << refusal;
    EXPECT_EQ(Refusal(TinyTiff(4, 5, COMPRESSION_NONE, 20), 20), "(read)");
    EXPECT_GE(host::DefaultMaxPixels(), uint64_t{1} << 26);
}

// Every prefix and many single-byte changes of a valid file of each format
// give an image or an ImageFileError: never a crash or another exception.
TEST_F(ImageFiles, DamagedFilesOfEveryFormatGiveOnlyImageFileErrors)
{
    host::ImageFile rgba;
    rgba.image = RandomImage(plugInModeRGBColor, 8, 19, 7, 4);
    rgba.alpha = RandomImage(plugInModeGrayScale, 8, 19, 7, 5);
    rgba.metadata.description = "d";
    rgba.metadata.icc.assign(40, 7);
    Image mask = Image::Make(19, 7, plugInModeGrayScale, 8);
    for (size_t i = 0; i < mask.pixels.size(); ++i)
        mask.pixels[i] = (i * 7 % 5) < 2 ? 0 : 255;
    host::WriteOptions g4;
    g4.compression = "g4";
    std::vector<std::vector<uint8_t>> samples = {
        host::EncodeImage(rgba, host::ImageFileFormat::kPng),
        host::EncodeImage(rgba, host::ImageFileFormat::kTiff),
        host::EncodeImage(rgba, host::ImageFileFormat::kJpeg),
        host::EncodeImage({mask, std::nullopt, {}}, host::ImageFileFormat::kTiff, g4),
        host::EncodeImage({mask, std::nullopt, {}}, host::ImageFileFormat::kPbm),
    };
    const std::string plain = "P3\n2 2\n255\n1 2 3 4 5 6 7 8 9 10 11 12\n";
    samples.emplace_back(plain.begin(), plain.end());
    std::mt19937 random(11);
    int refused = 0;
    for (const auto& sample : samples) {
        ASSERT_EQ(Refusal(sample), "(read)");
        for (size_t cut = 0; cut < sample.size(); cut += 1 + sample.size() / 200)
            if (Refusal(std::vector<uint8_t>(sample.begin(), sample.begin() + cut)) != "(read)")
                ++refused;
        for (int trial = 0; trial < 400; ++trial) {
            std::vector<uint8_t> damaged = sample;
            damaged[random() % damaged.size()] ^= static_cast<uint8_t>(1 + random() % 255);
            const std::string outcome = Refusal(damaged);
            EXPECT_TRUE(outcome == "(read)" || outcome.starts_with("cannot read 'hostile': "))
                << outcome;
        }
    }
    EXPECT_GT(refused, 100);
}

TEST(EncodeImage, ImagesTheFormatCannotHoldAreRefusedNotEncoded)
{
    const host::ImageFile float32{RandomImage(plugInModeRGB96, 32), std::nullopt, {}};
    const host::ImageFile grey{RandomImage(plugInModeGrayScale, 8), std::nullopt, {}};
    const host::ImageFile deep{RandomImage(plugInModeRGB48, 16), std::nullopt, {}};
    host::ImageFile broken = grey;
    broken.image.pixels.resize(3);
    EXPECT_THROW(host::EncodeImage(float32, host::ImageFileFormat::kPng), host::ImageFileError);
    EXPECT_THROW(host::EncodeImage(grey, host::ImageFileFormat::kPbm), host::ImageFileError);
    EXPECT_THROW(host::EncodeImage(deep, host::ImageFileFormat::kJpeg), host::ImageFileError);
    EXPECT_THROW(host::EncodeImage(broken, host::ImageFileFormat::kTiff), host::ImageFileError);
    EXPECT_FALSE(host::EncodeImage(float32, host::ImageFileFormat::kTiff).empty());
}

TEST_F(ImageFiles, TruncatedFilesOfEveryNewFormatAreRefusedWithAMessage)
{
    host::ImageFile photo{host::ReadImageFile(SOURCE_DIR "/examples/chelsea.png"), {}, {}};
    const auto jpeg = host::EncodeImage(photo, host::ImageFileFormat::kJpeg);
    const std::string cutJpeg = Refusal({jpeg.begin(), jpeg.begin() + jpeg.size() / 2});
    EXPECT_NE(cutJpeg.find("damaged or truncated JPEG"), std::string::npos) << cutJpeg;

    const std::string text = "P4\n16 4\n\xFF\xFF\xFF";
    EXPECT_NE(Refusal({text.begin(), text.end()}).find("truncated PBM (3 of 8 data bytes)"),
              std::string::npos);
    const std::string ascii = "P2\n3 1\n255\n1 2";
    EXPECT_NE(Refusal({ascii.begin(), ascii.end()}).find("truncated"), std::string::npos);
}

}  // namespace
