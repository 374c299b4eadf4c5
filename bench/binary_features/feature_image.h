// The benchmark image of the binary filters, shared by the Google Benchmark
// program and the timing program the peer comparison calls: 2048 x 2048,
// a few thousand features of varied shape (blobs with holes, U-shapes, thin
// diagonal lines, irregular blobs) and noise specks, generated
// deterministically; and the marks marker_select grows from.
#pragma once

#include <algorithm>
#include <random>

#include "host.h"

namespace binary_bench {

constexpr int32_t kSize = 2048;
constexpr int32_t kCell = 32;

struct Painter {
    host::Image& image;
    void Black(int32_t x, int32_t y)
    {
        if (x >= 0 && y >= 0 && x < image.width && y < image.height)
            image.U8(x, y) = 0;
    }
    void White(int32_t x, int32_t y)
    {
        if (x >= 0 && y >= 0 && x < image.width && y < image.height)
            image.U8(x, y) = 255;
    }
};

// One feature per 32 x 32 cell (4096 cells), plus scattered specks.
inline host::Image MakeFeatureImage()
{
    auto image = host::Image::Make(kSize, kSize, plugInModeGrayScale, 8);
    std::fill(image.pixels.begin(), image.pixels.end(), uint8_t{255});
    Painter paint{image};
    std::mt19937 rng(4096);
    std::uniform_int_distribution<int> kind(0, 4), jitter(0, 5), radius(5, 11),
        specks(0, kSize - 1);
    for (int32_t cy = 0; cy < kSize / kCell; cy++)
        for (int32_t cx = 0; cx < kSize / kCell; cx++) {
            int32_t ox = cx * kCell + jitter(rng), oy = cy * kCell + jitter(rng);
            int32_t r = radius(rng);
            int32_t mx = ox + 13, my = oy + 13;
            switch (kind(rng)) {
            case 0:  // disc with one or two holes
            case 1:
                for (int32_t y = -r; y <= r; y++)
                    for (int32_t x = -r; x <= r; x++)
                        if (x * x + y * y <= r * r)
                            paint.Black(mx + x, my + y);
                for (int32_t y = -2; y <= 2; y++)
                    for (int32_t x = -2; x <= 2; x++) {
                        paint.White(mx - r / 2 + x, my + y);
                        if (r > 8)
                            paint.White(mx + r / 2 + x, my + y - 1);
                    }
                break;
            case 2:  // U-shape, open at the top
                for (int32_t y = 0; y < 2 * r; y++)
                    for (int32_t t = 0; t < 3; t++) {
                        paint.Black(ox + t, oy + y);
                        paint.Black(ox + 2 * r - t, oy + y);
                    }
                for (int32_t x = 0; x <= 2 * r; x++)
                    for (int32_t t = 0; t < 3; t++)
                        paint.Black(ox + x, oy + 2 * r - 1 + t);
                break;
            case 3:  // thin diagonal, either direction
                for (int32_t i = 0; i < 2 * r + 4; i++) {
                    if (r % 2)
                        paint.Black(ox + i, oy + i);
                    else
                        paint.Black(ox + 2 * r + 4 - i, oy + i);
                }
                break;
            default:  // irregular blob: a random walk of 3 x 3 brushes
            {
                int32_t x = mx, y = my;
                std::uniform_int_distribution<int> step(-1, 1);
                for (int32_t i = 0; i < 60; i++) {
                    for (int32_t dy = -1; dy <= 1; dy++)
                        for (int32_t dx = -1; dx <= 1; dx++)
                            paint.Black(x + dx, y + dy);
                    x = std::clamp(x + step(rng), ox + 2, ox + 26);
                    y = std::clamp(y + step(rng), oy + 2, oy + 26);
                }
            }
            }
        }
    for (int i = 0; i < 3000; i++)
        paint.Black(specks(rng), specks(rng));
    return image;
}

inline const host::Image& FeatureImage()
{
    static host::Image image = MakeFeatureImage();
    return image;
}

// Marks for marker_select: one-pixel lines every 64 pixels each way,
// through the middle of every other feature cell, so most features are
// marked somewhere and many need growth upward and sideways.
constexpr int32_t kMarkPitch = 64;
constexpr int32_t kMarkOffset = 16;

inline host::Image MakeGridMarks()
{
    auto marks = host::Image::Make(kSize, kSize, plugInModeGrayScale, 8);
    for (int32_t y = 0; y < kSize; y++)
        for (int32_t x = 0; x < kSize; x++) {
            bool onGrid = x % kMarkPitch == kMarkOffset || y % kMarkPitch == kMarkOffset;
            marks.U8(x, y) = onGrid ? 0 : 255;
        }
    return marks;
}

}  // namespace binary_bench
