// Differential tests: each binary filter against the same filter run by the
// literal scheme (modules literal_*.so beside the tests), on thousands of
// random and adversarial images. Every observable must match: result code,
// every output byte, messages, progress reports, abort tests, and the
// outcome of a cancel at each abort test.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <fstream>
#include <functional>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "binary_test_images.h"

namespace {

using Mask = std::vector<std::vector<uint8_t>>;  // [y][x], 1 = black

Mask Blank(int w, int h, uint8_t v = 0)
{
    return Mask(h, std::vector<uint8_t>(w, v));
}

void Set(Mask& m, int x, int y, uint8_t v = 1)
{
    if (y >= 0 && y < static_cast<int>(m.size()) && x >= 0 && x < static_cast<int>(m[0].size()))
        m[y][x] = v;
}

Mask Noise(std::mt19937& rng, int w, int h)
{
    std::bernoulli_distribution black(std::uniform_real_distribution<double>(0.1, 0.9)(rng));
    Mask m = Blank(w, h);
    for (auto& row : m)
        for (auto& v : row)
            v = black(rng);
    return m;
}

// A square spiral wall; its corridor winds inward.
Mask Spiral(int w, int h)
{
    Mask m = Blank(w, h);
    int left = 1, top = 1, right = w - 2, bottom = h - 2;
    while (left <= right && top <= bottom) {
        for (int x = left; x <= right; x++)
            Set(m, x, top);
        for (int y = top; y <= bottom; y++)
            Set(m, right, y);
        for (int x = right; x >= left; x--)
            Set(m, x, bottom);
        for (int y = bottom; y >= top + 2; y--)
            Set(m, left, y);
        Set(m, left + 1, top + 2);
        left += 2, top += 2, right -= 2, bottom -= 2;
    }
    return m;
}

// Rows joined at alternate ends: one long path that climbs and runs sideways.
Mask Serpentine(int w, int h, int gap)
{
    Mask m = Blank(w, h);
    bool rightEnd = true;
    for (int y = 1; y < h - 1; y += gap) {
        for (int x = 1; x < w - 1; x++)
            Set(m, x, y);
        for (int k = 1; k < gap && y + k < h - 1; k++)
            Set(m, rightEnd ? w - 2 : 1, y + k);
        rightEnd = !rightEnd;
    }
    return m;
}

// Teeth hanging from a bar (or standing on it): arms that meet late.
Mask Comb(int w, int h, bool up, int pitch)
{
    Mask m = Blank(w, h);
    int bar = up ? h - 2 : 1;
    for (int x = 1; x < w - 1; x++)
        Set(m, x, bar);
    for (int x = 1; x < w - 1; x += pitch)
        for (int y = 1; y < h - 1; y++)
            Set(m, x, y);
    return m;
}

Mask Checkerboard(int w, int h, int cell)
{
    Mask m = Blank(w, h);
    for (int y = 0; y < h; y++)
        for (int x = 0; x < w; x++)
            m[y][x] = ((x / cell) + (y / cell)) % 2;
    return m;
}

// Isolated dots every second pixel: as many labels as the image can hold.
Mask Dots(int w, int h, int offset)
{
    Mask m = Blank(w, h);
    for (int y = offset; y < h; y += 2)
        for (int x = offset; x < w; x += 2)
            Set(m, x, y);
    return m;
}

Mask Lines(std::mt19937& rng, int w, int h)
{
    Mask m = Blank(w, h);
    std::uniform_int_distribution<int> kind(0, 3), px(0, w - 1), py(0, h - 1);
    for (int n = 0; n < 6; n++) {
        int x = px(rng), y = py(rng);
        switch (kind(rng)) {
        case 0:
            for (int i = 0; i < w; i++)
                Set(m, i, y);
            break;
        case 1:
            for (int i = 0; i < h; i++)
                Set(m, x, i);
            break;
        case 2:
            for (int i = -w - h; i < w + h; i++)
                Set(m, x + i, y + i);
            break;
        default:
            for (int i = -w - h; i < w + h; i++)
                Set(m, x - i, y + i);
        }
    }
    return m;
}

// Rectangle outlines, blocks and U shapes, partly over the edges.
Mask Shapes(std::mt19937& rng, int w, int h)
{
    Mask m = Blank(w, h);
    std::uniform_int_distribution<int> px(-3, w + 2), py(-3, h + 2), len(1, 20), kind(0, 2);
    for (int n = std::uniform_int_distribution<int>(2, 14)(rng); n > 0; n--) {
        int x0 = px(rng), y0 = py(rng), a = len(rng), b = len(rng);
        int k = kind(rng);
        for (int y = 0; y <= b; y++)
            for (int x = 0; x <= a; x++) {
                bool border = x == 0 || y == 0 || x == a || y == b;
                if (k == 0 ? border : k == 1 ? true : (border && y != 0))
                    Set(m, x0 + x, y0 + y);
            }
    }
    return m;
}

// One shape of any kind, any size including 1 x N and N x 1.
Mask RandomMask(std::mt19937& rng)
{
    std::uniform_int_distribution<int> pick(0, 12), small(1, 12), mid(3, 48);
    int w = mid(rng), h = mid(rng);
    switch (pick(rng)) {
    case 0:
        return Noise(rng, small(rng), small(rng));
    case 1:
        return Noise(rng, 1, mid(rng));
    case 2:
        return Noise(rng, mid(rng), 1);
    case 3:
        return Spiral(w, h);
    case 4:
        return Serpentine(w, h, std::uniform_int_distribution<int>(2, 3)(rng));
    case 5:
        return Comb(w, h, rng() % 2, std::uniform_int_distribution<int>(2, 4)(rng));
    case 6:
        return Checkerboard(w, h, std::uniform_int_distribution<int>(1, 3)(rng));
    case 7:
        return Dots(w, h, rng() % 2);
    case 8:
        return Lines(rng, w, h);
    case 9:
        return Blank(w, h, rng() % 2);
    case 10:
        return Shapes(rng, w, h);
    default:
        return Noise(rng, w, h);
    }
}

// Channel values (0..1) that put a pixel's mean on, just by, or far from
// 127.5, and values no image should hold but a float image can.
float Adversarial(std::mt19937& rng, bool black)
{
    const float half = 0.5f;
    const float special[] = {half,
                             std::nextafter(half, 0.0f),
                             std::nextafter(half, 1.0f),
                             std::numeric_limits<float>::quiet_NaN(),
                             std::numeric_limits<float>::infinity(),
                             -std::numeric_limits<float>::infinity(),
                             std::numeric_limits<float>::denorm_min(),
                             -0.0f,
                             1e30f,
                             -1e30f};
    std::uniform_int_distribution<int> pick(0, 9);
    if (rng() % 4 != 0)
        return black ? std::uniform_real_distribution<float>(0.0f, 0.3f)(rng)
                     : std::uniform_real_distribution<float>(0.7f, 1.0f)(rng);
    return special[pick(rng)];
}

// The mask in one of the modes that have no case of their own below:
// dark or light samples of the mode's range, so every mode's reading and
// writing (Lab conversions included) is compared.
host::Image RenderInMode(std::mt19937& rng, const Mask& m, int16_t mode, int16_t depth)
{
    int w = static_cast<int>(m[0].size()), h = static_cast<int>(m.size());
    auto image = host::Image::Make(w, h, mode, depth);
    const double top = depth == 8 ? 255.0 : depth == 16 ? 32768.0 : 1.0;
    std::uniform_real_distribution<double> dark(0.0, 0.45), light(0.55, 1.0);
    for (int y = 0; y < h; y++)
        for (int x = 0; x < w; x++)
            for (int c = 0; c < image.planes; c++) {
                double v = (m[y][x] ? dark(rng) : light(rng)) * top;
                if (depth == 8)
                    image.U8(x, y, c) = static_cast<uint8_t>(v);
                else if (depth == 16)
                    image.U16(x, y, c) = static_cast<uint16_t>(v);
                else
                    image.F32(x, y, c) = static_cast<float>(v);
            }
    return image;
}

// The mask as a host image: plain grey, grey with values near the
// threshold, RGB 16-bit, RGB float with adversarial channels, or one of the
// other modes.
host::Image Render(std::mt19937& rng, const Mask& m)
{
    int w = static_cast<int>(m[0].size()), h = static_cast<int>(m.size());
    switch (rng() % 5) {
    case 4: {
        static const std::pair<int16_t, int16_t> kOtherModes[] = {
            {plugInModeRGBColor, 8}, {plugInModeLabColor, 8}, {plugInModeGray16, 16},
            {plugInModeLab48, 16},   {plugInModeGray32, 32},
        };
        const auto& [mode, depth] = kOtherModes[rng() % 5];
        return RenderInMode(rng, m, mode, depth);
    }
    case 0: {
        auto image = host::Image::Make(w, h, plugInModeGrayScale, 8);
        for (int y = 0; y < h; y++)
            for (int x = 0; x < w; x++)
                image.U8(x, y) = m[y][x] ? 0 : 255;
        return image;
    }
    case 1: {
        auto image = host::Image::Make(w, h, plugInModeGrayScale, 8);
        std::uniform_int_distribution<int> dark(0, 127), light(128, 255);
        for (int y = 0; y < h; y++)
            for (int x = 0; x < w; x++)
                image.U8(x, y) = static_cast<uint8_t>(m[y][x] ? dark(rng) : light(rng));
        return image;
    }
    case 2: {
        auto image = host::Image::Make(w, h, plugInModeRGB48, 16);
        std::uniform_int_distribution<int> dark(0, 16384), light(16384, 32768);
        for (int y = 0; y < h; y++)
            for (int x = 0; x < w; x++)
                for (int c = 0; c < 3; c++)
                    image.U16(x, y, c) = static_cast<uint16_t>(m[y][x] ? dark(rng) : light(rng));
        return image;
    }
    default: {
        auto image = host::Image::Make(w, h, plugInModeRGB96, 32);
        for (int y = 0; y < h; y++)
            for (int x = 0; x < w; x++)
                for (int c = 0; c < 3; c++)
                    image.F32(x, y, c) = Adversarial(rng, m[y][x]);
        return image;
    }
    }
}

void ExpectSameRun(const host::RunReport& fast, const host::RunReport& literal,
                   const std::string& what)
{
    ASSERT_EQ(fast.result, literal.result) << what;
    ASSERT_EQ(fast.messages, literal.messages) << what;
    ASSERT_EQ(fast.progress, literal.progress) << what;
    ASSERT_EQ(fast.abortTests, literal.abortTests) << what;
    ASSERT_EQ(fast.cancelled, literal.cancelled) << what;
    ASSERT_TRUE(fast.output == literal.output) << what << ": output bytes differ";
}

// Runs both modules on the image, then once more cancelling at each abort
// test the uncancelled run made (up to `cancelLimit` of them).
void CompareOn(const host::Module& fast, const host::Module& literal, const host::Image& image,
               const std::string& what, int64_t cancelLimit)
{
    auto literalRun = host::RunFilter(literal, image);
    ExpectSameRun(host::RunFilter(fast, image), literalRun, what);
    int64_t tests = std::min(literalRun.abortTests, cancelLimit);
    for (int64_t at = 1; at <= tests; at++) {
        host::RunOptions options;
        options.cancelAtAbortTest = at;
        ExpectSameRun(host::RunFilter(fast, image, options),
                      host::RunFilter(literal, image, options),
                      what + ", cancelled at abort test " + std::to_string(at));
    }
}

struct Pair {
    host::Module fast;
    host::Module literal;
    explicit Pair(const std::string& name)
        : fast(PLUGIN_DIR "/" + name + ".so"), literal(TEST_PLUGIN_DIR "/literal_" + name + ".so")
    {}
};

void CompareOnRandomImages(const std::string& name, int count, uint32_t seed)
{
    Pair modules(name);
    std::mt19937 rng(seed);
    for (int i = 0; i < count; i++) {
        host::Image image = Render(rng, RandomMask(rng));
        CompareOn(modules.fast, modules.literal, image, name + " image " + std::to_string(i),
                  i % 8 == 0 ? 1 << 20 : 0);
        if (::testing::Test::HasFatalFailure())
            return;
    }
}

TEST(Differential, FillHolesOnRandomAndAdversarialImages)
{
    CompareOnRandomImages("fill_holes", 3000, 101);
}

TEST(Differential, LabelBrightnessOnRandomAndAdversarialImages)
{
    CompareOnRandomImages("label_brightness", 3000, 202);
}

TEST(Differential, TotalPerimeterOnRandomAndAdversarialImages)
{
    CompareOnRandomImages("total_perimeter", 3000, 303);
}

// Many thousands of labels, and labels that meet across the whole image.
TEST(Differential, LargeLabelCounts)
{
    std::mt19937 rng(404);
    for (const char* name : {"fill_holes", "label_brightness"}) {
        Pair modules(name);
        for (const Mask& m : {Dots(201, 151, 1), Dots(200, 150, 0), Checkerboard(160, 120, 1),
                              Comb(300, 40, false, 2), Comb(300, 40, true, 2)})
            CompareOn(modules.fast, modules.literal, Render(rng, m), name, 0);
    }
}

// Without temporary memory the work images live in files in the
// Preferences folder, and every line goes through the line buffers.
TEST(Differential, WorkImagesInFiles)
{
    binary_test::ScratchDir dir("binary-differential-files");
    host::ScopedFolder prefs(kPreferencesFolderType, dir.Path());
    host::ScopedMemoryBudget noMemory(0);
    std::mt19937 rng(808);
    for (const char* name : {"fill_holes", "label_brightness", "total_perimeter"}) {
        Pair modules(name);
        for (int i = 0; i < 150; i++)
            CompareOn(modules.fast, modules.literal, Render(rng, RandomMask(rng)),
                      std::string(name) + " in a file, image " + std::to_string(i), 0);
    }
}

// marker_select reads its marks from the reference image, written here into
// a scratch Preferences folder in the named-image layout.
class MarkerSelectDifferential : public ::testing::Test {
protected:
    void WriteReference(const host::Image& marks)
    {
        std::ofstream out(dir_.Path() / "Reference Image.xzy", std::ios::binary);
        uint16_t header[3] = {static_cast<uint16_t>(marks.width),
                              static_cast<uint16_t>(marks.height), 12};
        out.write(reinterpret_cast<const char*>(header), sizeof header);
        for (int32_t y = 0; y < marks.height; y++)
            for (int32_t x = 0; x < marks.width; x++)
                for (int c = 0; c < 3; c++) {
                    float v = marks.mode == plugInModeRGB96 ? marks.F32(x, y, c) * 255.0f
                                                            : static_cast<float>(marks.U8(x, y));
                    out.write(reinterpret_cast<const char*>(&v), sizeof v);
                }
    }

    // Marks: a few random seeds on the image's own black pixels, specks
    // anywhere, or a grid.
    host::Image Marks(std::mt19937& rng, const Mask& m, bool adversarial)
    {
        int w = static_cast<int>(m[0].size()), h = static_cast<int>(m.size());
        Mask marks = Blank(w, h);
        int kind = static_cast<int>(rng() % 3);
        std::uniform_int_distribution<int> px(0, w - 1), py(0, h - 1);
        for (int n = 0; n < 1 + static_cast<int>(rng() % 6); n++) {
            int x = px(rng), y = py(rng);
            if (kind != 0 || m[y][x])
                Set(marks, x, y);
        }
        if (kind == 2)
            for (int y = 0; y < h; y += 4)
                for (int x = 0; x < w; x += 4)
                    Set(marks, x, y);
        if (!adversarial) {
            auto image = host::Image::Make(w, h, plugInModeGrayScale, 8);
            for (int y = 0; y < h; y++)
                for (int x = 0; x < w; x++)
                    image.U8(x, y) = marks[y][x] ? 0 : 255;
            return image;
        }
        auto image = host::Image::Make(w, h, plugInModeRGB96, 32);
        for (int y = 0; y < h; y++)
            for (int x = 0; x < w; x++)
                for (int c = 0; c < 3; c++)
                    image.F32(x, y, c) = Adversarial(rng, marks[y][x]);
        return image;
    }

    void Compare(const host::Image& image, const host::Image& marks, const std::string& what,
                 int64_t cancelLimit)
    {
        WriteReference(marks);
        CompareOn(modules_.fast, modules_.literal, image, what, cancelLimit);
    }

    binary_test::ScratchDir dir_{"marker-select-differential"};
    host::ScopedFolder prefs_{kPreferencesFolderType, dir_.Path()};
    Pair modules_{"marker_select"};
};

TEST_F(MarkerSelectDifferential, RandomAndAdversarialImages)
{
    std::mt19937 rng(505);
    for (int i = 0; i < 2000; i++) {
        Mask m = RandomMask(rng);
        host::Image image = Render(rng, m);
        Compare(image, Marks(rng, m, image.mode == plugInModeRGB96),
                "marker_select image " + std::to_string(i), i % 8 == 0 ? 1 << 20 : 0);
        if (HasFatalFailure())
            return;
    }
}

// Paths that need more than 1000 passes: a line one pixel high marked at
// one end, a column marked at its bottom, and a long serpentine; the work
// stops after 1000 passes in both. Cancels land at passes along the way.
TEST_F(MarkerSelectDifferential, MoreThanAThousandPasses)
{
    std::mt19937 rng(606);
    Mask row = Blank(1105, 3);
    Mask column = Blank(3, 1105);
    for (int i = 0; i < 1105; i++)
        row[1][i] = column[i][1] = 1;
    Mask rowMarks = Blank(1105, 3), columnMarks = Blank(3, 1105);
    rowMarks[1][0] = columnMarks[1104][1] = 1;
    Mask snake = Serpentine(90, 40, 2);
    Mask snakeMarks = Blank(90, 40);
    snakeMarks[39 - 2][1] = snakeMarks[1][1] = 1;
    const std::pair<Mask, Mask> cases[] = {
        {row, rowMarks}, {column, columnMarks}, {snake, snakeMarks}};
    for (const auto& [shape, marks] : cases) {
        auto toImage = [](const Mask& m) {
            auto image = host::Image::Make(static_cast<int32_t>(m[0].size()),
                                           static_cast<int32_t>(m.size()), plugInModeGrayScale, 8);
            for (size_t y = 0; y < m.size(); y++)
                for (size_t x = 0; x < m[0].size(); x++)
                    image.U8(static_cast<int32_t>(x), static_cast<int32_t>(y)) = m[y][x] ? 0 : 255;
            return image;
        };
        Compare(toImage(shape), toImage(marks), "long path", 0);
        WriteReference(toImage(marks));
        for (int64_t at : {1, 2, 500, 999, 1000}) {
            host::RunOptions options;
            options.cancelAtAbortTest = at;
            ExpectSameRun(host::RunFilter(modules_.fast, toImage(shape), options),
                          host::RunFilter(modules_.literal, toImage(shape), options),
                          "long path cancelled at " + std::to_string(at));
        }
    }
}

TEST_F(MarkerSelectDifferential, WorkImageInAFile)
{
    host::ScopedMemoryBudget noMemory(0);
    std::mt19937 rng(909);
    for (int i = 0; i < 150; i++) {
        Mask m = RandomMask(rng);
        host::Image image = Render(rng, m);
        Compare(image, Marks(rng, m, false), "in a file, image " + std::to_string(i), 0);
    }
}

TEST_F(MarkerSelectDifferential, ReferenceOfAnotherSizeIsRefusedAlike)
{
    std::mt19937 rng(707);
    Mask m = Noise(rng, 9, 7);
    auto image = Render(rng, m);
    Compare(image, Marks(rng, Blank(9, 8), false), "taller reference", 4);
    Compare(image, Marks(rng, Blank(8, 7), false), "narrower reference", 4);
}

}  // namespace
