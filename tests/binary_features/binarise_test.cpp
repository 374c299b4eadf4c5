// The line binarisers test the channel sum against 382.5 instead of the
// mean against 127.5, in vector registers, into integers or bit words.
// Compared here with the pixel test itself, which divides, on every float
// near the threshold, on special values and on random bit patterns, for
// both feature sides, with every instruction set compiled in that this
// processor runs; and the runs found in the bit words with a plain scan.
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

// Bits and runs of the first `width` pixels, each side, against the pixel
// test and a plain scan.
void ExpectBitsAndRuns(const std::vector<RGB96>& pixels, int32_t width, const char* target)
{
    std::vector<uint64_t> words(static_cast<size_t>(width) / 64 + 1, ~uint64_t{0});
    std::vector<int32_t> start(static_cast<size_t>(width) / 2 + 2), end(start.size()),
        label(start.size());
    BinaryRuns runs = {0, start.data(), end.data(), label.data()};
    for (BinaryFeatureSide side : {kBinaryBlackFeature, kBinaryWhiteFeature}) {
        BinaryBinariseBits(pixels.data(), width, side, words.data());
        BinaryFindRuns(words.data(), width, &runs);
        std::vector<std::pair<int32_t, int32_t>> expected;
        for (int32_t x = 0; x < width; x++) {
            int32_t value = BinaryPixelValue(&pixels[x], side);
            ASSERT_EQ(static_cast<int32_t>((words[x / 64] >> (x % 64)) & 1), value)
                << "pixel " << x << " of " << width << " side " << side << " target " << target;
            if (value && (x == 0 || !BinaryPixelValue(&pixels[x - 1], side)))
                expected.push_back({x + 1, x + 1});
            if (value)
                expected.back().second = x + 1;
        }
        if (width % 64 != 0) {
            ASSERT_EQ(words[width / 64] >> (width % 64), 0u) << "bits past the line";
        }
        ASSERT_EQ(runs.count, static_cast<int32_t>(expected.size())) << width << " " << target;
        for (int32_t r = 0; r < runs.count; r++)
            ASSERT_EQ(std::make_pair(start[r], end[r]), expected[r]) << width << " " << target;
    }
}

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

// Lines of every width up to three words and then some, black and white
// in runs of random length, so runs start and end at every bit of a word.
TEST(BinariseBits, BitsAndRunsOfEveryWidth)
{
    std::mt19937 rng(11);
    std::vector<RGB96> pixels;
    std::geometric_distribution<int> runLength(0.2);
    while (pixels.size() < 4000) {
        float v = pixels.size() % 2 ? 0.0f : 255.0f;
        if (rng() % 7 == 0)
            v = std::numeric_limits<float>::quiet_NaN();
        for (int n = runLength(rng) + 1; n > 0; n--)
            pixels.push_back(Pixel(v, v, v));
    }
    for (int64_t target : hwy::SupportedAndGeneratedTargets()) {
        hwy::SetSupportedTargetsForTest(target);
        for (int32_t width = 1; width <= 200; width++)
            ExpectBitsAndRuns(pixels, width, hwy::TargetName(target));
        for (int32_t width : {255, 256, 257, 1023, 1024, 4000})
            ExpectBitsAndRuns(pixels, width, hwy::TargetName(target));
        if (HasFatalFailure())
            break;
    }
    hwy::SetSupportedTargetsForTest(0);
}

// Grey bytes give the bits their pixels give, and label lines change where
// their values do: every byte value at every position, every width up to
// three words and then some, on every instruction set.
TEST(BinariseBits, GreyBytesAndLabelChangesOfEveryWidth)
{
    std::mt19937 rng(13);
    std::vector<uint8_t> bytes(4000);
    for (size_t i = 0; i < bytes.size(); i++)
        bytes[i] = static_cast<uint8_t>(i < 512 ? (i * 97) % 256 : rng() % 256);
    std::vector<RGB96> pixels;
    for (uint8_t v : bytes)
        pixels.push_back(Pixel(v, v, v));
    // Labels with runs of random length; one slot before the line, as in a
    // work line, read as the pixel left of the first.
    std::vector<int32_t> labels(4001);
    std::geometric_distribution<int> runLength(0.3);
    for (size_t i = 0; i < labels.size();) {
        const int32_t value = rng() % 3 == 0 ? 0 : static_cast<int32_t>(rng() % 5);
        for (int n = runLength(rng) + 1; n > 0 && i < labels.size(); n--)
            labels[i++] = value;
    }
    for (int64_t target : hwy::SupportedAndGeneratedTargets()) {
        hwy::SetSupportedTargetsForTest(target);
        for (int32_t width = 1; width <= 4000; width += width < 200 ? 1 : 233) {
            const size_t words = static_cast<size_t>(width) / 64 + 1;
            for (BinaryFeatureSide side : {kBinaryBlackFeature, kBinaryWhiteFeature}) {
                std::vector<uint64_t> want(words, ~uint64_t{0}), got(words, ~uint64_t{0});
                BinaryBinariseBits(pixels.data(), width, side, want.data());
                BinaryBinariseGreyBytes(bytes.data(), width, side, got.data());
                ASSERT_EQ(got, want) << hwy::TargetName(target) << " width " << width;
            }
            std::vector<uint64_t> changes(words, ~uint64_t{0}), expected(words, 0);
            BinaryLabelChanges(labels.data() + 1, width, changes.data());
            for (int32_t x = 0; x < width; x++)
                if (labels[x + 1] != labels[x])
                    expected[x / 64] |= uint64_t{1} << (x % 64);
            if (width % 64 == 0)
                expected.back() = ~uint64_t{0};  // a whole last word is not written
            ASSERT_EQ(changes, expected) << hwy::TargetName(target) << " width " << width;
        }
    }
    hwy::SetSupportedTargetsForTest(0);
}

}  // namespace
