// End-to-end tests of the marker_select plug-in: reference images are
// written straight into a scratch Preferences folder, the filter runs on
// small literal images, and results are compared as pictures ('#' black,
// '.' white).
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <optional>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include <unistd.h>

#include "host.h"
#include "platform.h"

namespace {

namespace fs = std::filesystem;
using Picture = std::vector<std::string>;

// A grey image held as plain floats, 0..255, so any value can be placed.
struct Grey {
    int32_t width = 0;
    int32_t height = 0;
    std::vector<float> v;
    float& At(int32_t x, int32_t y) { return v[static_cast<size_t>(y) * width + x]; }
    float At(int32_t x, int32_t y) const { return v[static_cast<size_t>(y) * width + x]; }
};

Grey FromPicture(const Picture& rows)
{
    Grey g;
    g.height = static_cast<int32_t>(rows.size());
    g.width = static_cast<int32_t>(rows[0].size());
    g.v.resize(static_cast<size_t>(g.width) * g.height);
    for (int32_t y = 0; y < g.height; y++)
        for (int32_t x = 0; x < g.width; x++)
            g.At(x, y) = rows[y][x] == '#' ? 0.0f : 255.0f;
    return g;
}

host::Image ToHostImage(const Grey& g)
{
    host::Image img = host::Image::Make(g.width, g.height, plugInModeGrayScale, 8);
    for (int32_t y = 0; y < g.height; y++)
        for (int32_t x = 0; x < g.width; x++)
            img.U8(x, y) = static_cast<uint8_t>(g.At(x, y));
    return img;
}

Picture ToPicture(const host::Image& img)
{
    Picture rows(img.height, std::string(img.width, '?'));
    for (int32_t y = 0; y < img.height; y++)
        for (int32_t x = 0; x < img.width; x++) {
            uint8_t v = img.U8(x, y);
            rows[y][x] = v == 0 ? '#' : v == 255 ? '.' : '?';
        }
    return rows;
}

// One fresh Preferences folder per test; the reference image file is
// written there in the named-image layout: width, height and 12 as native
// unsigned 16-bit, then the RGB96 pixels as native floats.
class MarkerSelect : public ::testing::Test {
protected:
    void SetUp() override
    {
        dir_ = fs::temp_directory_path() /
               ("marker_select_" + std::to_string(::getpid()) + "_" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir_);
        fs::create_directories(dir_);
        prefs_.emplace(kPreferencesFolderType, dir_);
    }
    void TearDown() override
    {
        prefs_.reset();
        fs::remove_all(dir_);
    }

    void WriteReference(const Grey& g)
    {
        std::ofstream out(dir_ / "Reference Image.xzy", std::ios::binary);
        uint16_t header[3] = {static_cast<uint16_t>(g.width), static_cast<uint16_t>(g.height), 12};
        out.write(reinterpret_cast<const char*>(header), sizeof header);
        for (float v : g.v) {
            float pixel[3] = {v, v, v};
            out.write(reinterpret_cast<const char*>(pixel), sizeof pixel);
        }
    }

    host::RunReport Run(const Grey& current, const host::RunOptions& options = {})
    {
        return host::RunFilter(module_, ToHostImage(current), options);
    }

    // Runs on pictures and returns the result as a picture.
    Picture Select(const Picture& current, const Picture& marks, size_t* passes = nullptr)
    {
        WriteReference(FromPicture(marks));
        host::RunReport r = Run(FromPicture(current));
        EXPECT_EQ(r.result, 0);
        EXPECT_TRUE(r.messages.empty());
        if (passes)
            *passes = r.progress.size();
        return ToPicture(r.output);
    }

    fs::path dir_;
    std::optional<host::ScopedFolder> prefs_;
    host::Module module_{PLUGIN_DIR "/marker_select.so"};
};

TEST_F(MarkerSelect, AboutText)
{
    EXPECT_EQ(host::AboutText(module_), "Reference Image Markers Select Features");
}

TEST_F(MarkerSelect, KeepsMarkedFeaturesIncludingCornerTouchingPixels)
{
    const Picture current = {
        "..........", ".##....##.", ".##.....#.", "...#......",
        "....#..##.", "....#..##.", "..........",
    };
    // The mark sits on the top-left block; the diagonal chain joins it to
    // the bottom-left stroke only through corners.
    const Picture marks = {
        "..........", "..#.......", "..........", "..........",
        "..........", "..........", "..........",
    };
    const Picture expected = {
        "..........", ".##.......", ".##.......", "...#......",
        "....#.....", "....#.....", "..........",
    };
    EXPECT_EQ(Select(current, marks), expected);
}

TEST_F(MarkerSelect, UnmarkedImageAndMarksOnWhiteSelectNothing)
{
    const Picture current = {
        ".......",
        ".##.##.",
        ".##.##.",
        ".......",
    };
    const Picture marks = {
        "#......",
        "...#...",
        "......#",
        "#######",
    };
    const Picture blank(4, ".......");
    EXPECT_EQ(Select(current, marks), blank);
    EXPECT_EQ(Select(current, blank), blank);
}

TEST_F(MarkerSelect, SeedNeedsMeansBelow255Strictly)
{
    // 127 + 128 = 255 is no seed; 127 + 127.75 is.
    Grey current = FromPicture({".....", ".....", "....."});
    Grey marks = current;
    current.At(1, 1) = 127.0f;
    marks.At(1, 1) = 128.0f;
    current.At(3, 1) = 127.0f;
    marks.At(3, 1) = 127.75f;
    WriteReference(marks);
    host::RunReport r = Run(current);
    EXPECT_EQ(ToPicture(r.output), (Picture{".....", "...#.", "....."}));
}

TEST_F(MarkerSelect, GrowthStopsAtPixelsThatAreNotDark)
{
    // A seed may be light (130 + 100 < 255); growth then needs mean < 127.5.
    Grey current = FromPicture({"......", "......", "......"});
    current.At(1, 1) = 130.0f;
    current.At(2, 1) = 127.0f;
    current.At(3, 1) = 128.0f;
    current.At(4, 1) = 0.0f;
    Grey marks = FromPicture({"......", "......", "......"});
    marks.At(1, 1) = 100.0f;
    WriteReference(marks);
    host::RunReport r = Run(current);
    EXPECT_EQ(ToPicture(r.output), (Picture{"......", ".##...", "......"}));
}

TEST_F(MarkerSelect, FeatureReachingTheEdgeIsSelectedOnlyInside)
{
    const Picture current = {
        "#####",
        "#####",
        "#####",
        "#####",
    };
    const Picture marks = {
        ".....",
        ".....",
        "..#..",
        ".....",
    };
    const Picture expected = {
        ".....",
        ".###.",
        ".###.",
        ".....",
    };
    EXPECT_EQ(Select(current, marks), expected);
}

TEST_F(MarkerSelect, SeedOnTheEdgeStaysAndGrowsInward)
{
    const Picture current = {
        "......",
        "......",
        "#####.",
        "......",
    };
    const Picture marks = {
        "......",
        "......",
        "#.....",
        "......",
    };
    const Picture expected = {
        "......",
        "......",
        "#####.",
        "......",
    };
    EXPECT_EQ(Select(current, marks), expected);
}

TEST_F(MarkerSelect, GrowsDownwardInOnePassAndUpwardOneLinePerPass)
{
    // A vertical stroke on lines 1 to 8 of a 10-line image.
    Picture current(10, "...");
    for (int y = 1; y <= 8; y++)
        current[y][1] = '#';
    Picture top(10, "..."), bottom(10, "...");
    top[1][1] = '#';
    bottom[8][1] = '#';

    size_t passes = 0;
    EXPECT_EQ(Select(current, top, &passes), current);
    EXPECT_EQ(passes, 2u);  // one pass to grow, one that changes nothing

    EXPECT_EQ(Select(current, bottom, &passes), current);
    EXPECT_EQ(passes, 8u);  // seven lines upward, then the quiet pass
}

TEST_F(MarkerSelect, StopsAfter1000PassesWithWhatIsReached)
{
    // A one-pixel-high stroke from x = 1 to x = 1003, marked at its right
    // end, grows one pixel leftward a pass and needs 1002 of them.
    const int32_t width = 1005;
    Picture current(3, std::string(width, '.'));
    for (int32_t x = 1; x <= 1003; x++)
        current[1][x] = '#';
    Picture marks(3, std::string(width, '.'));
    marks[1][1003] = '#';
    WriteReference(FromPicture(marks));
    host::RunReport r = Run(FromPicture(current));
    EXPECT_EQ(r.result, 0);
    EXPECT_EQ(r.progress.size(), 1000u);
    EXPECT_EQ(r.progress.back(), std::make_pair(int32_t{1000000000}, int32_t{1000000000}));
    Picture expected(3, std::string(width, '.'));
    for (int32_t x = 3; x <= 1003; x++)
        expected[1][x] = '#';
    EXPECT_EQ(ToPicture(r.output), expected);
}

TEST_F(MarkerSelect, SizeMismatchIsRefused)
{
    const Grey current = FromPicture(Picture(4, "....."));
    for (auto [w, h] : {std::pair{6, 4}, {4, 4}, {5, 5}, {5, 3}}) {
        WriteReference(FromPicture(Picture(h, std::string(w, '.'))));
        host::RunReport r = Run(current);
        EXPECT_EQ(r.result, -128) << w << "x" << h;
        EXPECT_EQ(r.messages, std::vector<std::string>{
                                  "Dimensions of current image and reference image do not match."});
        EXPECT_TRUE(r.progress.empty());
        EXPECT_EQ(r.output, ToHostImage(current));
    }
}

TEST_F(MarkerSelect, MissingReferenceImageIsRefused)
{
    const Grey current = FromPicture(Picture(3, "..#.."));
    host::RunReport r = Run(current);
    EXPECT_EQ(r.result, -128);
    EXPECT_EQ(r.messages, std::vector<std::string>{
                              "Dimensions of current image and reference image do not match."});
    EXPECT_EQ(r.output, ToHostImage(current));
}

TEST_F(MarkerSelect, CancelAfterAPassWritesNothing)
{
    Picture current(10, "...");
    for (int y = 1; y <= 8; y++)
        current[y][1] = '#';
    Picture marks(10, "...");
    marks[8][1] = '#';
    WriteReference(FromPicture(marks));
    for (int64_t at : {1, 3}) {
        host::RunOptions options;
        options.cancelAtAbortTest = at;
        host::RunReport r = Run(FromPicture(current), options);
        EXPECT_EQ(r.result, -128);
        EXPECT_TRUE(r.cancelled);
        EXPECT_EQ(r.abortTests, at);
        EXPECT_EQ(r.progress.size(), static_cast<size_t>(at));
        EXPECT_EQ(ToPicture(r.output), current);
        EXPECT_TRUE(r.messages.empty());
    }
}

TEST_F(MarkerSelect, WithoutItsWorkImageWritesNothing)
{
    // No temporary memory, and a folder where the work image's file would go.
    const Picture current = {"...", ".#.", "..."};
    WriteReference(FromPicture(current));
    fs::create_directory(dir_ / "Bin");
    host::ScopedMemoryBudget noMemory(0);
    host::RunReport r = Run(FromPicture(current));
    EXPECT_NE(r.result, 0);
    EXPECT_NE(r.result, -128);
    EXPECT_TRUE(r.progress.empty());
    EXPECT_EQ(ToPicture(r.output), current);
}

// Plain reference: seeds, then inner dark pixels joined 8-connected to the
// selection, repeated until nothing more joins.
Picture ReferenceSelection(const Grey& current, const Grey& marks)
{
    const int32_t w = current.width, h = current.height;
    std::vector<std::vector<bool>> sel(h, std::vector<bool>(w, false));
    for (int32_t y = 0; y < h; y++)
        for (int32_t x = 0; x < w; x++)
            sel[y][x] = current.At(x, y) + marks.At(x, y) < 255.0f;
    for (bool grew = true; grew;) {
        grew = false;
        for (int32_t y = 1; y < h - 1; y++)
            for (int32_t x = 1; x < w - 1; x++) {
                if (sel[y][x] || !(current.At(x, y) < 127.5f))
                    continue;
                for (int dy = -1; dy <= 1 && !sel[y][x]; dy++)
                    for (int dx = -1; dx <= 1; dx++)
                        if (sel[y + dy][x + dx]) {
                            sel[y][x] = true;
                            grew = true;
                            break;
                        }
            }
    }
    Picture rows(h, std::string(w, '.'));
    for (int32_t y = 0; y < h; y++)
        for (int32_t x = 0; x < w; x++)
            if (sel[y][x])
                rows[y][x] = '#';
    return rows;
}

TEST_F(MarkerSelect, MatchesPlainReferenceOnRandomImages)
{
    std::mt19937 rng(20240607);
    std::uniform_int_distribution<int> size(1, 14);
    std::uniform_int_distribution<int> percent(0, 99);
    std::uniform_int_distribution<int> grey(0, 255);
    for (int trial = 0; trial < 300; trial++) {
        Grey current, marks;
        current.width = marks.width = size(rng);
        current.height = marks.height = size(rng);
        const size_t n = static_cast<size_t>(current.width) * current.height;
        const int darkShare = 30 + percent(rng) % 50;
        for (size_t i = 0; i < n; i++) {
            // Mostly black and white, with some grey around the thresholds.
            int kind = percent(rng);
            current.v.push_back(kind < 10          ? static_cast<float>(grey(rng))
                                : kind < darkShare ? 0.0f
                                                   : 255.0f);
            int mark = percent(rng);
            marks.v.push_back(mark < 5 ? 0.0f : mark < 10 ? static_cast<float>(grey(rng)) : 255.0f);
        }
        WriteReference(marks);
        host::RunReport r = Run(current);
        ASSERT_EQ(r.result, 0);
        ASSERT_EQ(ToPicture(r.output), ReferenceSelection(current, marks)) << "trial " << trial;
    }
}

}  // namespace
