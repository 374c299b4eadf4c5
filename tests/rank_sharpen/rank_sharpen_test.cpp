// The rank-based sharpening filter, end to end through the host: the
// parameter file on the Desktop, the neighbourhood sizes, the modes, the
// stretch, border handling, refusal of flat images and cancelling. Expected
// images come either written out or from a plain reference that builds the
// opening and closing from the disc's offsets directly.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "host.h"
#include "platform.h"

namespace {

struct Params {
    int discSize = 25;  // N
    int mode = 3;
    float amount = 1.0f;  // already divided by 100
    float clip = 0.005f;
};

// Squared-distance bound of each disc size.
int DistanceBound(int discSize)
{
    switch (discSize) {
    case 5:
        return 1;
    case 9:
        return 2;
    case 13:
        return 4;
    case 21:
        return 5;
    case 25:
        return 8;
    case 29:
        return 9;
    case 37:
        return 10;
    case 45:
        return 13;
    default:
        return 18;
    }
}

using Plane = std::vector<float>;

// Minimum or maximum over the disc, with border lines and columns repeated.
Plane Rank(const Plane& src, int w, int h, int discSize, bool maximum)
{
    const int bound = DistanceBound(discSize);
    Plane out(src.size());
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            float r = src[y * w + x];
            for (int dy = -3; dy <= 3; ++dy)
                for (int dx = -3; dx <= 3; ++dx) {
                    if (dx * dx + dy * dy > bound)
                        continue;
                    float s = src[std::clamp(y + dy, 0, h - 1) * w + std::clamp(x + dx, 0, w - 1)];
                    r = maximum ? std::max(r, s) : std::min(r, s);
                }
            out[y * w + x] = r;
        }
    return out;
}

uint8_t ToByte(float v)
{
    if (v < 0.0f)
        return 0;
    if (v > 255.0f)
        return 255;
    return static_cast<uint8_t>(v);
}

// The filter's result on an 8-bit RGB image, or nullopt when it refuses a
// flat image.
std::optional<host::Image> Reference(const host::Image& in, const Params& p)
{
    const int w = in.width, h = in.height;
    const size_t count = static_cast<size_t>(w) * h;
    Plane g(count);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            float r = in.U8(x, y, 0), gr = in.U8(x, y, 1), b = in.U8(x, y, 2);
            g[y * w + x] = (r + gr + b) / 3.0f;
        }
    Plane opening = Rank(Rank(g, w, h, p.discSize, false), w, h, p.discSize, true);
    Plane closing = Rank(Rank(g, w, h, p.discSize, true), w, h, p.discSize, false);
    Plane v(count);
    float lo = 1e20f, hi = -1e20f;
    for (size_t i = 0; i < count; ++i) {
        float bright = g[i] - opening[i], dark = g[i] - closing[i];
        float s;
        if (p.mode == 1)
            s = bright * p.amount + g[i];
        else if (p.mode == 2)
            s = dark * p.amount + g[i];
        else if (std::fabs(bright) > std::fabs(dark))
            s = bright * (2.0f - g[i] / 127.5f) * p.amount + g[i];
        else
            s = (g[i] / 127.5f) * dark * p.amount + g[i];
        v[i] = s;
        lo = std::min(lo, s);
        hi = std::max(hi, s);
    }
    float lowValue = 0.0f, stretch = 0.0f;
    if (p.clip >= 0.0f) {
        float range = hi - lo;
        if (range <= 0.0f)
            return std::nullopt;
        std::vector<int> bins(1000, 0);
        for (float s : v)
            bins[std::min(999, static_cast<int>((s - lo) / range * 1000.0f))]++;
        int lowBin = 0, highBin = 999;
        float sum = 0.0f;
        for (int i = 0; i < 1000; ++i) {
            sum += static_cast<float>(bins[i]);
            float f = sum / (static_cast<float>(w) * static_cast<float>(h));
            if (f <= p.clip)
                lowBin = i;
            if (f < 1.0f - p.clip)
                highBin = i;
        }
        lowValue = lo + range * lowBin / 1000.0f;
        stretch = lo + range * highBin / 1000.0f - lowValue;
        if (stretch == 0.0f) {
            lowValue = lo;
            stretch = range;
        }
    }
    host::Image out = in;
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            float n = p.clip >= 0.0f ? (v[y * w + x] - lowValue) * 255.0f / stretch : v[y * w + x];
            n = std::clamp(n, 0.0f, 255.0f);
            float r = in.U8(x, y, 0), gr = in.U8(x, y, 1), b = in.U8(x, y, 2);
            float c1 = r - gr, c2 = (r + gr) * 0.5f - b;
            out.U8(x, y, 0) = ToByte(n + 0.5f * c1 + c2 / 3.0f);
            out.U8(x, y, 1) = ToByte(n - 0.5f * c1 + c2 / 3.0f);
            out.U8(x, y, 2) = ToByte(n - 2.0f * c2 / 3.0f);
        }
    return out;
}

host::Image Rgb(int w, int h, std::mt19937& rng, bool grey = false)
{
    host::Image img = host::Image::Make(w, h, plugInModeRGBColor, 8);
    std::uniform_int_distribution<int> d(0, 255);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            int v = d(rng);
            for (int c = 0; c < 3; ++c)
                img.U8(x, y, c) = static_cast<uint8_t>(grey ? v : d(rng));
        }
    return img;
}

// A grey RGB image from rows of brightness values.
host::Image Grey(const std::vector<std::vector<int>>& rows)
{
    host::Image img = host::Image::Make(static_cast<int32_t>(rows[0].size()),
                                        static_cast<int32_t>(rows.size()), plugInModeRGBColor, 8);
    for (size_t y = 0; y < rows.size(); ++y)
        for (size_t x = 0; x < rows[y].size(); ++x)
            for (int c = 0; c < 3; ++c)
                img.U8(static_cast<int>(x), static_cast<int>(y), c) =
                    static_cast<uint8_t>(rows[y][x]);
    return img;
}

std::vector<int> GreyRow(const host::Image& img, int y)
{
    std::vector<int> row;
    for (int x = 0; x < img.width; ++x)
        row.push_back(img.U8(x, y, 0));
    return row;
}

class RankSharpenTest : public ::testing::Test {
protected:
    RankSharpenTest() : module_(PLUGIN_DIR "/rank_sharpen.so")
    {
        std::random_device rd;
        dir_ = std::filesystem::temp_directory_path() /
               ("rank_sharpen_test_" + std::to_string(rd()) + std::to_string(rd()));
        std::filesystem::create_directories(dir_ / "desk");
        std::filesystem::create_directories(dir_ / "pref");
        desk_.emplace(kDesktopFolderType, dir_ / "desk");
        pref_.emplace(kPreferencesFolderType, dir_ / "pref");
    }
    ~RankSharpenTest() override
    {
        desk_.reset();
        pref_.reset();
        std::error_code ec;
        std::filesystem::remove_all(dir_, ec);
    }
    void Parameters(const std::string& text)
    {
        std::ofstream(dir_ / "desk" / "ranksharp.txt", std::ios::binary | std::ios::trunc) << text;
    }
    // Runs the filter and checks it against the reference.
    void ExpectMatchesReference(const host::Image& in, const Params& p)
    {
        host::RunReport report = host::RunFilter(module_, in);
        std::optional<host::Image> expected = Reference(in, p);
        EXPECT_TRUE(report.messages.empty());
        if (expected) {
            EXPECT_EQ(report.result, 0);
            EXPECT_TRUE(report.output == *expected);
        } else {
            EXPECT_EQ(report.result, -128);
            EXPECT_TRUE(report.output == in);
        }
    }

    host::Module module_;
    std::filesystem::path dir_;
    std::optional<host::ScopedFolder> desk_, pref_;
};

TEST_F(RankSharpenTest, AboutText)
{
    EXPECT_EQ(host::AboutText(module_), "Rank-Based Sharpening Filter");
}

// Each disc shape D_M (value 100 on black) is kept by an opening with a disc
// no larger than it and changed by a larger one, so this image tells every
// disc size apart.
host::Image DiscSampler()
{
    const int sizes[] = {5, 9, 13, 21, 25, 29, 37, 45, 49};
    const int cell = 12;
    host::Image img = host::Image::Make(3 * cell, 3 * cell, plugInModeRGBColor, 8);
    for (int k = 0; k < 9; ++k) {
        int cx = (k % 3) * cell + 5, cy = (k / 3) * cell + 5;
        int bound = DistanceBound(sizes[k]);
        for (int dy = -3; dy <= 3; ++dy)
            for (int dx = -3; dx <= 3; ++dx)
                if (dx * dx + dy * dy <= bound)
                    for (int c = 0; c < 3; ++c)
                        img.U8(cx + dx, cy + dy, c) = 100;
    }
    return img;
}

TEST_F(RankSharpenTest, RadiusSelectsDiscSize)
{
    const host::Image in = DiscSampler();
    // Mode 1, amount 100 %, no stretch: a pixel the opening drops doubles.
    const std::vector<std::pair<std::string, int>> cases = {
        {"-1", 5},     {"0", 5},    {"1.41", 5},    {"1.4142135", 9},  {"2.0", 13},
        {"2.236", 21}, {"2.9", 25}, {"3.0", 29},    {"3.1622777", 37}, {"3.6055512", 37},
        {"3.606", 45}, {"4.0", 49}, {"4.2426", 49}, {"100", 49},
    };
    for (const auto& [radius, discSize] : cases) {
        SCOPED_TRACE("radius " + radius);
        Parameters(radius + "\r1\r100\r-1\r");
        ExpectMatchesReference(in, {discSize, 1, 1.0f, -1.0f});
    }
    // The sampler really does tell neighbouring sizes apart.
    const int sizes[] = {5, 9, 13, 21, 25, 29, 37, 45, 49};
    for (int k = 0; k + 1 < 9; ++k)
        EXPECT_FALSE(*Reference(in, {sizes[k], 1, 1.0f, -1.0f}) ==
                     *Reference(in, {sizes[k + 1], 1, 1.0f, -1.0f}))
            << sizes[k];
}

TEST_F(RankSharpenTest, ModeIsTruncatedTowardZero)
{
    std::mt19937 rng(11);
    const host::Image in = Rgb(13, 11, rng);
    const std::vector<std::pair<std::string, int>> cases = {
        {"2.9", 2}, {"1.5", 1}, {"1", 1}, {"0", 0}, {"3", 3}, {"-1", 0}, {"7", 0}, {"1e30", 0}};
    for (const auto& [mode, expected] : cases) {
        SCOPED_TRACE("mode " + mode);
        Parameters("2.0\r" + mode + "\r150\r0.01\r");
        ExpectMatchesReference(in, {13, expected, 1.5f, 0.01f});
    }
    EXPECT_FALSE(*Reference(in, {13, 1, 1.5f, 0.01f}) == *Reference(in, {13, 2, 1.5f, 0.01f}));
    EXPECT_FALSE(*Reference(in, {13, 2, 1.5f, 0.01f}) == *Reference(in, {13, 3, 1.5f, 0.01f}));
}

TEST_F(RankSharpenTest, DefaultsWithoutParameterFile)
{
    std::mt19937 rng(3);
    const host::Image in = Rgb(17, 15, rng);
    ExpectMatchesReference(in, {25, 3, 1.0f, 0.005f});
    EXPECT_FALSE(*Reference(in, {25, 3, 1.0f, 0.005f}) == *Reference(in, {29, 3, 1.0f, 0.005f}));
}

TEST_F(RankSharpenTest, MissingNumbersBecomeZero)
{
    std::mt19937 rng(5);
    const host::Image in = Rgb(12, 10, rng);
    Parameters("3.0\r");
    ExpectMatchesReference(in, {29, 0, 0.0f, 0.0f});
    Parameters("");
    ExpectMatchesReference(in, {5, 0, 0.0f, 0.0f});
    Parameters("4,1\r\nabc\r");  // "abc" reads as 0, the clip fraction is missing
    ExpectMatchesReference(in, {49, 1, 0.0f, 0.0f});
}

TEST_F(RankSharpenTest, AmountZeroIsTheStretchAlone)
{
    Parameters("2.9\r3\r0\r0\r");
    host::RunReport report = host::RunFilter(module_, Grey({{10, 20, 30, 40}}));
    EXPECT_EQ(report.result, 0);
    EXPECT_EQ(GreyRow(report.output, 0), (std::vector<int>{0, 85, 170, 255}));
    // Colour differences survive the stretch.
    std::mt19937 rng(9);
    ExpectMatchesReference(Rgb(9, 8, rng), {25, 3, 0.0f, 0.0f});
}

TEST_F(RankSharpenTest, NegativeClipClampsInsteadOfStretching)
{
    struct Case {
        std::string params;
        std::vector<int> in, out;
    };
    // The full disc covers a three-pixel row, so the opening is the row's
    // minimum and the closing its maximum.
    const std::vector<Case> cases = {
        {"4\r1\r100\r-1\r", {50, 100, 50}, {50, 150, 50}},
        {"4\r1\r100\r-1\r", {100, 200, 100}, {100, 255, 100}},
        {"4\r2\r100\r-1\r", {150, 100, 150}, {150, 50, 150}},
        {"4\r2\r300\r-1\r", {100, 20, 100}, {100, 0, 100}},
        {"4\r1\r100\r0\r", {50, 100, 50}, {0, 255, 0}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.params);
        Parameters(c.params);
        host::RunReport report = host::RunFilter(module_, Grey({c.in}));
        EXPECT_EQ(report.result, 0);
        EXPECT_EQ(GreyRow(report.output, 0), c.out);
    }
}

TEST_F(RankSharpenTest, UniformImageIsRefusedAndLeftUnchanged)
{
    host::Image in = Grey({{77, 77, 77}, {77, 77, 77}});
    in.U8(1, 1, 0) = 80;  // same brightness, other colour
    in.U8(1, 1, 2) = 74;
    host::RunReport report = host::RunFilter(module_, in);
    EXPECT_EQ(report.result, -128);
    EXPECT_TRUE(report.output == in);
    EXPECT_TRUE(report.messages.empty());
    // With a negative clip fraction the image is rewritten, brightness kept.
    Parameters("2.9\r3\r100\r-0.5\r");
    report = host::RunFilter(module_, in);
    EXPECT_EQ(report.result, 0);
    EXPECT_TRUE(report.output == in);
    EXPECT_EQ(report.abortTests, 4 * in.height);  // no histogram pass
}

TEST_F(RankSharpenTest, GreyImageStaysGrey)
{
    std::mt19937 rng(21);
    const host::Image in = Rgb(14, 9, rng, true);
    host::RunReport report = host::RunFilter(module_, in);
    ASSERT_EQ(report.result, 0);
    for (int y = 0; y < in.height; ++y)
        for (int x = 0; x < in.width; ++x) {
            EXPECT_EQ(report.output.U8(x, y, 0), report.output.U8(x, y, 1));
            EXPECT_EQ(report.output.U8(x, y, 0), report.output.U8(x, y, 2));
        }
    ExpectMatchesReference(in, {25, 3, 1.0f, 0.005f});
}

TEST_F(RankSharpenTest, BordersRepeatOnThinImages)
{
    std::mt19937 rng(17);
    for (auto [w, h] :
         {std::pair{1, 9}, std::pair{9, 1}, std::pair{1, 1}, std::pair{2, 5}, std::pair{7, 2}}) {
        SCOPED_TRACE(std::to_string(w) + "x" + std::to_string(h));
        for (const auto& [text, p] :
             {std::pair{std::string("4\r3\r200\r0.1\r"), Params{49, 3, 2.0f, 0.1f}},
              std::pair{std::string("1\r1\r100\r0\r"), Params{5, 1, 1.0f, 0.0f}}}) {
            Parameters(text);
            ExpectMatchesReference(Rgb(w, h, rng), p);
        }
    }
}

// Regression: when both clip points fall into one bin the stretch range was
// zero and every pixel went to black or white.
TEST_F(RankSharpenTest, EqualClipPointsStretchOverFullRange)
{
    std::vector<std::vector<int>> rows(25, std::vector<int>(40, 128));
    rows[0][0] = 0;
    rows[24][39] = 255;
    const host::Image in = Grey(rows);
    Parameters("2.9\r3\r0\r0.005\r");
    host::RunReport report = host::RunFilter(module_, in);
    EXPECT_EQ(report.result, 0);
    EXPECT_TRUE(report.output == in);
}

TEST_F(RankSharpenTest, RandomImagesMatchReference)
{
    std::mt19937 rng(1234);
    std::uniform_int_distribution<int> size(1, 12), modeD(0, 3), sizeIndex(0, 8);
    const float radii[] = {1.0f, 1.414f, 2.0f, 2.236f, 2.828f, 3.0f, 3.162f, 3.606f, 4.0f};
    const int sizes[] = {5, 9, 13, 21, 25, 29, 37, 45, 49};
    const float amounts[] = {0.0f, 50.0f, 100.0f, 250.0f};
    const float clips[] = {-1.0f, 0.0f, 0.005f, 0.05f, 0.2f};
    for (int i = 0; i < 40; ++i) {
        int k = sizeIndex(rng), mode = modeD(rng);
        float amount = amounts[rng() % 4], clip = clips[rng() % 5];
        char text[128];
        std::snprintf(text, sizeof text, "%.9g\r%d\r%.9g\r%.9g\r", radii[k], mode, amount, clip);
        Parameters(text);
        SCOPED_TRACE(text);
        ExpectMatchesReference(Rgb(size(rng), size(rng), rng),
                               {sizes[k], mode, amount / 100.0f, clip});
    }
}

TEST_F(RankSharpenTest, CancelStopsAtEveryReportingPass)
{
    std::mt19937 rng(2);
    const host::Image in = Rgb(6, 4, rng);
    const host::Image expected = *Reference(in, {25, 3, 1.0f, 0.005f});
    host::RunReport full = host::RunFilter(module_, in);
    ASSERT_EQ(full.result, 0);
    EXPECT_EQ(full.abortTests, 5 * in.height);
    for (int64_t at = 1; at <= 5 * in.height; ++at) {
        SCOPED_TRACE(at);
        host::RunOptions options;
        options.cancelAtAbortTest = at;
        host::RunReport report = host::RunFilter(module_, in, options);
        EXPECT_EQ(report.result, -128);
        EXPECT_EQ(report.abortTests, at);
        // Lines written before the cancel in the output pass stay written.
        const int64_t written = std::max<int64_t>(0, at - 1 - 4 * in.height);
        for (int y = 0; y < in.height; ++y) {
            const host::Image& want = y < written ? expected : in;
            EXPECT_TRUE(
                std::equal(report.output.Row(y), report.output.Row(y) + in.RowBytes(), want.Row(y)))
                << "line " << y;
        }
    }
}

TEST_F(RankSharpenTest, ParameterFileIsClosedAndNothingIsLeftOpen)
{
    const int32_t before = PlatformOpenFileCount();
    Parameters("2\r3\r100\r0.005\r");
    std::mt19937 rng(4);
    host::RunReport report = host::RunFilter(module_, Rgb(5, 5, rng));
    EXPECT_EQ(report.result, 0);
    EXPECT_EQ(PlatformOpenFileCount(), before);
}

// Regression: with no working image to be had the run went on, refusing
// every line access with a message, and reported success.
TEST_F(RankSharpenTest, MissingWorkingImageStopsRun)
{
    pref_.reset();
    host::ScopedMemoryBudget noMemory(0);
    std::mt19937 rng(6);
    const host::Image in = Rgb(5, 4, rng);
    host::RunReport report = host::RunFilter(module_, in);
    EXPECT_NE(report.result, 0);
    EXPECT_NE(report.result, -128);
    EXPECT_TRUE(report.output == in);
    EXPECT_LE(report.messages.size(), 1u);
}

}  // namespace

namespace {

// The working images have 16-bit sides: a larger image is refused rather
// than sharpened through wrapped, too small working images.
TEST(RankSharpenLimits, ImageTooLargeForTheWorkingImagesIsRefused)
{
    host::Module module(PLUGIN_DIR "/rank_sharpen.so");
    auto wide = host::Image::Make(65536, 1, plugInModeGrayScale, 8);
    auto report = host::RunFilter(module, wide);
    EXPECT_EQ(report.result, -128);
    EXPECT_EQ(report.messages, std::vector<std::string>{
                                   "Image is too large for the working images.  Width and height "
                                   "must not exceed 65535 pixels. (MainUserEntry)"});
    EXPECT_EQ(report.output, wide);
}

}  // namespace
