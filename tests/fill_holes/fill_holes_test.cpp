// fill_holes end to end: enclosed white regions become 32, everything else
// keeps its exact value.
#include <gtest/gtest.h>

#include "../binary_features/binary_test_images.h"

namespace {

using binary_test::GreyImage;

const host::Module& FillHoles()
{
    static host::Module module(PLUGIN_DIR "/fill_holes.so");
    return module;
}

// 'o' in the expected rows is a filled pixel (32); other characters as in
// GreyImage.
host::Image Expected(std::vector<std::string> rows)
{
    for (auto& row : rows)
        for (auto& c : row)
            if (c == 'o')
                c = 'F';
    auto image = host::Image::Make(static_cast<int32_t>(rows[0].size()),
                                   static_cast<int32_t>(rows.size()), plugInModeGrayScale, 8);
    for (int32_t y = 0; y < image.height; y++)
        for (int32_t x = 0; x < image.width; x++) {
            char c = rows[y][x];
            image.U8(x, y) = c == 'F' ? 32 : c == '#' ? 0 : c == '.' ? 255 : 25 * (c - '0');
        }
    return image;
}

struct Case {
    const char* name;
    std::vector<std::string> input;
    std::vector<std::string> expected;
    friend void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }
};

class FillHolesCases : public ::testing::TestWithParam<Case> {};

TEST_P(FillHolesCases, GivesTheExpectedImage)
{
    const Case& c = GetParam();
    auto report = host::RunFilter(FillHoles(), GreyImage(c.input));
    EXPECT_EQ(report.result, 0);
    EXPECT_TRUE(report.messages.empty());
    EXPECT_EQ(report.output, Expected(c.expected)) << c.name;
}

INSTANTIATE_TEST_SUITE_P(
    Literal, FillHolesCases,
    ::testing::Values(
        Case{"ring",
             {".......", ".#####.", ".#...#.", ".#...#.", ".#####.", "......."},
             {".......", ".#####.", ".#ooo#.", ".#ooo#.", ".#####.", "......."}},
        // The hole's two arms get different labels and meet lower down.
        Case{"u_shaped_hole",
             {"#########", "#.#...#.#", "#.#.#.#.#", "#...#...#", "#########"},
             {"#########", "#o#ooo#o#", "#o#o#o#o#", "#ooo#ooo#", "#########"}},
        // Here arms meet at the bottom after the left one has been seen
        // first: both become one enclosed region.
        Case{"w_shaped_hole_with_three_arms",
             {"###########", "#.#.#.#.#.#", "#.#.#.#.#.#", "#.........#", "###########"},
             {"###########", "#o#o#o#o#o#", "#o#o#o#o#o#", "#ooooooooo#", "###########"}},
        Case{"region_reaching_the_edge_through_one_pixel",
             {"#####", "#...#", "#...#", "##.##", "##.##"},
             {"#####", "#...#", "#...#", "##.##", "##.##"}},
        Case{"opening_on_the_right_edge", {"#####", "#....", "#####"}, {"#####", "#....", "#####"}},
        // A hole that an edge region learns about only on the bottom line,
        // after it has been labelled as enclosed.
        Case{"edge_found_late_on_the_bottom_line",
             {"#######", "#.....#", "#.###.#", "#.#.#.#", "#.#####"},
             {"#######", "#.....#", "#.###.#", "#.#o#.#", "#.#####"}},
        Case{"pocket_touching_edge_region_only_diagonally",
             {"..####", "..#..#", "##...#", "######"},
             {"..####", "..#oo#", "##ooo#", "######"}},
        Case{"diagonal_pixels_are_separate_regions",
             {"#####", "#.#.#", "##.##", "#.#.#", "#####"},
             {"#####", "#o#o#", "##o##", "#o#o#", "#####"}},
        Case{"all_white", {"....", "....", "...."}, {"....", "....", "...."}},
        Case{"all_black", {"###", "###"}, {"###", "###"}}, Case{"height_one", {".#.#."}, {".#.#."}},
        Case{"width_two", {"#.", ".#", "#.", ".#"}, {"#.", ".#", "#.", ".#"}},
        Case{"height_two", {"#.#.#", "#.#.#"}, {"#.#.#", "#.#.#"}},
        // Grey values: 5 (125) is black, 6 (150) white; only the hole
        // changes, black pixels keep their grey.
        Case{"grey_values_keep_their_exact_value",
             {"66666", "65556", "65656", "65556", "66666"},
             {"66666", "65556", "65o56", "65556", "66666"}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(FillHoles, AboutText)
{
    EXPECT_EQ(host::AboutText(FillHoles()), "Fill Holes in Black Features in Binary Image");
}

// In a colour image hole pixels become 32, 32, 32 whatever their colour;
// the ring and the outside keep their exact components.
TEST(FillHoles, ColourHolePixelsBecomeDarkGreyOthersUnchanged)
{
    auto image = host::Image::Make(5, 5, plugInModeRGBColor, 8);
    for (int32_t y = 0; y < 5; y++)
        for (int32_t x = 0; x < 5; x++) {
            bool ring =
                (x == 1 || x == 3 || y == 1 || y == 3) && x >= 1 && x <= 3 && y >= 1 && y <= 3;
            uint8_t rgb[3] = {200, 140, 90};  // mean 143.3: white
            if (ring)
                rgb[0] = 120, rgb[1] = 40, rgb[2] = 10;
            if (x == 2 && y == 2)
                rgb[0] = 255, rgb[1] = 0, rgb[2] = 128;  // mean 127.67: white
            for (int p = 0; p < 3; p++)
                image.U8(x, y, p) = rgb[p];
        }
    auto report = host::RunFilter(FillHoles(), image);
    auto expected = image;
    for (int p = 0; p < 3; p++)
        expected.U8(2, 2, p) = 32;
    EXPECT_EQ(report.result, 0);
    EXPECT_EQ(report.output, expected);
}

// 16-bit grey 16384 is exactly 127.5: white, so it is filled; 16383 is
// black and keeps its value.
TEST(FillHoles, MeanOfExactly127Point5CountsAsWhite)
{
    auto image = host::Image::Make(3, 3, plugInModeGray16, 16);
    for (int32_t y = 0; y < 3; y++)
        for (int32_t x = 0; x < 3; x++)
            image.U16(x, y) = 16383;
    image.U16(1, 1) = 16384;
    auto report = host::RunFilter(FillHoles(), image);
    auto expected = image;
    expected.U16(1, 1) = 4112;  // 32 * 32768 / 255, truncated
    EXPECT_EQ(report.result, 0);
    EXPECT_EQ(report.output, expected);

    image.U16(1, 1) = 16383;
    image.U16(0, 0) = 16384;  // a white corner alone: an edge region
    report = host::RunFilter(FillHoles(), image);
    EXPECT_EQ(report.output, image);
}

TEST(FillHoles, RGB48HoleIsFilled)
{
    auto image = host::Image::Make(3, 3, plugInModeRGB48, 16);
    image.U16(1, 1, 0) = 32768;
    image.U16(1, 1, 1) = 32768;
    image.U16(1, 1, 2) = 100;
    auto report = host::RunFilter(FillHoles(), image);
    auto expected = image;
    for (int p = 0; p < 3; p++)
        expected.U16(1, 1, p) = 4112;
    EXPECT_EQ(report.output, expected);
}

// Without memory for the work image and without a Preferences folder for
// its file, the filter returns the creation code and writes nothing.
TEST(FillHoles, WorkImageRefusedSkipsTheWork)
{
    binary_test::ScratchDir dir("fill-holes");
    host::ScopedFolder prefs(kPreferencesFolderType, dir.Path() / "missing");
    host::ScopedMemoryBudget budget(0);
    auto image = GreyImage({"#####", "#...#", "#####"});
    auto report = host::RunFilter(FillHoles(), image);
    EXPECT_NE(report.result, 0);
    EXPECT_EQ(report.output, image);
}

}  // namespace

namespace {

// The bordered work image has 16-bit sides: an image whose side plus the
// border does not fit is refused instead of being labelled in a wrapped,
// too small work image.
TEST(FillHoles, ImageTooLargeForTheWorkImageIsRefused)
{
    auto wide = host::Image::Make(65534, 1, plugInModeGrayScale, 8);
    auto refused = host::RunFilter(FillHoles(), wide);
    EXPECT_EQ(refused.result, -128);
    EXPECT_EQ(refused.messages,
              std::vector<std::string>{"Image is too large for the binary work image.  Width and "
                                       "height must not exceed 65533 pixels. (BinaryWorkSetUp)"});
    EXPECT_EQ(refused.output, wide);

    auto largest = host::Image::Make(65533, 3, plugInModeGrayScale, 8);
    auto accepted = host::RunFilter(FillHoles(), largest);
    EXPECT_EQ(accepted.result, 0);
    EXPECT_TRUE(accepted.messages.empty());
}

}  // namespace
