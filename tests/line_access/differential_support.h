// Shared by the differential tests: random images of every host mode, with
// the awkward float values (NaN, infinities, negative and above-range
// values, denormals, signed zeros), the instruction sets the build made, and
// a comparison of two whole runs.
#pragma once

#include <gtest/gtest.h>

#include <hwy/highway.h>
#include <hwy/targets.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "host.h"
#include "testing.h"

namespace differential {

struct ModeDepth {
    int16_t mode;
    int16_t depth;
};

// Every mode the line access converts.
inline const std::vector<ModeDepth>& AllModes()
{
    static const std::vector<ModeDepth> modes = {
        {plugInModeGrayScale, 8}, {plugInModeRGBColor, 8}, {plugInModeLabColor, 8},
        {plugInModeGray16, 16},   {plugInModeRGB48, 16},   {plugInModeLab48, 16},
        {plugInModeRGB96, 32},    {plugInModeGray32, 32},
    };
    return modes;
}

// Kinds of awkward float values; an image carries one kind or all of them,
// since infinities turn the stretch of a whole image into NaN and would hide
// what the NaNs alone do.
enum Awkward : uint32_t {
    kNaNs = 1,
    kInfinities = 2,
    kSignedZeros = 4,
    kDenormals = 8,
    kOutOfRange = 16,
    kAllAwkward = 31,
};

// A float sample: mostly ordinary values in 0 … 1, with a share of the
// awkward values of the given kinds.
inline float AwkwardFloat(std::mt19937& rng, uint32_t kinds = kAllAwkward)
{
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    const float tiny = std::numeric_limits<float>::denorm_min();
    const std::vector<std::pair<uint32_t, float>> special = {
        {kNaNs, nan},          {kNaNs, -nan},
        {kInfinities, inf},    {kInfinities, -inf},
        {kDenormals, tiny},    {kDenormals, -tiny},
        {kDenormals, 1e-40f},  {kSignedZeros, 0.0f},
        {kSignedZeros, -0.0f}, {kOutOfRange, -1.0f},
        {kOutOfRange, 2.0f},   {kOutOfRange, 1e30f},
        {kOutOfRange, -1e30f}, {kOutOfRange, std::numeric_limits<float>::max()},
    };
    if (rng() % 100 < 10) {
        const auto& pick = special[rng() % special.size()];
        if (pick.first & kinds)
            return pick.second;
    }
    if ((kinds & kOutOfRange) && rng() % 100 < 4)
        return std::uniform_real_distribution<float>(-0.5f, 1.5f)(rng);
    return std::uniform_real_distribution<float>(0.0f, 1.0f)(rng);
}

// A random image; with `awkward`, float images carry one kind of awkward
// values or all of them, and 16-bit ones values above 32768.
inline host::Image RandomImage(std::mt19937& rng, ModeDepth md, int32_t width, int32_t height,
                               bool awkward)
{
    host::Image image = host::Image::Make(width, height, md.mode, md.depth);
    const size_t samples = image.pixels.size() / image.SampleBytes();
    const uint32_t kinds = rng() % 6 == 0 ? kAllAwkward : 1u << (rng() % 5);
    for (size_t i = 0; i < samples; ++i) {
        uint8_t* at = image.pixels.data() + i * image.SampleBytes();
        if (md.depth == 8) {
            *at = static_cast<uint8_t>(rng());
        } else if (md.depth == 16) {
            uint16_t v = static_cast<uint16_t>(awkward ? rng() : rng() % 32769);
            std::memcpy(at, &v, 2);
        } else {
            float v = awkward ? AwkwardFloat(rng, kinds)
                              : std::uniform_real_distribution<float>(0.0f, 1.0f)(rng);
            std::memcpy(at, &v, 4);
        }
    }
    return image;
}

// A photo-like RGB image: smooth shading, edges and noise, so neighbourhoods
// hold ties, plateaus and steps.
inline host::Image PhotoLike(std::mt19937& rng, ModeDepth md, int32_t width, int32_t height)
{
    host::Image image = host::Image::Make(width, height, md.mode, md.depth);
    std::normal_distribution<float> noise(0.0f, 6.0f);
    for (int32_t y = 0; y < height; ++y)
        for (int32_t x = 0; x < width; ++x)
            for (int p = 0; p < image.planes; ++p) {
                float v = 128.0f + 90.0f * std::sin(0.07f * x + 0.5f * p) * std::cos(0.05f * y);
                if ((x / 9 + y / 7) % 3 == 0)
                    v = 30.0f + 10.0f * p;
                if (rng() % 4 == 0)
                    v += noise(rng);
                v = std::fmin(std::fmax(v, 0.0f), 255.0f);
                if (md.depth == 8)
                    image.U8(x, y, p) = static_cast<uint8_t>(v);
                else if (md.depth == 16)
                    image.U16(x, y, p) = static_cast<uint16_t>(v * 128.0f);
                else
                    image.F32(x, y, p) = v / 255.0f;
            }
    return image;
}

// The instruction sets this machine runs that the build compiled for.
inline std::vector<int64_t> Targets()
{
    hwy::SetSupportedTargetsForTest(0);
    return hwy::SupportedAndGeneratedTargets();
}

// Runs the modules on one instruction set while alive.
class ForcedTarget {
public:
    explicit ForcedTarget(int64_t target) { hwy::SetSupportedTargetsForTest(target); }
    ~ForcedTarget() { hwy::SetSupportedTargetsForTest(0); }
    ForcedTarget(const ForcedTarget&) = delete;
    ForcedTarget& operator=(const ForcedTarget&) = delete;
};

// Everything a host sees of a run must be the same.
inline void ExpectSameRun(const host::test::RunReport& want, const host::test::RunReport& got,
                          const std::string& what)
{
    EXPECT_EQ(want.result, got.result) << what;
    EXPECT_EQ(want.messages, got.messages) << what;
    EXPECT_EQ(want.progress, got.progress) << what;
    EXPECT_EQ(want.abortTests, got.abortTests) << what;
    EXPECT_EQ(want.cancelled, got.cancelled) << what;
    ASSERT_EQ(want.advanceCalls.size(), got.advanceCalls.size()) << what;
    for (size_t i = 0; i < want.advanceCalls.size(); ++i) {
        EXPECT_EQ(std::memcmp(&want.advanceCalls[i], &got.advanceCalls[i],
                              sizeof(host::test::AdvanceCall)),
                  0)
            << what << ", advanceState call " << i;
    }
    ASSERT_EQ(want.output.pixels.size(), got.output.pixels.size()) << what;
    size_t firstDiff = want.output.pixels.size();
    for (size_t i = 0; i < want.output.pixels.size(); ++i)
        if (want.output.pixels[i] != got.output.pixels[i]) {
            firstDiff = i;
            break;
        }
    EXPECT_EQ(firstDiff, want.output.pixels.size()) << what << ": output bytes differ";
}

}  // namespace differential
