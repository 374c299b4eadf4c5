// Colour conversion between RGB96 and the framework's LAB96 triples, in
// place. Single precision throughout except the two power curves, which are
// evaluated in double precision and rounded back. a and b are clamped to
// 0..255 on the way to LAB96, L is not; RGB is clamped on the way back.
#include "colour.h"

#include <cmath>

namespace {

float Clamp255(float v)
{
    if (v < 0.0f)
        return 0.0f;
    if (v > 255.0f)
        return 255.0f;
    return v;
}

}  // namespace

extern "C" {

void _RGB96toLAB96(RGB96* pixels, int32_t count)
{
    for (int32_t i = 0; i < count; ++i) {
        float r = pixels[i].c[0], g = pixels[i].c[1], bl = pixels[i].c[2];
        float a = 127.5f + 0.33333f * (r - g);
        float b = (0.5f * (r + g) - bl) * 0.83333f + 127.5f;
        float m = (bl + (r + g) + 1.0f) / 3.0f;
        double p = std::exp(std::log(static_cast<double>(m) + 0.05) * static_cast<double>(0.8f));
        float l = (static_cast<float>(p) - 0.09102821f) * 3.032f;
        pixels[i].c[0] = l;
        pixels[i].c[1] = Clamp255(a);
        pixels[i].c[2] = Clamp255(b);
    }
}

void _LAB96toRGB96(LAB96* pixels, int32_t count)
{
    for (int32_t i = 0; i < count; ++i) {
        float l = pixels[i].c[0], a = pixels[i].c[1], b = pixels[i].c[2];
        float chromaA = 3.0f * (a - 127.5f);
        float chromaB = 1.2f * (b - 127.5f);
        float shifted = l + 0.05f;
        float c = static_cast<float>(
            std::exp(std::log(static_cast<double>(shifted)) * 1.2799999713897705));
        float d = (c - 0.21611336f) / 4.7191334f;
        float red = chromaA * 0.5f + d + chromaB / 3.0f + 0.5f;
        float green = chromaA * (-0.5f) + d + chromaB / 3.0f + 0.5f;
        float blue = (chromaB + chromaB) / (-3.0f) + d + 0.5f;
        pixels[i].c[0] = Clamp255(red);
        pixels[i].c[1] = Clamp255(green);
        pixels[i].c[2] = Clamp255(blue);
    }
}

}  // extern "C"
