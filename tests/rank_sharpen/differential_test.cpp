// The fast rank_sharpen against the filter as first written, byte for byte
// and report for report, on every instruction set the build made: random
// images of every mode (NaN, infinities, signed zeros, denormals, values out
// of range), thin and tiny sizes, every disc size, mode, amount and clip
// fraction, and cancels at random points.
#include <gtest/gtest.h>

#include "scratch_dir.h"

#include <filesystem>
#include <fstream>
#include <limits>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include <unistd.h>

#include "../line_access/differential_support.h"
#include "host.h"
#include "platform.h"

namespace fs = std::filesystem;
using differential::ModeDepth;

namespace {

const host::Module& Fast()
{
    static host::Module module(PLUGIN_DIR "/rank_sharpen.so");
    return module;
}

const host::Module& Literal()
{
    static host::Module module(TEST_PLUGIN_DIR "/plain_rank.so");
    return module;
}

class RankSharpenDifferential : public ::testing::Test {
protected:
    void SetUp() override
    {
        desk_.emplace(kDesktopFolderType, dir_);
        prefs_.emplace(kPreferencesFolderType, dir_);
    }
    void TearDown() override
    {
        desk_.reset();
        prefs_.reset();
    }
    void Parameters(const std::string& text)
    {
        std::ofstream(dir_ / "ranksharp.txt", std::ios::binary) << text;
    }

    // The literal filter once, the fast one on every instruction set.
    void Compare(const host::Image& image, const std::string& what,
                 const host::test::RunOptions& options = {})
    {
        const host::test::RunReport want = host::test::RunFilter(Literal(), image, options);
        for (int64_t target : differential::Targets()) {
            differential::ForcedTarget forced(target);
            const host::test::RunReport got = host::test::RunFilter(Fast(), image, options);
            differential::ExpectSameRun(want, got, what + " on " + hwy::TargetName(target));
            if (HasFailure())
                return;
        }
    }

    test_support::ScratchDir scratch_{"rank_sharpen_diff"};
    fs::path dir_ = scratch_.Path();
    std::optional<host::ScopedFolder> desk_;
    std::optional<host::ScopedFolder> prefs_;
};

const char* const kRadii[] = {"0", "1.414", "2", "2.236", "2.828", "3", "3.162", "3.606", "4"};
const char* const kModes[] = {"1", "2", "3"};
const char* const kAmounts[] = {"100", "0", "250", "-60", "nan", "1e39"};
const char* const kClips[] = {"0.005", "0", "-1", "0.3"};

std::string RandomParameters(std::mt19937& rng)
{
    std::ostringstream text;
    text << kRadii[rng() % 9] << "\r" << kModes[rng() % 3] << "\r" << kAmounts[rng() % 6] << "\r"
         << kClips[rng() % 4] << "\r";
    return text.str();
}

// Sizes from 1 × N and N × 1 up to a few vectors wide, with ragged tails.
void RandomSize(std::mt19937& rng, int32_t* width, int32_t* height)
{
    switch (rng() % 4) {
    case 0:
        *width = 1;
        *height = 1 + static_cast<int32_t>(rng() % 20);
        break;
    case 1:
        *width = 1 + static_cast<int32_t>(rng() % 40);
        *height = 1;
        break;
    default:
        *width = 1 + static_cast<int32_t>(rng() % 45);
        *height = 1 + static_cast<int32_t>(rng() % 12);
    }
}

TEST_F(RankSharpenDifferential, RandomImagesOfEveryModeAndParameter)
{
    std::mt19937 rng(1234);
    const auto& modes = differential::AllModes();
    for (int i = 0; i < 1000; ++i) {
        const ModeDepth md = modes[rng() % modes.size()];
        int32_t w = 0, h = 0;
        RandomSize(rng, &w, &h);
        const std::string params = RandomParameters(rng);
        Parameters(params);
        const bool awkward = rng() % 2 == 0;
        const host::Image image = rng() % 3 == 0
                                      ? differential::PhotoLike(rng, md, w, h)
                                      : differential::RandomImage(rng, md, w, h, awkward);
        Compare(image, "case " + std::to_string(i) + " " + host::ModeName(md.mode, md.depth) + " " +
                           std::to_string(w) + "x" + std::to_string(h) + " params " + params);
        if (HasFailure())
            return;
    }
}

// Every disc size on one photo-like image wide enough for several vectors.
TEST_F(RankSharpenDifferential, EveryDiscSizeOnAPhotoLikeImage)
{
    std::mt19937 rng(5);
    const host::Image image = differential::PhotoLike(rng, {plugInModeRGBColor, 8}, 83, 29);
    for (const char* radius : kRadii) {
        for (const char* mode : kModes) {
            Parameters(std::string(radius) + "\r" + mode + "\r100\r0.005\r");
            Compare(image, std::string("radius ") + radius + " mode " + mode);
        }
    }
}

// Grey float images made of a few values. A NaN never wins a minimum or
// maximum, but a NaN centre stays; plus and minus zero compare equal, so the
// first of them in rank order wins, and images whose brightness holds -0
// keep that order.
TEST_F(RankSharpenDifferential, NaNsAndSignedZerosKeepTheirPlaces)
{
    std::mt19937 rng(3);
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const std::vector<std::vector<float>> palettes = {
        {nan, 0.25f, 0.5f, 1.0f, 0.75f, 0.1f},
        {0.0f, -0.0f, 0.25f, -0.25f, 1.0f, 0.5f},
        {0.0f, -0.0f, nan, 0.25f, -0.25f, 1.0f},
        {-nan, 0.0f, 0.3f, 0.6f, 0.9f, 0.45f},
    };
    for (int i = 0; i < 120; ++i) {
        const auto& palette = palettes[static_cast<size_t>(i) % palettes.size()];
        host::Image image = host::Image::Make(9 + i % 23, 5 + i % 7, plugInModeRGB96, 32);
        for (int32_t y = 0; y < image.height; ++y)
            for (int32_t x = 0; x < image.width; ++x) {
                const float v = palette[rng() % palette.size()];
                for (int p = 0; p < 3; ++p)
                    image.F32(x, y, p) = v;
            }
        Parameters(std::string(kRadii[i % 9]) + "\r" + kModes[i % 3] + "\r100\r" +
                   (i % 2 ? "-1" : "0") + "\r");
        Compare(image,
                "palette " + std::to_string(i % palettes.size()) + ", image " + std::to_string(i));
        if (HasFailure())
            return;
    }
}

// Under a small memory budget the working images live in files in the
// Preferences folder; the line-by-line opening and closing reads them the
// same way.
TEST_F(RankSharpenDifferential, WorkingImagesInFiles)
{
    std::mt19937 rng(29);
    host::ScopedMemoryBudget budget(512);
    for (int i = 0; i < 6; ++i) {
        const host::Image image =
            differential::PhotoLike(rng, {plugInModeRGBColor, 8}, 40 + 7 * i, 12 + i);
        Parameters(RandomParameters(rng));
        Compare(image, "on disk, image " + std::to_string(i));
    }
}

// Infinities make default NaNs (-inf - -inf) that meet the NaN of a "nan"
// amount and the colour differences in the output sums: each result keeps
// the NaN the plain filter gives, sign included.
TEST_F(RankSharpenDifferential, TwoNaNsMeetingGiveThePlainFiltersNaN)
{
    const float inf = std::numeric_limits<float>::infinity();
    host::Image image = host::Image::Make(17, 1, plugInModeGray32, 32);
    for (int32_t x = 0; x < 17; ++x)
        image.F32(x, 0) = 0.1f + 0.05f * static_cast<float>(x % 5);
    image.F32(8, 0) = -inf;
    image.F32(12, 0) = inf;
    for (const char* mode : kModes) {
        Parameters(std::string("2.236\r") + mode + "\rnan\r-1\r");
        Compare(image, std::string("mode ") + mode);
    }
}

TEST_F(RankSharpenDifferential, CancelsAtRandomPoints)
{
    std::mt19937 rng(17);
    for (int i = 0; i < 30; ++i) {
        const host::Image image =
            differential::PhotoLike(rng, {plugInModeRGBColor, 8}, 20 + i, 10 + i % 5);
        Parameters(RandomParameters(rng));
        host::test::RunOptions options;
        options.cancelAtAbortTest = 1 + static_cast<int64_t>(rng() % (5 * image.height));
        Compare(image, "cancel at test " + std::to_string(options.cancelAtAbortTest), options);
    }
}

}  // namespace

// Images large enough that a second thread makes the lower lines' opening
// and closing while the filter works down the upper ones: every size shape
// (square, a few lines, a single column), awkward values, and cancels
// before, at and after the line where the two meet.
class RankSharpenTwoThreads : public RankSharpenDifferential {};

TEST_F(RankSharpenTwoThreads, LargeImagesGiveThePlainFiltersBytes)
{
    std::mt19937 rng(41);
    struct Case {
        ModeDepth md;
        int32_t width;
        int32_t height;
        bool photo;
    };
    const Case cases[] = {
        {{plugInModeRGBColor, 8}, 512, 520, true},
        {{plugInModeGray32, 32}, 530, 500, false},
        {{plugInModeRGB48, 16}, 70001, 4, true},
        {{plugInModeGrayScale, 8}, 1, 270000, true},
    };
    for (const Case& c : cases) {
        const host::Image image =
            c.photo ? differential::PhotoLike(rng, c.md, c.width, c.height)
                    : differential::RandomImage(rng, c.md, c.width, c.height, true);
        const std::string params = RandomParameters(rng);
        Parameters(params);
        const std::string what =
            std::to_string(c.width) + "x" + std::to_string(c.height) + " params " + params;
        Compare(image, what);
        if (HasFailure())
            return;
    }
}

TEST_F(RankSharpenTwoThreads, CancelsAroundTheMeetingLine)
{
    std::mt19937 rng(43);
    const host::Image image = differential::PhotoLike(rng, {plugInModeRGBColor, 8}, 512, 512);
    Parameters("2.9\r3\r100\r0.005\r");
    // Each pass tests for a cancel once a line: the streamed pass at tests
    // 513 ... 1024, where the lower band starts near a third of the way
    // down; the histogram pass, whose lower half a second thread counts, at
    // 1537 ... 2048; the output pass, with the brightness stretched ahead by
    // a second thread, at 2049 ... 2560.
    for (int64_t at : {1, 513, 600, 665, 666, 667, 700, 1024, 1025, 1537, 1792, 1793, 2048, 2049,
                       2100, 2400, 2560}) {
        host::test::RunOptions options;
        options.cancelAtAbortTest = at;
        Compare(image, "cancel at test " + std::to_string(at), options);
        if (HasFailure())
            return;
    }
}
