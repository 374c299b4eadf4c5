// The line binariser tests the channel sum against 382.5 instead of the
// mean against 127.5, in vector registers. Compared here with the pixel test
// itself, which divides, on every float near the threshold, on special
// values and on random bit patterns, for both feature sides, with every
// instruction set compiled in that this processor runs.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include <hwy/targets.h>

#include "binary_features.h"

// The framework linked in here expects a filter body.
extern "C" const char gAboutText[] = "binarise test";
extern "C" int32_t MainUserEntry(void)
{
    return 0;
}

namespace {

void ExpectSameAsPixelTest(const std::vector<RGB96>& pixels)
{
    std::vector<int32_t> out(pixels.size());
    for (int64_t target : hwy::SupportedAndGeneratedTargets()) {
        hwy::SetSupportedTargetsForTest(target);
        for (BinaryFeatureSide side : {kBinaryBlackFeature, kBinaryWhiteFeature}) {
            // Odd widths leave a tail after the last full vector.
            for (size_t width : {pixels.size(), pixels.size() - 3}) {
                BinaryBinariseLine(pixels.data(), static_cast<int32_t>(width), side, out.data());
                for (size_t x = 0; x < width; x++)
                    ASSERT_EQ(out[x], BinaryPixelValue(&pixels[x], side))
                        << pixels[x].c[0] << " " << pixels[x].c[1] << " " << pixels[x].c[2]
                        << " side " << side << " target " << hwy::TargetName(target);
            }
        }
    }
    hwy::SetSupportedTargetsForTest(0);
}

RGB96 Pixel(float a, float b, float c)
{
    RGB96 p;
    p.c[0] = a, p.c[1] = b, p.c[2] = c;
    return p;
}

TEST(BinariseLine, EveryFloatAroundTheThreshold)
{
    std::vector<RGB96> pixels;
    for (float start : {127.5f, 382.5f, 255.0f}) {
        float below = start, above = start;
        for (int i = 0; i < 20000; i++) {
            below = std::nextafter(below, 0.0f);
            above = std::nextafter(above, 1000.0f);
            // One channel carries the value, or it is split over the three.
            pixels.push_back(Pixel(below, 0.0f, 0.0f));
            pixels.push_back(Pixel(above, 0.0f, 0.0f));
            pixels.push_back(Pixel(below / 3.0f, below / 3.0f, below / 3.0f));
            pixels.push_back(Pixel(above / 3.0f, above / 3.0f, above / 3.0f));
            pixels.push_back(Pixel(127.5f, 127.5f, below - 255.0f));
        }
    }
    ExpectSameAsPixelTest(pixels);
}

TEST(BinariseLine, SpecialValuesAndRandomBitPatterns)
{
    const float special[] = {0.0f,
                             -0.0f,
                             127.5f,
                             255.0f,
                             std::numeric_limits<float>::quiet_NaN(),
                             std::numeric_limits<float>::infinity(),
                             -std::numeric_limits<float>::infinity(),
                             std::numeric_limits<float>::denorm_min(),
                             std::numeric_limits<float>::max(),
                             -std::numeric_limits<float>::max()};
    std::vector<RGB96> pixels;
    for (float a : special)
        for (float b : special)
            for (float c : special)
                pixels.push_back(Pixel(a, b, c));
    std::mt19937 rng(7);
    std::uniform_real_distribution<float> near(100.0f, 160.0f);
    for (int i = 0; i < 200000; i++) {
        uint32_t bits[3] = {static_cast<uint32_t>(rng()), static_cast<uint32_t>(rng()),
                            static_cast<uint32_t>(rng())};
        RGB96 p;
        std::memcpy(p.c, bits, sizeof bits);
        pixels.push_back(p);
        pixels.push_back(Pixel(near(rng), near(rng), near(rng)));
    }
    ExpectSameAsPixelTest(pixels);
}

}  // namespace
