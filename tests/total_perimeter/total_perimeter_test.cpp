// End-to-end tests of the total_perimeter plug-in: small pictures ('#'
// black, '.' white) with the reported text written out, the threshold
// at exactly 127.5, and random images against a direct computation.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include <unistd.h>

#include "host.h"
#include "platform.h"

namespace {

using Picture = std::vector<std::string>;

host::Image FromPicture(const Picture& rows)
{
    const auto height = static_cast<int32_t>(rows.size());
    const auto width = static_cast<int32_t>(rows[0].size());
    host::Image img = host::Image::Make(width, height, plugInModeGrayScale, 8);
    for (int32_t y = 0; y < height; y++)
        for (int32_t x = 0; x < width; x++)
            img.U8(x, y) = rows[y][x] == '#' ? 0 : 255;
    return img;
}

Picture Square(int32_t width, int32_t height, int32_t left, int32_t top, int32_t n)
{
    Picture rows(height, std::string(width, '.'));
    for (int32_t y = top; y < top + n; y++)
        for (int32_t x = left; x < left + n; x++)
            rows[y][x] = '#';
    return rows;
}

class TotalPerimeter : public ::testing::Test {
protected:
    // Runs the filter and checks what every run must hold: success, no
    // progress, the image unchanged. Returns the one message shown.
    std::string Measure(const host::Image& input)
    {
        host::RunReport r = host::RunFilter(module_, input);
        EXPECT_EQ(r.result, 0);
        EXPECT_TRUE(r.progress.empty());
        EXPECT_EQ(r.abortTests, 0);
        EXPECT_EQ(r.output, input);
        EXPECT_EQ(r.messages.size(), 1u);
        return r.messages.empty() ? std::string() : r.messages.front();
    }
    std::string Measure(const Picture& rows) { return Measure(FromPicture(rows)); }

    host::Module module_{PLUGIN_DIR "/total_perimeter.so"};
};

TEST_F(TotalPerimeter, AboutText)
{
    EXPECT_EQ(host::AboutText(module_), "Measure Total Perimeter of Black Features");
}

struct Case {
    const char* name;
    Picture picture;
    const char* message;
};

TEST_F(TotalPerimeter, ClosedForms)
{
    const std::vector<Case> cases = {
        {"all white", Picture(4, "....."), "0.0 pixels = total perimeter."},
        {"lone pixel", {".....", "..#..", "....."}, "0.0 pixels = total perimeter."},
        {"2x2 square", Square(6, 6, 2, 2, 2), "4.00000 pixels = total perimeter."},
        {"3x3 square", Square(7, 7, 2, 2, 3), "8.00000 pixels = total perimeter."},
        {"10x10 square", Square(14, 14, 2, 2, 10), "36.0000 pixels = total perimeter."},
        {"horizontal line of 5",
         {".......", ".#####.", "......."},
         "8.00000 pixels = total perimeter."},
        {"vertical line of 4",
         {"...", ".#.", ".#.", ".#.", ".#.", "..."},
         "6.00000 pixels = total perimeter."},
        {"diagonal of 4",
         {"......", ".#....", "..#...", "...#..", "....#.", "......"},
         "8.48400 pixels = total perimeter."},
        {"anti-diagonal of 4",
         {"......", "....#.", "...#..", "..#...", ".#....", "......"},
         "8.48400 pixels = total perimeter."},
        {"L of three", {"....", ".#..", ".##.", "...."}, "3.41400 pixels = total perimeter."},
        {"L of three, other turn",
         {"....", ".##.", "..#.", "...."},
         "3.41400 pixels = total perimeter."},
        {"hollow 3x3 square",
         {".....", ".###.", ".#.#.", ".###.", "....."},
         "13.6560 pixels = total perimeter."},
        {"two features add up",
         {"........", ".##..#..", ".##..#..", "........"},
         "6.00000 pixels = total perimeter."},
        {"2x2 in the top-left corner", Square(5, 5, 0, 0, 2), "4.00000 pixels = total perimeter."},
        {"2x2 touching the bottom", Square(5, 5, 2, 3, 2), "3.00000 pixels = total perimeter."},
        {"2x2 touching the right", Square(5, 5, 3, 2, 2), "3.00000 pixels = total perimeter."},
        {"all black: top and left sides only", Picture(3, "###"),
         "4.00000 pixels = total perimeter."},
        {"one pixel image, black", {"#"}, "0.0 pixels = total perimeter."},
    };
    for (const Case& c : cases)
        EXPECT_EQ(Measure(c.picture), c.message) << c.name;
}

TEST_F(TotalPerimeter, MeanOfExactly127Point5IsBlack)
{
    // 16-bit grey 16384 reads as exactly 127.5; 16385 as just above it.
    for (auto [value, message] : {std::pair{16384, "8.00000 pixels = total perimeter."},
                                  std::pair{16385, "0.0 pixels = total perimeter."}}) {
        host::Image img = host::Image::Make(5, 5, plugInModeGray16, 16);
        for (int32_t y = 0; y < 5; y++)
            for (int32_t x = 0; x < 5; x++)
                img.U16(x, y) = (x >= 1 && x <= 3 && y >= 1 && y <= 3) ? value : 32768;
        EXPECT_EQ(Measure(img), message) << value;
    }
}

TEST_F(TotalPerimeter, ColourPixelsUseTheMeanOfTheirChannels)
{
    // (127, 127, 128) has mean 127.33, black; (127, 128, 128) 127.67, white.
    host::Image img = host::Image::Make(4, 3, plugInModeRGBColor, 8);
    std::fill(img.pixels.begin(), img.pixels.end(), 255);
    const uint8_t black[3] = {127, 128, 127}, white[3] = {128, 127, 128};
    for (int p = 0; p < 3; p++) {
        img.U8(1, 1, p) = black[p];
        img.U8(2, 1, p) = black[p];
        img.U8(3, 1, p) = white[p];
    }
    EXPECT_EQ(Measure(img), "2.00000 pixels = total perimeter.");
}

TEST_F(TotalPerimeter, WithoutItsWorkImageReportsNothing)
{
    // No temporary memory, and a folder where the work image's file would go.
    namespace fs = std::filesystem;
    const fs::path dir =
        fs::temp_directory_path() / ("total_perimeter_" + std::to_string(::getpid()));
    fs::remove_all(dir);
    fs::create_directories(dir / "Binary");
    {
        host::ScopedFolder prefs(kPreferencesFolderType, dir);
        host::ScopedMemoryBudget noMemory(0);
        const host::Image input = FromPicture({"...", ".#.", "..."});
        host::RunReport r = host::RunFilter(module_, input);
        EXPECT_NE(r.result, 0);
        EXPECT_TRUE(r.messages.empty());
        EXPECT_EQ(r.output, input);
    }
    fs::remove_all(dir);
}

// Direct computation: visit every image pixel in raster order, look at the
// left, up-left, up and up-right pixels (outside the image counts as white)
// and add the weight for the pixel's colour, in a float.
float ReferenceTotal(const Picture& rows)
{
    static const float black[16] = {0.0f, 1.414f, 1.0f, 1.0f, 2.828f, 4.243f, 1.414f, 1.414f,
                                    1.0f, 2.414f, 0.0f, 0.0f, 1.414f, 2.828f, 0.0f,   0.0f};
    static const float white[16] = {0.0f, 0.0f, 0.0f,   0.0f, 0.0f, 0.0f, 1.0f,   1.0f,
                                    0.0f, 0.0f, 1.414f, 0.0f, 1.0f, 0.0f, 1.414f, 1.414f};
    const auto h = static_cast<int>(rows.size());
    const auto w = static_cast<int>(rows[0].size());
    auto isBlack = [&](int x, int y) {
        return x >= 0 && y >= 0 && x < w && y < h && rows[y][x] == '#';
    };
    float total = 0.0f;
    for (int y = 0; y < h; y++)
        for (int x = 0; x < w; x++) {
            int code = 8 * isBlack(x - 1, y) + 4 * isBlack(x - 1, y - 1) + 2 * isBlack(x, y - 1) +
                       isBlack(x + 1, y - 1);
            total += isBlack(x, y) ? black[code] : white[code];
        }
    return total;
}

TEST_F(TotalPerimeter, MatchesDirectComputationOnRandomImages)
{
    using RealToString = void (*)(float, char*);
    auto format = reinterpret_cast<RealToString>(module_.Symbol("_RealToString"));
    ASSERT_NE(format, nullptr);

    std::mt19937 rng(7741);
    std::uniform_int_distribution<int> size(1, 24);
    std::uniform_int_distribution<int> percent(0, 99);
    for (int trial = 0; trial < 300; trial++) {
        const int w = size(rng), h = size(rng), share = percent(rng);
        Picture rows(h, std::string(w, '.'));
        for (auto& row : rows)
            for (char& c : row)
                c = percent(rng) < share ? '#' : '.';
        char text[64] = {};
        format(ReferenceTotal(rows), text);
        ASSERT_EQ(Measure(rows), std::string(text) + " pixels = total perimeter.")
            << "trial " << trial;
    }
}

}  // namespace
