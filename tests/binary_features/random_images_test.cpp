// Randomised checks of the binary filters on many small random images
// against plain references written here: a flood fill for the holes, a
// breadth-first labelling for the partition into features, and a direct
// in-memory run of the raster labelling (relabelling every earlier line on
// each meeting) for the exact feature numbers.
#include <gtest/gtest.h>

#include <algorithm>
#include <deque>
#include <map>

#include "binary_test_images.h"

namespace {

using Grid = std::vector<std::vector<int>>;  // [y][x], 1 = black

Grid BlackPixels(const host::Image& image)
{
    Grid grid(image.height, std::vector<int>(image.width));
    for (int32_t y = 0; y < image.height; y++)
        for (int32_t x = 0; x < image.width; x++)
            grid[y][x] = image.U8(x, y) == 0;
    return grid;
}

// Components of cells equal to `value`, 4- or 8-connected; -1 elsewhere.
Grid Components(const Grid& grid, int value, bool eight, int* count)
{
    int h = static_cast<int>(grid.size()), w = static_cast<int>(grid[0].size());
    Grid id(h, std::vector<int>(w, -1));
    *count = 0;
    for (int sy = 0; sy < h; sy++)
        for (int sx = 0; sx < w; sx++) {
            if (grid[sy][sx] != value || id[sy][sx] >= 0)
                continue;
            std::deque<std::pair<int, int>> queue{{sx, sy}};
            id[sy][sx] = *count;
            while (!queue.empty()) {
                auto [x, y] = queue.front();
                queue.pop_front();
                for (int dy = -1; dy <= 1; dy++)
                    for (int dx = -1; dx <= 1; dx++) {
                        if (!eight && dx != 0 && dy != 0)
                            continue;
                        int nx = x + dx, ny = y + dy;
                        if (nx < 0 || ny < 0 || nx >= w || ny >= h)
                            continue;
                        if (grid[ny][nx] != value || id[ny][nx] >= 0)
                            continue;
                        id[ny][nx] = *count;
                        queue.push_back({nx, ny});
                    }
            }
            ++*count;
        }
    return id;
}

// Expected fill_holes output: white pixels not reachable from the edge
// through 4-connected white pixels become 32.
host::Image FloodFillReference(const host::Image& input)
{
    Grid grid = BlackPixels(input);
    int count = 0;
    Grid id = Components(grid, 0, false, &count);
    std::vector<bool> reachesEdge(count);
    for (int32_t y = 0; y < input.height; y++)
        for (int32_t x = 0; x < input.width; x++)
            if (id[y][x] >= 0 &&
                (x == 0 || y == 0 || x == input.width - 1 || y == input.height - 1))
                reachesEdge[id[y][x]] = true;
    host::Image out = input;
    for (int32_t y = 0; y < input.height; y++)
        for (int32_t x = 0; x < input.width; x++)
            if (id[y][x] >= 0 && !reachesEdge[id[y][x]])
                out.U8(x, y) = 32;
    return out;
}

// Label values of the single raster pass, worked directly on a bordered
// array, every earlier line rewritten at each meeting.
Grid RasterLabels(const Grid& black, int* lastLabel)
{
    int h = static_cast<int>(black.size()), w = static_cast<int>(black[0].size());
    Grid work(h + 2, std::vector<int>(w + 2));
    for (int y = 0; y < h; y++)
        for (int x = 0; x < w; x++)
            work[y + 1][x + 1] = black[y][x];
    int counter = 1;
    for (int k = 1; k <= h; k++)
        for (int j = 1; j <= w; j++) {
            if (work[k][j] == 0)
                continue;
            int l = work[k][j - 1], ul = work[k - 1][j - 1], u = work[k - 1][j],
                ur = work[k - 1][j + 1];
            int code = 8 * (l != 0) + 4 * (ul != 0) + 2 * (u != 0) + (ur != 0);
            int value = 0, dying = 0;
            if (code == 0)
                value = ++counter;
            else if (code == 1 || code == 3 || code == 7 || code == 11 || code == 15)
                value = ur;
            else if (code == 2 || code == 6 || code == 10 || code == 14)
                value = u;
            else if (code == 4 || code == 12)
                value = ul;
            else if (code == 8)
                value = l;
            else if (code == 5)
                value = ur, dying = ul != ur ? ul : 0;
            else
                value = ur, dying = l != ur ? l : 0;
            if (dying != 0) {
                for (int line = 1; line < k; line++)
                    for (int& v : work[line])
                        v = v == dying ? value : v;
                for (int i = 1; i < j; i++)
                    work[k][i] = work[k][i] == dying ? value : work[k][i];
            }
            work[k][j] = value;
        }
    *lastLabel = counter;
    return work;
}

// Expected label_brightness numbers (0 = background), or an empty grid when
// no feature is numbered.
Grid NumberReference(const Grid& black)
{
    int h = static_cast<int>(black.size()), w = static_cast<int>(black[0].size());
    int last = 0;
    Grid work = RasterLabels(black, &last);
    std::vector<bool> edge(last + 1);
    std::map<int, int> numbers;
    for (int k = 1; k <= h; k++)
        for (int j = 1; j <= w; j++)
            if (k == 1 || k == h || j == 1 || j == w)
                edge[work[k][j]] = true;
    for (int k = 1; k <= h; k++)
        for (int j = 1; j <= w; j++)
            if (work[k][j] != 0 && !edge[work[k][j]])
                numbers[work[k][j]] = 0;
    if (numbers.empty())
        return {};
    int next = 0;
    for (auto& [label, number] : numbers)
        number = ++next;
    Grid out(h, std::vector<int>(w));
    for (int y = 0; y < h; y++)
        for (int x = 0; x < w; x++) {
            int v = work[y + 1][x + 1];
            out[y][x] = v != 0 && !edge[v] ? numbers[v] : 0;
        }
    return out;
}

// What an 8-bit grey image stores for feature number n: the channel mean
// of red n and green = blue = ((n - 1) mod 100) + 1, clamped and truncated.
int GreyOfNumber(int n)
{
    float red = static_cast<float>(n), cycle = static_cast<float>((n - 1) % 100 + 1);
    float mean = ((red + cycle) + cycle) / 3.0f;
    return mean > 255.0f ? 255 : static_cast<int>(mean);
}

// Black shapes that make many meetings in the raster pass: rectangle
// outlines (holes), combs open upward or downward (arms that join late),
// diagonal lines in both directions, filled blocks and specks.
host::Image StructuredImage(std::mt19937& rng)
{
    std::uniform_int_distribution<int> size(16, 90), count(3, 25), kind(0, 4);
    int32_t w = size(rng), h = size(rng);
    auto image = host::Image::Make(w, h, plugInModeGrayScale, 8);
    std::fill(image.pixels.begin(), image.pixels.end(), uint8_t{255});
    auto black = [&](int x, int y) {
        if (x >= 0 && y >= 0 && x < w && y < h)
            image.U8(x, y) = 0;
    };
    std::uniform_int_distribution<int> px(-3, w + 2), py(-3, h + 2), len(2, 30), teeth(2, 6);
    for (int n = count(rng); n > 0; n--) {
        int x0 = px(rng), y0 = py(rng), a = len(rng), b = len(rng);
        switch (kind(rng)) {
        case 0:
            for (int i = 0; i <= a; i++)
                black(x0 + i, y0), black(x0 + i, y0 + b);
            for (int i = 0; i <= b; i++)
                black(x0, y0 + i), black(x0 + a, y0 + i);
            break;
        case 1: {
            int t = teeth(rng), up = b % 2;
            for (int i = 0; i <= t * 3; i++)
                black(x0 + i, up ? y0 + b : y0);
            for (int k = 0; k <= t; k++)
                for (int i = 0; i <= b; i++)
                    black(x0 + 3 * k, y0 + i);
            break;
        }
        case 2:
            for (int i = 0; i <= a; i++)
                black(b % 2 ? x0 + i : x0 - i, y0 + i);
            break;
        case 3:
            for (int y = 0; y < b / 4 + 1; y++)
                for (int x = 0; x < a / 4 + 1; x++)
                    black(x0 + x, y0 + y);
            break;
        default:
            for (int i = 0; i < a; i++)
                black(px(rng), py(rng));
        }
    }
    return image;
}

class RandomImages : public ::testing::Test {
protected:
    // Mostly tiny noise images, a share of larger ones at varied densities,
    // and a share of structured images.
    host::Image Next()
    {
        std::uniform_int_distribution<int> small(1, 9), large(10, 40), pick(0, 5);
        std::uniform_real_distribution<double> density(0.15, 0.85);
        int choice = pick(rng_);
        if (choice == 0)
            return StructuredImage(rng_);
        bool big = choice == 1;
        int32_t w = big ? large(rng_) : small(rng_);
        int32_t h = big ? large(rng_) : small(rng_);
        return binary_test::RandomImage(rng_, w, h, density(rng_));
    }
    std::mt19937 rng_{20240611};
};

TEST_F(RandomImages, FillHolesMatchesFloodFill)
{
    host::Module module(PLUGIN_DIR "/fill_holes.so");
    for (int i = 0; i < 1500; i++) {
        auto image = Next();
        auto report = host::RunFilter(module, image);
        ASSERT_EQ(report.result, 0);
        ASSERT_EQ(report.output, FloodFillReference(image)) << "image " << i;
    }
}

TEST_F(RandomImages, LabelBrightnessMatchesReferences)
{
    host::Module module(PLUGIN_DIR "/label_brightness.so");
    int numberedImages = 0;
    for (int i = 0; i < 1500; i++) {
        auto image = Next();
        auto report = host::RunFilter(module, image);
        ASSERT_EQ(report.result, 0);
        Grid black = BlackPixels(image);
        Grid expected = NumberReference(black);
        if (expected.empty()) {
            ASSERT_EQ(report.output, image) << "image " << i << ": nothing should be written";
            continue;
        }
        numberedImages++;
        // Independently: numbered pixels are exactly the black components
        // away from the edge, one number per component, numbers 1..N.
        int count = 0;
        Grid component = Components(black, 1, true, &count);
        std::vector<bool> touchesEdge(count);
        for (int32_t y = 0; y < image.height; y++)
            for (int32_t x = 0; x < image.width; x++)
                if (component[y][x] >= 0 &&
                    (x == 0 || y == 0 || x == image.width - 1 || y == image.height - 1))
                    touchesEdge[component[y][x]] = true;
        std::map<int, int> numberOf;
        for (int32_t y = 0; y < image.height; y++)
            for (int32_t x = 0; x < image.width; x++) {
                int want = expected[y][x];
                ASSERT_EQ(report.output.U8(x, y), want == 0 ? 255 : GreyOfNumber(want))
                    << "image " << i << " at " << x << "," << y;
                int c = component[y][x];
                ASSERT_EQ(want != 0, c >= 0 && !touchesEdge[c])
                    << "image " << i << " at " << x << "," << y;
                if (want == 0)
                    continue;
                auto [it, inserted] = numberOf.emplace(c, want);
                ASSERT_EQ(it->second, want) << "one feature, two numbers";
            }
        std::vector<int> numbers;
        for (auto& [c, n] : numberOf)
            numbers.push_back(n);
        std::sort(numbers.begin(), numbers.end());
        for (size_t n = 0; n < numbers.size(); n++)
            ASSERT_EQ(numbers[n], static_cast<int>(n) + 1);
    }
    EXPECT_GT(numberedImages, 100);
}

}  // namespace
