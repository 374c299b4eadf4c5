// rgb_to_ihs end to end: the module loaded and run over small literal images.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <random>

#include "host.h"
#include "testing.h"

namespace {

using Pixel = std::array<int, 3>;

const host::Module& Filter()
{
    static host::Module module(PLUGIN_DIR "/rgb_to_ihs.so");
    return module;
}

host::Image RgbLine(const std::vector<Pixel>& pixels)
{
    host::Image image =
        host::Image::Make(static_cast<int32_t>(pixels.size()), 1, plugInModeRGBColor, 8);
    for (size_t x = 0; x < pixels.size(); ++x)
        for (int p = 0; p < 3; ++p)
            image.U8(static_cast<int32_t>(x), 0, p) = static_cast<uint8_t>(pixels[x][p]);
    return image;
}

Pixel At(const host::Image& image, int32_t x, int32_t y = 0)
{
    return {image.U8(x, y, 0), image.U8(x, y, 1), image.U8(x, y, 2)};
}

struct Case {
    const char* what;
    Pixel in;
    Pixel out;  // intensity, hue, saturation, truncated into bytes
};

TEST(RgbToIhs, ConvertsListedColoursAndSextantBoundaries)
{
    const Case cases[] = {
        {"red", {255, 0, 0}, {127, 0, 255}},
        {"green", {0, 255, 0}, {127, 85, 255}},
        {"blue", {0, 0, 255}, {127, 170, 255}},
        {"orange", {255, 128, 0}, {127, 21, 255}},  // hue 21.33
        // Ties between the largest channels sit on the sextant boundaries.
        {"yellow, red ties green", {255, 255, 0}, {127, 42, 255}},
        {"cyan, green ties blue", {0, 255, 255}, {127, 127, 255}},
        {"magenta, red ties blue", {255, 0, 255}, {127, 212, 255}},
        {"dark yellow", {128, 128, 0}, {64, 42, 255}},
        // Just below red going round through magenta: the hue wraps to 254.8.
        {"red with a trace of blue", {255, 0, 1}, {127, 254, 255}},
        {"dark blue-grey", {10, 20, 30}, {20, 148, 127}},  // saturation 127.49998
        {"brown", {200, 100, 50}, {125, 14, 153}},
        {"nearly black red", {1, 0, 0}, {0, 0, 255}},
    };
    std::vector<Pixel> inputs;
    for (const auto& c : cases)
        inputs.push_back(c.in);
    const auto report = host::RunFilter(Filter(), RgbLine(inputs));
    ASSERT_EQ(report.result, 0);
    EXPECT_TRUE(report.messages.empty());
    for (size_t i = 0; i < std::size(cases); ++i)
        EXPECT_EQ(At(report.output, static_cast<int32_t>(i)), cases[i].out) << cases[i].what;
}

TEST(RgbToIhs, LightColoursUseTheSecondSaturationFormula)
{
    // L > 0.5: S = d / (2 - max - min). With d / (max + min) these would
    // come out 30 and 17.
    const auto report = host::RunFilter(Filter(), RgbLine({{255, 200, 200}, {230, 200, 200}}));
    ASSERT_EQ(report.result, 0);
    EXPECT_EQ(At(report.output, 0), (Pixel{227, 0, 255}));
    EXPECT_EQ(At(report.output, 1), (Pixel{215, 0, 95}));
}

TEST(RgbToIhs, FloatImagesKeepTheExactValues)
{
    host::Image image = host::Image::Make(3, 1, plugInModeRGB96, 32);
    const float in[3][3] = {{1.0f, 0.0f, 0.0f}, {1.0f, 128.0f / 255.0f, 0.0f}, {1.0f, 0.0f, 1e-7f}};
    for (int x = 0; x < 3; ++x)
        for (int p = 0; p < 3; ++p)
            image.F32(x, 0, p) = in[x][p];
    const auto report = host::RunFilter(Filter(), image);
    ASSERT_EQ(report.result, 0);
    const auto& out = report.output;
    EXPECT_EQ(out.F32(0, 0, 0), 127.5f / 255.0f);
    EXPECT_EQ(out.F32(0, 0, 1), 0.0f);
    EXPECT_EQ(out.F32(0, 0, 2), 1.0f);
    // Hue 0.50196... sixths scaled in double: 21.333334 after rounding to single.
    EXPECT_EQ(out.F32(1, 0, 1), 21.333334f / 255.0f);
    // Hue -1.2e-7 + 6 rounds to exactly 6 in single precision, which must
    // come back round to 0 rather than stay at 255.
    EXPECT_EQ(out.F32(2, 0, 1), 0.0f);
}

TEST(RgbToIhs, GreysAreWrittenBackUnchanged)
{
    host::Image rgb = host::Image::Make(256, 1, plugInModeRGBColor, 8);
    host::Image grey = host::Image::Make(256, 1, plugInModeGrayScale, 8);
    for (int v = 0; v < 256; ++v) {
        for (int p = 0; p < 3; ++p)
            rgb.U8(v, 0, p) = static_cast<uint8_t>(v);
        grey.U8(v, 0) = static_cast<uint8_t>(v);
    }
    for (const auto* image : {&rgb, &grey}) {
        const auto report = host::RunFilter(Filter(), *image);
        ASSERT_EQ(report.result, 0);
        EXPECT_EQ(report.output, *image) << host::ModeName(image->mode, image->depth);
    }
}

// Hue, lightness and saturation in double precision, the textbook way.
std::array<double, 3> ReferenceIhs(int red, int green, int blue)
{
    const double r = red / 255.0, g = green / 255.0, b = blue / 255.0;
    const double mx = std::max({r, g, b}), mn = std::min({r, g, b});
    const double l = (mx + mn) / 2;
    if (mx == mn)
        return {l * 255, l * 255, l * 255};
    const double s = l <= 0.5 ? (mx - mn) / (mx + mn) : (mx - mn) / (2 - mx - mn);
    double h;
    if (mx == r)
        h = std::fmod((g - b) / (mx - mn) + 6.0, 6.0);
    else if (mx == g)
        h = (b - r) / (mx - mn) + 2;
    else
        h = (r - g) / (mx - mn) + 4;
    return {l * 255, h * 255 / 6, s * 255};
}

TEST(RgbToIhs, RandomPixelsAgreeWithADoublePrecisionReference)
{
    std::mt19937 random(20240611);
    std::uniform_int_distribution<int> byte(0, 255);
    std::vector<Pixel> pixels(4000);
    for (auto& p : pixels)
        p = {byte(random), byte(random), byte(random)};
    const auto report = host::RunFilter(Filter(), RgbLine(pixels));
    ASSERT_EQ(report.result, 0);
    for (size_t x = 0; x < pixels.size(); ++x) {
        const auto want = ReferenceIhs(pixels[x][0], pixels[x][1], pixels[x][2]);
        const Pixel got = At(report.output, static_cast<int32_t>(x));
        for (int c = 0; c < 3; ++c) {
            // Single precision may land a hair below an integer the double
            // lands on, so truncation can differ by one step.
            const double diff = got[c] - std::floor(want[c]);
            if (c == 1 && std::abs(diff) > 250)
                continue;  // hue wrapped at 0 / 255
            EXPECT_LE(std::abs(diff), 1.0)
                << "pixel " << x << " (" << pixels[x][0] << ", " << pixels[x][1] << ", "
                << pixels[x][2] << ") channel " << c;
        }
    }
}

host::Image ColourRamp(int32_t height)
{
    host::Image image = host::Image::Make(4, height, plugInModeRGBColor, 8);
    for (int32_t y = 0; y < height; ++y)
        for (int32_t x = 0; x < 4; ++x) {
            image.U8(x, y, 0) = static_cast<uint8_t>(200 + y);
            image.U8(x, y, 1) = static_cast<uint8_t>(10 * x);
            image.U8(x, y, 2) = 30;
        }
    return image;
}

TEST(RgbToIhs, CancelAtTheFirstTestTouchesNoLine)
{
    const host::Image image = ColourRamp(5);
    host::test::RunOptions options;
    options.cancelAtAbortTest = 1;
    const auto report = host::test::RunFilter(Filter(), image, options);
    EXPECT_EQ(report.result, userCanceledErr);
    EXPECT_TRUE(report.cancelled);
    EXPECT_TRUE(report.advanceCalls.empty());
    EXPECT_EQ(report.output, image);
    EXPECT_TRUE(report.messages.empty());
}

TEST(RgbToIhs, CancelMidwayDeliversTheLinesWrittenSoFar)
{
    const host::Image image = ColourRamp(5);
    const auto full = host::RunFilter(Filter(), image);
    ASSERT_EQ(full.result, 0);

    host::RunOptions options;
    options.cancelAtAbortTest = 3;  // the test before line 2
    const auto report = host::RunFilter(Filter(), image, options);
    EXPECT_EQ(report.result, userCanceledErr);
    for (int32_t y = 0; y < 5; ++y) {
        const auto& expected = y < 2 ? full.output : image;
        for (int32_t x = 0; x < 4; ++x)
            EXPECT_EQ(At(report.output, x, y), At(expected, x, y)) << "line " << y;
    }
}

}  // namespace
