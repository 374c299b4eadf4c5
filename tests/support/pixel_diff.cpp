#include "pixel_diff.h"

#include <cstring>
#include <sstream>

namespace test_support {

namespace {

std::string SampleText(const host::Image& image, int32_t x, int32_t y, int plane)
{
    std::ostringstream out;
    if (image.depth == 8)
        out << int(image.U8(x, y, plane));
    else if (image.depth == 16)
        out << image.U16(x, y, plane);
    else
        out << image.F32(x, y, plane);
    return out.str();
}

std::string PixelText(const host::Image& image, int32_t x, int32_t y)
{
    std::string text = "(";
    for (int plane = 0; plane < image.planes; ++plane)
        text += (plane ? ", " : "") + SampleText(image, x, y, plane);
    return text + ")";
}

}  // namespace

::testing::AssertionResult ImagesEqual(const host::Image& expected, const host::Image& actual)
{
    if (expected.width != actual.width || expected.height != actual.height)
        return ::testing::AssertionFailure()
               << "size " << actual.width << " x " << actual.height << ", expected "
               << expected.width << " x " << expected.height;
    if (expected.mode != actual.mode || expected.depth != actual.depth ||
        expected.planes != actual.planes)
        return ::testing::AssertionFailure()
               << "mode " << host::ModeName(actual.mode, actual.depth) << ", expected "
               << host::ModeName(expected.mode, expected.depth);
    if (expected.pixels == actual.pixels)
        return ::testing::AssertionSuccess();

    const size_t pixelBytes = expected.PixelBytes();
    std::ostringstream out;
    int64_t differing = 0;
    for (int32_t y = 0; y < expected.height; ++y) {
        for (int32_t x = 0; x < expected.width; ++x) {
            const size_t offset = (static_cast<size_t>(y) * expected.width + x) * pixelBytes;
            if (std::memcmp(expected.pixels.data() + offset, actual.pixels.data() + offset,
                            pixelBytes) == 0)
                continue;
            if (differing++ < 8)
                out << "\n  at (" << x << ", " << y << "): " << PixelText(actual, x, y)
                    << ", expected " << PixelText(expected, x, y);
        }
    }
    return ::testing::AssertionFailure() << differing << " pixels differ" << out.str();
}

}  // namespace test_support
