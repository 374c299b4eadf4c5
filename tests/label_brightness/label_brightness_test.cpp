// label_brightness end to end: black features away from the edge numbered
// by label value and painted red = n, green = blue = ((n - 1) mod 100) + 1.
#include <gtest/gtest.h>

#include "../binary_features/binary_test_images.h"
#include "testing.h"

namespace {

using binary_test::GreyImage;

const host::Module& LabelBrightness()
{
    static host::Module module(PLUGIN_DIR "/label_brightness.so");
    return module;
}

// The grey result as rows: '.' for 255, a digit for feature numbers 1 to 9
// (grey writes the channel mean, which for n <= 100 is n).
std::vector<std::string> Picture(const host::Image& image)
{
    std::vector<std::string> rows;
    for (int32_t y = 0; y < image.height; y++) {
        std::string row;
        for (int32_t x = 0; x < image.width; x++) {
            uint8_t v = image.U8(x, y);
            row += v == 255 ? '.' : v >= 1 && v <= 9 ? static_cast<char>('0' + v) : '?';
        }
        rows.push_back(row);
    }
    return rows;
}

struct Case {
    const char* name;
    std::vector<std::string> input;
    std::vector<std::string> expected;
    friend void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }
};

class LabelBrightnessCases : public ::testing::TestWithParam<Case> {};

TEST_P(LabelBrightnessCases, GivesTheExpectedNumbers)
{
    const Case& c = GetParam();
    auto report = host::RunFilter(LabelBrightness(), GreyImage(c.input));
    EXPECT_EQ(report.result, 0);
    EXPECT_TRUE(report.messages.empty());
    EXPECT_EQ(Picture(report.output), c.expected) << c.name;
}

INSTANTIATE_TEST_SUITE_P(
    Literal, LabelBrightnessCases,
    ::testing::Values(
        Case{"one_square",
             {"......", ".##...", ".##...", "......"},
             {"......", ".11...", ".11...", "......"}},
        Case{"corner_touching_pixels_are_one_feature",
             {".....", ".#...", "..#..", ".#...", "....."},
             {".....", ".1...", "..1..", ".1...", "....."}},
        Case{"anti_diagonal_joins_through_up_right",
             {"......", "...#..", "..#...", ".#....", "......"},
             {"......", "...1..", "..1...", ".1....", "......"}},
        // The left feature and the right one join along the bottom; the
        // joined feature keeps the right one's label, which is larger than
        // the middle speck's, so the speck is number 1.
        Case{"meeting_keeps_the_up_right_label",
             {".......", ".#.#.#.", ".#...#.", ".#####.", "......."},
             {".......", ".2.1.2.", ".2...2.", ".22222.", "......."}},
        // Code 5: up-left and up-right differ, up-left dies into up-right.
        Case{"up_left_dies_into_up_right",
             {".......", ".#.#.#.", "..#....", "......."},
             {".......", ".1.1.2.", "..1....", "......."}},
        Case{"u_shape_is_one_feature",
             {".......", ".#...#.", ".#...#.", ".#####.", "......."},
             {".......", ".1...1.", ".1...1.", ".11111.", "......."}},
        Case{"edge_features_are_dropped_one_pixel_away_kept",
             {"#......", "...##..", "...##..", "......#", "..#....", "...##..", "....#.."},
             {".......", "...11..", "...11..", ".......", ".......", ".......", "......."}},
        // Joined to the edge only late in the pass.
        Case{"feature_reaching_the_edge_at_the_bottom_is_dropped",
             {".......", ".#...#.", ".#.#.#.", ".#.#.#.", "...#..."},
             {".......", ".1...2.", ".1...2.", ".1...2.", "......."}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(LabelBrightness, AboutText)
{
    EXPECT_EQ(host::AboutText(LabelBrightness()), "Set Feature Brightness to Label Numbers");
}

// 300 single-pixel features on a grid, numbered in raster order.
host::Image SpeckGrid(int16_t mode, int16_t depth)
{
    auto image = host::Image::Make(41, 31, mode, depth);
    for (int32_t y = 0; y < image.height; y++)
        for (int32_t x = 0; x < image.width; x++) {
            bool black = x % 2 == 1 && y % 2 == 1;
            for (int p = 0; p < image.planes; p++) {
                if (depth == 8)
                    image.U8(x, y, p) = black ? 0 : 255;
                else
                    image.F32(x, y, p) = black ? 0.0f : 1.0f;
            }
        }
    return image;
}

int32_t SpeckNumber(int32_t x, int32_t y)
{
    return (y / 2) * 20 + x / 2 + 1;
}

// Float RGB keeps the numbers unclamped: red n, green and blue cycle 1..100.
TEST(LabelBrightness, ColourCycleAt100And101And300)
{
    auto report = host::RunFilter(LabelBrightness(), SpeckGrid(plugInModeRGB96, 32));
    ASSERT_EQ(report.result, 0);
    struct {
        int32_t n;
        float red, cycle;
    } cases[] = {{1, 1, 1},       {99, 99, 99},  {100, 100, 100}, {101, 101, 1},
                 {200, 200, 100}, {201, 201, 1}, {300, 300, 100}};
    for (auto c : cases) {
        int32_t x = 2 * ((c.n - 1) % 20) + 1, y = 2 * ((c.n - 1) / 20) + 1;
        ASSERT_EQ(SpeckNumber(x, y), c.n);
        EXPECT_EQ(report.output.F32(x, y, 0), c.red / 255.0f) << c.n;
        EXPECT_EQ(report.output.F32(x, y, 1), c.cycle / 255.0f) << c.n;
        EXPECT_EQ(report.output.F32(x, y, 2), c.cycle / 255.0f) << c.n;
    }
    EXPECT_EQ(report.output.F32(0, 0, 0), 1.0f);
}

// 8-bit red is clamped: every feature from 255 up shows red 255 and is told
// apart only by green and blue.
TEST(LabelBrightness, EightBitRedClampsAt255)
{
    auto report = host::RunFilter(LabelBrightness(), SpeckGrid(plugInModeRGBColor, 8));
    ASSERT_EQ(report.result, 0);
    for (int32_t y = 1; y < 31; y += 2)
        for (int32_t x = 1; x < 41; x += 2) {
            int32_t n = SpeckNumber(x, y);
            ASSERT_EQ(report.output.U8(x, y, 0), std::min(n, 255)) << n;
            ASSERT_EQ(report.output.U8(x, y, 1), (n - 1) % 100 + 1) << n;
            ASSERT_EQ(report.output.U8(x, y, 2), (n - 1) % 100 + 1) << n;
        }
}

// 16-bit grey 16384 is exactly 127.5 and counts as black; 16385 is white.
TEST(LabelBrightness, MeanOfExactly127Point5CountsAsBlack)
{
    auto image = host::Image::Make(5, 3, plugInModeGray16, 16);
    for (int32_t y = 0; y < 3; y++)
        for (int32_t x = 0; x < 5; x++)
            image.U16(x, y) = 16385;
    image.U16(1, 1) = 16384;
    image.U16(3, 1) = 16385;
    auto report = host::RunFilter(LabelBrightness(), image);
    EXPECT_EQ(report.result, 0);
    EXPECT_EQ(report.output.U16(1, 1), 128);  // 1 * 32768 / 255, truncated
    EXPECT_EQ(report.output.U16(3, 1), 32768);
    EXPECT_EQ(report.output.U16(0, 0), 32768);
}

// No feature numbered: no result line at all, so the host keeps the image.
TEST(LabelBrightness, NoFeatureWritesNoLine)
{
    const std::vector<std::vector<std::string>> images = {
        {"6666", "6666", "6666"}, {"#6666", "66666", "66#66", "666##"}, {"#"}};
    for (const auto& rows : images) {
        auto image = GreyImage(rows);
        auto report = host::test::RunFilter(LabelBrightness(), image);
        EXPECT_EQ(report.result, 0);
        EXPECT_EQ(report.output, image);
        for (const auto& call : report.advanceCalls)
            EXPECT_EQ(call.outRect.top, 0) << "a line below line 0 was delivered";
    }
}

TEST(LabelBrightness, CancelWhileBinarising)
{
    auto image = GreyImage({"666666", "6##666", "6##666", "666666"});
    host::RunOptions options;
    options.cancelAtAbortTest = 2;
    auto report = host::RunFilter(LabelBrightness(), image, options);
    EXPECT_EQ(report.result, -128);
    EXPECT_EQ(report.output, image);
    EXPECT_EQ(report.abortTests, 2);
}

// Cancelled at the third output line: lines 0 and 1 are written, the rest
// keep the original.
TEST(LabelBrightness, CancelWhileWritingKeepsTheLinesWritten)
{
    auto image = GreyImage({"666666", "6##666", "6##666", "666666"});
    host::RunOptions options;
    options.cancelAtAbortTest = 4 + 3;
    auto report = host::RunFilter(LabelBrightness(), image, options);
    EXPECT_EQ(report.result, -128);
    EXPECT_EQ(Picture(report.output)[0], "......");
    EXPECT_EQ(Picture(report.output)[1], ".11...");
    EXPECT_EQ(report.output.U8(1, 2), 0);
    EXPECT_EQ(report.output.U8(0, 3), 150);
}

// Without memory for the work image and without a Preferences folder for
// its file, the filter returns the creation code and writes nothing.
TEST(LabelBrightness, WorkImageRefusedSkipsTheWork)
{
    binary_test::ScratchDir dir("label-brightness");
    host::ScopedFolder prefs(kPreferencesFolderType, dir.path / "missing");
    host::ScopedMemoryBudget budget(0);
    auto image = GreyImage({"6666", "6#66", "6666"});
    auto report = host::RunFilter(LabelBrightness(), image);
    EXPECT_NE(report.result, 0);
    EXPECT_NE(report.result, -128);
    EXPECT_EQ(report.output, image);
    EXPECT_EQ(report.abortTests, 0);
}

TEST(LabelBrightness, ProgressRunsToHalfThenToOne)
{
    auto report = host::RunFilter(LabelBrightness(), GreyImage({"....", ".#..", "...."}));
    ASSERT_EQ(report.progress.size(), 6u);
    const int32_t expected[] = {0, 333333343, 666666687, 500000000, 666666687, 833333313};
    for (size_t i = 0; i < 6; i++)
        EXPECT_NEAR(report.progress[i].first, expected[i], 64) << i;
}

}  // namespace
