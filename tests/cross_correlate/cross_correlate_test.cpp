// The cross_correlate filter end to end through the host library: the size
// checks and their messages, the centred correlation surface against a
// direct circular correlation, the shared scaling, and cancelling.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include <unistd.h>

#include "host.h"
#include "platform.h"
#include "refusal_messages.h"

namespace fs = std::filesystem;

namespace {

// A fresh Preferences folder for each test.
class CrossCorrelate : public ::testing::Test {
protected:
    CrossCorrelate()
        : dir_(MakeDir()), prefs_(kPreferencesFolderType, dir_),
          module_(PLUGIN_DIR "/cross_correlate.so")
    {}
    ~CrossCorrelate() override
    {
        std::error_code ec;
        fs::remove_all(dir_, ec);
    }

    static fs::path MakeDir()
    {
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        std::string name = std::string("cross_correlate_") + info->test_suite_name() + "_" +
                           info->name() + "_" + std::to_string(::getpid());
        std::replace(name.begin(), name.end(), '/', '_');
        fs::path dir = fs::temp_directory_path() / name;
        fs::remove_all(dir);
        fs::create_directories(dir);
        return dir;
    }

    // Writes the stored reference image file: a 6-byte header of native
    // unsigned 16-bit width, height and bytes per pixel (12), then RGB96
    // pixels as native floats.
    void WriteReference(const host::Image& image) const
    {
        std::ofstream out(dir_ / "Reference Image.xzy", std::ios::binary);
        const uint16_t header[3] = {static_cast<uint16_t>(image.width),
                                    static_cast<uint16_t>(image.height), 12};
        out.write(reinterpret_cast<const char*>(header), sizeof header);
        for (int32_t y = 0; y < image.height; y++)
            for (int32_t x = 0; x < image.width; x++)
                for (int c = 0; c < 3; c++) {
                    const float v = image.U8(x, y, c);
                    out.write(reinterpret_cast<const char*>(&v), sizeof v);
                }
    }
    void WriteReference(int32_t width, int32_t height) const
    {
        WriteReference(host::Image::Make(width, height, plugInModeRGBColor, 8));
    }

    fs::path dir_;
    host::ScopedFolder prefs_;
    host::Module module_;
};

host::Image RandomImage(int32_t n, uint32_t seed, std::array<int, 3> top = {255, 255, 255})
{
    auto image = host::Image::Make(n, n, plugInModeRGBColor, 8);
    std::mt19937 rng(seed);
    for (int32_t y = 0; y < n; y++)
        for (int32_t x = 0; x < n; x++)
            for (int c = 0; c < 3; c++)
                image.U8(x, y, c) = static_cast<uint8_t>(rng() % (top[c] + 1));
    return image;
}

// The image moved cyclically by (dx, dy): pixel (x, y) comes from
// (x - dx, y - dy).
host::Image Shifted(const host::Image& image, int32_t dx, int32_t dy)
{
    auto out = image;
    const int32_t n = image.width;
    for (int32_t y = 0; y < n; y++)
        for (int32_t x = 0; x < n; x++)
            for (int c = 0; c < 3; c++)
                out.U8(x, y, c) = image.U8(((x - dx) % n + n) % n, ((y - dy) % n + n) % n, c);
    return out;
}

// Direct circular cross-correlation, centred and mapped by the shared
// min and max onto 0..255: value at output (X, Y), channel c.
std::vector<double> ExpectedSurface(const host::Image& image, const host::Image& ref)
{
    const int32_t n = image.width;
    std::vector<double> sums(static_cast<size_t>(n) * n * 3);
    for (int c = 0; c < 3; c++)
        for (int32_t dy = 0; dy < n; dy++)
            for (int32_t dx = 0; dx < n; dx++) {
                double s = 0;
                for (int32_t v = 0; v < n; v++)
                    for (int32_t u = 0; u < n; u++)
                        s += double(image.U8((u + dx) % n, (v + dy) % n, c)) * ref.U8(u, v, c);
                const int32_t X = (dx + n / 2) % n, Y = (dy + n / 2) % n;
                sums[(static_cast<size_t>(Y) * n + X) * 3 + c] = s;
            }
    const auto [lo, hi] = std::minmax_element(sums.begin(), sums.end());
    const double min = *lo, max = *hi;
    for (double& s : sums)
        s = (s - min) * 255.0 / (max - min);
    return sums;
}

std::array<std::pair<int32_t, int32_t>, 3> BrightestPerChannel(const host::Image& image)
{
    std::array<std::pair<int32_t, int32_t>, 3> at{};
    for (int c = 0; c < 3; c++) {
        int best = -1;
        for (int32_t y = 0; y < image.height; y++)
            for (int32_t x = 0; x < image.width; x++)
                if (image.U8(x, y, c) > best) {
                    best = image.U8(x, y, c);
                    at[c] = {x, y};
                }
    }
    return at;
}

TEST_F(CrossCorrelate, AboutText)
{
    EXPECT_EQ(host::AboutText(module_), "Cross-Correlate Current Image with Reference Image");
}

struct SizeCase {
    int32_t width, height;
    int32_t refWidth, refHeight;  // -1: no reference image stored
    const std::string* message;
};

TEST_F(CrossCorrelate, RefusesSizesWithTheirMessage)
{
    const SizeCase cases[] = {
        {40, 40, 40, 40, &kMessageThird},  // not a power of two: N = 64
        {16, 16, 16, 16, &kMessageThird},  // below the smallest size: N = 32
        {64, 32, 64, 64, &kMessageFirst},  // not square, whatever the reference
        {64, 32, 64, 32, &kMessageFirst},  // the image is checked before the reference
        {64, 32, -1, -1, &kMessageFirst},
        {64, 64, 64, 32, &kMessageSecond},   // reference not square
        {64, 64, 128, 128, &kMessageThird},  // reference larger
        {64, 64, 32, 32, &kMessageThird},    // reference smaller
        {64, 64, -1, -1, &kMessageThird},    // no reference: 0 x 0
        {32, 32, -1, -1, &kMessageThird},
    };
    for (const auto& k : cases) {
        SCOPED_TRACE(std::to_string(k.width) + "x" + std::to_string(k.height) + " ref " +
                     std::to_string(k.refWidth) + "x" + std::to_string(k.refHeight));
        fs::remove(dir_ / "Reference Image.xzy");
        if (k.refWidth >= 0)
            WriteReference(k.refWidth, k.refHeight);
        const auto image = RandomImage(std::max(k.width, k.height), 11);
        auto input = host::Image::Make(k.width, k.height, plugInModeRGBColor, 8);
        for (int32_t y = 0; y < k.height; y++)
            for (int32_t x = 0; x < k.width; x++)
                for (int c = 0; c < 3; c++)
                    input.U8(x, y, c) = image.U8(x, y, c);

        const auto report = host::RunFilter(module_, input);
        EXPECT_EQ(report.result, -128);
        EXPECT_EQ(report.messages, std::vector<std::string>{*k.message});
        EXPECT_EQ(report.output, input);
        EXPECT_TRUE(report.progress.empty());
        EXPECT_EQ(report.abortTests, 0);
    }
}

TEST_F(CrossCorrelate, ImageEqualToReferencePeaksAtCentre)
{
    const auto image = RandomImage(32, 21);
    WriteReference(image);
    const auto report = host::RunFilter(module_, image);
    ASSERT_EQ(report.result, 0);
    EXPECT_TRUE(report.messages.empty());
    for (const auto& at : BrightestPerChannel(report.output))
        EXPECT_EQ(at, std::make_pair(16, 16));
}

struct ShiftCase {
    int32_t dx, dy;
};

TEST_F(CrossCorrelate, CyclicShiftMovesPeakAndMatchesDirectCorrelation)
{
    const int32_t n = 32;
    const auto ref = RandomImage(n, 31);
    WriteReference(ref);
    const ShiftCase cases[] = {{0, 0}, {5, -3}, {-16, 7}, {31, 1}};
    for (const auto& k : cases) {
        SCOPED_TRACE(std::to_string(k.dx) + "," + std::to_string(k.dy));
        const auto image = Shifted(ref, k.dx, k.dy);
        const auto report = host::RunFilter(module_, image);
        ASSERT_EQ(report.result, 0);
        const std::pair<int32_t, int32_t> peak = {((n / 2 + k.dx) % n + n) % n,
                                                  ((n / 2 + k.dy) % n + n) % n};
        for (const auto& at : BrightestPerChannel(report.output))
            EXPECT_EQ(at, peak);

        const auto expected = ExpectedSurface(image, ref);
        int worst = 0;
        for (int32_t y = 0; y < n; y++)
            for (int32_t x = 0; x < n; x++)
                for (int c = 0; c < 3; c++) {
                    const double e = expected[(static_cast<size_t>(y) * n + x) * 3 + c];
                    worst = std::max(worst, std::abs(int(report.output.U8(x, y, c)) - int(e)));
                }
        // Output bytes are truncated; single-precision error may tip one over.
        EXPECT_LE(worst, 1);
    }
}

TEST_F(CrossCorrelate, MinAndMaxSharedAcrossChannels)
{
    const int32_t n = 32;
    // Green much dimmer than red and blue: it holds the smallest value and
    // its surface stays well below 255. A float image shows the exact ends.
    const auto ref = RandomImage(n, 42, {255, 40, 255});
    WriteReference(ref);
    const auto bytes = RandomImage(n, 41, {255, 40, 255});
    auto image = host::Image::Make(n, n, plugInModeRGB96, 32);
    for (int32_t y = 0; y < n; y++)
        for (int32_t x = 0; x < n; x++)
            for (int c = 0; c < 3; c++)
                image.F32(x, y, c) = bytes.U8(x, y, c) / 255.0f;
    const auto report = host::RunFilter(module_, image);
    ASSERT_EQ(report.result, 0);
    std::array<float, 3> lo{1e30f, 1e30f, 1e30f}, hi{-1e30f, -1e30f, -1e30f};
    for (int32_t y = 0; y < n; y++)
        for (int32_t x = 0; x < n; x++)
            for (int c = 0; c < 3; c++) {
                const float v = report.output.F32(x, y, c) * 255.0f;
                lo[c] = std::min(lo[c], v);
                hi[c] = std::max(hi[c], v);
            }
    EXPECT_EQ(lo[1], 0.0f);
    EXPECT_GT(lo[0], 0.0f);
    EXPECT_GT(lo[2], 0.0f);
    EXPECT_NEAR(std::max(hi[0], hi[2]), 255.0f, 1e-3f);
    EXPECT_LT(hi[1], 100.0f);
}

// A black image correlates to 0 everywhere: max equals min, and the scale
// used to be a division by zero.
TEST_F(CrossCorrelate, FlatSurfaceGivesZerosNotDivisionByZero)
{
    const int32_t n = 32;
    WriteReference(RandomImage(n, 51));
    const auto black = host::Image::Make(n, n, plugInModeRGB96, 32);
    auto report = host::RunFilter(module_, black);
    EXPECT_EQ(report.result, 0);
    EXPECT_TRUE(report.messages.empty());
    EXPECT_EQ(report.output, black);

    // And an all-black reference under a busy image, in 8 bits.
    WriteReference(n, n);
    const auto busy = RandomImage(n, 52);
    report = host::RunFilter(module_, busy);
    EXPECT_EQ(report.result, 0);
    EXPECT_EQ(report.output, host::Image::Make(n, n, plugInModeRGBColor, 8));
}

TEST_F(CrossCorrelate, ProgressOnlyInFirstAndLastTenth)
{
    const int32_t n = 32;
    const auto image = RandomImage(n, 61);
    WriteReference(image);
    const auto report = host::RunFilter(module_, image);
    ASSERT_EQ(report.result, 0);
    EXPECT_EQ(report.abortTests, 2 * n);
    ASSERT_FALSE(report.progress.empty());
    for (const auto& [done, total] : report.progress) {
        const double f = double(done) / double(total);
        EXPECT_TRUE(f <= 0.1 || (f >= 0.9 && f <= 1.0)) << done << "/" << total;
    }
}

TEST_F(CrossCorrelate, CancelWhileReadingLeavesImageUntouched)
{
    const int32_t n = 32;
    const auto image = RandomImage(n, 71);
    WriteReference(RandomImage(n, 72));
    for (int64_t at : {int64_t{1}, int64_t{n / 2}, int64_t{n}}) {
        SCOPED_TRACE(at);
        host::RunOptions options;
        options.cancelAtAbortTest = at;
        const auto report = host::RunFilter(module_, image, options);
        EXPECT_EQ(report.result, -128);
        EXPECT_TRUE(report.messages.empty());
        EXPECT_EQ(report.output, image);
        EXPECT_EQ(report.abortTests, at);
    }
}

TEST_F(CrossCorrelate, CancelWhileWritingKeepsLinesAlreadyWritten)
{
    const int32_t n = 32;
    const auto image = RandomImage(n, 81);
    WriteReference(RandomImage(n, 82));
    const auto full = host::RunFilter(module_, image);
    ASSERT_EQ(full.result, 0);
    for (int32_t written : {0, 5, n - 1}) {
        SCOPED_TRACE(written);
        host::RunOptions options;
        options.cancelAtAbortTest = n + written + 1;
        const auto report = host::RunFilter(module_, image, options);
        EXPECT_EQ(report.result, -128);
        for (int32_t y = 0; y < n; y++) {
            const auto& source = y < written ? full.output : image;
            EXPECT_TRUE(std::equal(report.output.Row(y), report.output.Row(y) + image.RowBytes(),
                                   source.Row(y)))
                << "line " << y;
        }
    }
}

TEST_F(CrossCorrelate, TemporaryImagesLeaveNoFilesBehind)
{
    const int32_t n = 32;
    const auto image = RandomImage(n, 91);
    WriteReference(image);
    const auto inMemory = host::RunFilter(module_, image);
    ASSERT_EQ(inMemory.result, 0);
    {
        // No temporary memory: the six images go to files, read by column
        // from disk, and the result is the same.
        host::ScopedMemoryBudget none(0);
        const auto onDisk = host::RunFilter(module_, image);
        ASSERT_EQ(onDisk.result, 0);
        EXPECT_EQ(onDisk.output, inMemory.output);
    }
    std::vector<std::string> left;
    for (const auto& entry : fs::directory_iterator(dir_))
        left.push_back(entry.path().filename());
    EXPECT_EQ(left, std::vector<std::string>{"Reference Image.xzy"});
}

}  // namespace
