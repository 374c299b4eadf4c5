// The vectorised rgb_to_ihs against the filter as first written, byte for
// byte and report for report, on every instruction set the build made:
// random images of every mode with NaN, infinities, signed zeros, denormals
// and out-of-range values, widths around the vector lengths, all 2^15 grey
// and colour combinations of a coarse 8-bit grid, and cancels.
#include <gtest/gtest.h>

#include <random>
#include <string>

#include "../line_access/differential_support.h"
#include "host.h"

using differential::ModeDepth;

namespace {

const host::Module& Fast()
{
    static host::Module module(PLUGIN_DIR "/rgb_to_ihs.so");
    return module;
}

const host::Module& Literal()
{
    static host::Module module(TEST_PLUGIN_DIR "/plain_ihs.so");
    return module;
}

void Compare(const host::Image& image, const std::string& what,
             const host::test::RunOptions& options = {})
{
    const host::test::RunReport want = host::test::RunFilter(Literal(), image, options);
    for (int64_t target : differential::Targets()) {
        differential::ForcedTarget forced(target);
        differential::ExpectSameRun(want, host::test::RunFilter(Fast(), image, options),
                                    what + " on " + hwy::TargetName(target));
    }
}

TEST(RgbToIhsDifferential, RandomImagesOfEveryMode)
{
    std::mt19937 rng(7);
    const auto& modes = differential::AllModes();
    for (int i = 0; i < 300 && !::testing::Test::HasFailure(); ++i) {
        const ModeDepth md = modes[rng() % modes.size()];
        const int32_t w = 1 + static_cast<int32_t>(rng() % 70);
        const int32_t h = 1 + static_cast<int32_t>(rng() % 6);
        const host::Image image = differential::RandomImage(rng, md, w, h, rng() % 2 == 0);
        Compare(image, "case " + std::to_string(i) + " " + host::ModeName(md.mode, md.depth) + " " +
                           std::to_string(w) + "x" + std::to_string(h));
    }
}

// Every channel on a grid of 32 levels, including the ties between the
// largest channels and the greys, as 8-bit and float images.
TEST(RgbToIhsDifferential, ColourGridWithAllTies)
{
    for (int16_t depth : {8, 32}) {
        host::Image image = host::Image::Make(
            32 * 32, 32, depth == 8 ? plugInModeRGBColor : plugInModeRGB96, depth);
        for (int32_t y = 0; y < 32; ++y)
            for (int32_t x = 0; x < 32 * 32; ++x) {
                const int levels[3] = {y * 255 / 31, (x / 32) * 255 / 31, (x % 32) * 255 / 31};
                for (int p = 0; p < 3; ++p) {
                    if (depth == 8)
                        image.U8(x, y, p) = static_cast<uint8_t>(levels[p]);
                    else
                        image.F32(x, y, p) = static_cast<float>(levels[p]) / 255.0f;
                }
            }
        Compare(image, "grid, depth " + std::to_string(depth));
    }
}

TEST(RgbToIhsDifferential, CancelsAtRandomLines)
{
    std::mt19937 rng(9);
    for (int i = 0; i < 10; ++i) {
        const host::Image image =
            differential::RandomImage(rng, {plugInModeRGBColor, 8}, 19, 12, false);
        host::test::RunOptions options;
        options.cancelAtAbortTest = 1 + static_cast<int64_t>(rng() % 12);
        Compare(image, "cancel at test " + std::to_string(options.cancelAtAbortTest), options);
    }
}

}  // namespace
