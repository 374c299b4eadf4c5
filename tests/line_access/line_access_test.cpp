// The table-driven, vectorised line conversions against the conversions as
// first written (one case per mode, a sample at a time), on every
// instruction set the build made, over random lines of every mode and
// width with NaN, infinities, signed zeros, denormals and out-of-range
// values.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

#include "differential_support.h"
#include "line_access.h"

// The framework's entry needs a filter body; these tests call the
// conversions directly.
extern "C" int32_t MainUserEntry(void)
{
    return 0;
}
extern "C" const char gAboutText[] = "Line Access";

namespace {

constexpr float k16BitToScale = 0.007781982421875f;
constexpr float kScaleTo16Bit = 128.50196838378906f;

template <typename T> T Sample(const uint8_t* line, size_t index)
{
    T value;
    std::memcpy(&value, line + index * sizeof(T), sizeof(T));
    return value;
}

template <typename T> void PutSample(uint8_t* line, size_t index, T value)
{
    std::memcpy(line + index * sizeof(T), &value, sizeof(T));
}

uint32_t ClampTruncate(float value, float limit)
{
    if (!(value >= 0.0f))
        return 0;
    if (value > limit)
        return static_cast<uint32_t>(limit);
    return static_cast<uint32_t>(value);
}

// The read conversion as first written.
bool LiteralRead(int32_t mode, const uint8_t* in, RGB96* pixels, int32_t width)
{
    for (int32_t x = 0; x < width; ++x) {
        const size_t i = static_cast<size_t>(x);
        switch (mode) {
        case plugInModeGrayScale:
            pixels[x].c[0] = pixels[x].c[1] = pixels[x].c[2] = static_cast<float>(in[x]);
            break;
        case plugInModeRGBColor:
        case plugInModeLabColor:
            for (int c = 0; c < 3; ++c)
                pixels[x].c[c] = static_cast<float>(in[3 * x + c]);
            break;
        case plugInModeGray16:
            pixels[x].c[0] = pixels[x].c[1] = pixels[x].c[2] =
                static_cast<float>(Sample<uint16_t>(in, i)) * k16BitToScale;
            break;
        case plugInModeRGB48:
        case plugInModeLab48:
            for (int c = 0; c < 3; ++c)
                pixels[x].c[c] =
                    static_cast<float>(Sample<uint16_t>(in, 3 * i + c)) * k16BitToScale;
            break;
        case plugInModeRGB96:
            for (int c = 0; c < 3; ++c)
                pixels[x].c[c] = Sample<float>(in, 3 * i + c) * 255.0f;
            break;
        case plugInModeGray32:
            pixels[x].c[0] = pixels[x].c[1] = pixels[x].c[2] = Sample<float>(in, i) * 255.0f;
            break;
        default:
            return false;
        }
    }
    if (mode == plugInModeLabColor || mode == plugInModeLab48)
        _LAB96toRGB96(pixels, width);
    return true;
}

// The write conversion as first written.
bool LiteralWrite(int32_t mode, RGB96* pixels, uint8_t* out, int32_t width)
{
    if (mode == plugInModeLabColor || mode == plugInModeLab48)
        _RGB96toLAB96(pixels, width);
    for (int32_t x = 0; x < width; ++x) {
        const size_t i = static_cast<size_t>(x);
        const float* c = pixels[x].c;
        switch (mode) {
        case plugInModeGrayScale:
            out[x] = static_cast<uint8_t>(ClampTruncate((c[0] + c[1] + c[2]) / 3.0f, 255.0f));
            break;
        case plugInModeLabColor:
        case plugInModeRGBColor:
            for (int k = 0; k < 3; ++k)
                out[3 * x + k] = static_cast<uint8_t>(ClampTruncate(c[k], 255.0f));
            break;
        case plugInModeGray16:
            PutSample<uint16_t>(out, i,
                                static_cast<uint16_t>(ClampTruncate(
                                    (c[0] + c[1] + c[2]) * kScaleTo16Bit / 3.0f, 32768.0f)));
            break;
        case plugInModeLab48:
        case plugInModeRGB48:
            for (int k = 0; k < 3; ++k)
                PutSample<uint16_t>(
                    out, 3 * i + k,
                    static_cast<uint16_t>(ClampTruncate(c[k] * kScaleTo16Bit, 32768.0f)));
            break;
        case plugInModeRGB96:
            for (int k = 0; k < 3; ++k)
                PutSample<float>(out, 3 * i + k, c[k] / 255.0f);
            break;
        case plugInModeGray32:
            PutSample<float>(out, i, (c[0] + c[1] + c[2]) / 765.0f);
            break;
        default:
            return false;
        }
    }
    return true;
}

// RGB96 values for writing: ordinary ones around 0 … 255 and the awkward ones.
std::vector<RGB96> RandomPixels(std::mt19937& rng, int32_t width)
{
    std::vector<RGB96> pixels(static_cast<size_t>(width));
    for (RGB96& p : pixels)
        for (float& c : p.c)
            c = differential::AwkwardFloat(rng) * 300.0f - (rng() % 8 == 0 ? 20.0f : 0.0f);
    return pixels;
}

bool SameBytes(const void* a, const void* b, size_t n)
{
    return std::memcmp(a, b, n) == 0;
}

TEST(LineAccessConversions, ReadAndWriteMatchThePlainConversionsOnEveryTarget)
{
    std::mt19937 rng(23);
    for (int64_t target : differential::Targets()) {
        differential::ForcedTarget forced(target);
        for (int i = 0; i < 600; ++i) {
            const auto md = differential::AllModes()[static_cast<size_t>(i) % 8];
            const int32_t width = 1 + static_cast<int32_t>(rng() % 77);
            const host::Image host = differential::RandomImage(rng, md, width, 1, i % 2 == 0);
            SCOPED_TRACE(std::string(hwy::TargetName(target)) + " " +
                         host::ModeName(md.mode, md.depth) + " width " + std::to_string(width));

            std::vector<RGB96> want(static_cast<size_t>(width)), got(want.size());
            ASSERT_TRUE(LiteralRead(md.mode, host.pixels.data(), want.data(), width));
            ASSERT_TRUE(_HostLineToRGB96(md.mode, host.pixels.data(), got.data(), width));
            ASSERT_TRUE(SameBytes(want.data(), got.data(), want.size() * sizeof(RGB96)));

            std::vector<RGB96> values = RandomPixels(rng, width), literalValues = values;
            std::vector<uint8_t> wantOut(host.RowBytes(), 0xAB), gotOut(host.RowBytes(), 0xAB);
            ASSERT_TRUE(LiteralWrite(md.mode, literalValues.data(), wantOut.data(), width));
            ASSERT_TRUE(_RGB96ToHostLine(md.mode, values.data(), gotOut.data(), width));
            ASSERT_TRUE(SameBytes(wantOut.data(), gotOut.data(), wantOut.size()));
            // Lab writes leave the Lab values in the caller's line.
            ASSERT_TRUE(
                SameBytes(literalValues.data(), values.data(), values.size() * sizeof(RGB96)));
        }
    }
}

TEST(LineAccessConversions, UnsupportedModesConvertNothing)
{
    RGB96 pixels[2] = {{{1, 2, 3}}, {{4, 5, 6}}};
    uint8_t line[24] = {7};
    for (int32_t mode : {0, 2, 4, 5, 6, 7, 8, 13, 14, 15, 18, -1}) {
        EXPECT_FALSE(_HostLineToRGB96(mode, line, pixels, 2)) << mode;
        EXPECT_FALSE(_RGB96ToHostLine(mode, pixels, line, 2)) << mode;
    }
    EXPECT_EQ(pixels[1].c[2], 6.0f);
    EXPECT_EQ(line[0], 7);
}

}  // namespace
