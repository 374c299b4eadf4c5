// A deterministic photo-like 8-bit RGB test image for the benchmarks:
// smooth shading, flat blocks with edges, fine texture and noise.
#pragma once

#include <algorithm>
#include <cmath>
#include <random>

#include "host.h"

inline host::Image PhotoLikeImage(int32_t n)
{
    host::Image image = host::Image::Make(n, n, plugInModeRGBColor, 8);
    std::mt19937 rng(1);
    std::normal_distribution<float> noise(0.0f, 5.0f);
    for (int32_t y = 0; y < n; ++y) {
        const float fy = static_cast<float>(y) / static_cast<float>(n);
        for (int32_t x = 0; x < n; ++x) {
            const float fx = static_cast<float>(x) / static_cast<float>(n);
            float base =
                120.0f + 80.0f * std::sin(6.0f * fx + 2.0f * fy) * std::cos(4.0f * fy - fx);
            if ((static_cast<int>(fx * 12) + static_cast<int>(fy * 9)) % 4 == 0)
                base = base * 0.4f + 20.0f;
            const float texture = 12.0f * std::sin(90.0f * fx) * std::sin(70.0f * fy);
            for (int p = 0; p < 3; ++p) {
                float v = base + texture + 25.0f * p * std::cos(3.0f * fx + p) + noise(rng);
                image.U8(x, y, p) = static_cast<uint8_t>(std::clamp(v, 0.0f, 255.0f));
            }
        }
    }
    return image;
}
