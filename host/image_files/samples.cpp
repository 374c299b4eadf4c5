// Sample mappings between files and host images, shared by every format:
// 16-bit rescaling, CIELab's signed a and b, alpha split off and merged
// back, low bit depths, palettes and two-level packing.
#include <algorithm>

#include "formats.h"

namespace host::files {

namespace {

std::string Join(const char* verb, const std::string& name, const std::string& what)
{
    std::string text(verb);
    text += ' ';
    text += name;
    text += ": ";
    text += what;
    return text;
}

}  // namespace

std::string ReadFailureText(const std::string& name, const std::string& what)
{
    return Join("cannot read", name, what);
}

std::string WriteFailureText(const std::string& name, const std::string& what)
{
    return Join("cannot write", name, what);
}

void ReadContext::Fail(const std::string& what) const
{
    throw ImageFileError(ReadFailureText(name, what));
}

std::optional<uint64_t> Multiply(uint64_t a, uint64_t b)
{
    uint64_t product;
    if (__builtin_mul_overflow(a, b, &product))
        return std::nullopt;
    return product;
}

void ReadContext::CheckSize(uint64_t width, uint64_t height) const
{
    const std::string size = std::to_string(width) + " x " + std::to_string(height);
    if (width == 0 || height == 0)
        Fail("the image is empty (" + size + ")");
    if (width > INT32_MAX || height > INT32_MAX)
        Fail("the image is too large (" + size + ")");
    const uint64_t pixels = width * height;  // both below 2^31: no overflow
    if (maxPixels != 0 && pixels > maxPixels)
        Fail("the image is too large (" + size + " is " + std::to_string(pixels) +
             " pixels; the limit is " + std::to_string(maxPixels) + ", see --max-pixels)");
}

int16_t HostMode(int planes, int depth, bool lab)
{
    if (lab)
        return depth == 8 ? plugInModeLabColor : plugInModeLab48;
    if (planes == 1)
        return depth == 16 ? plugInModeGray16 : plugInModeGrayScale;
    return depth == 8 ? plugInModeRGBColor : depth == 16 ? plugInModeRGB48 : plugInModeRGB96;
}

Image MakeHostImage(int32_t width, int32_t height, int planes, int depth, bool lab)
{
    return Image::Make(width, height, HostMode(planes, depth, lab), static_cast<int16_t>(depth));
}

namespace {

uint16_t LoadFile16(const uint8_t* p, Endian endian)
{
    return endian == Endian::kBig ? LoadBE16(p) : LoadNative16(p);
}

void StoreFile16(uint8_t* p, uint16_t v, Endian endian)
{
    if (endian == Endian::kBig)
        StoreBE16(p, v);
    else
        StoreNative16(p, v);
}

// The value XOR-ed into sample s of a pixel: the sign bit of a and b in
// CIELab, nothing otherwise.
uint16_t SignFlip(const SampleLayout& layout, int sample)
{
    if (!layout.signedLab || sample == 0 || sample >= layout.planes)
        return 0;
    return layout.depth == 8 ? 0x80 : 0x8000;
}

}  // namespace

void FileRowToHost(const SampleLayout& layout, const uint8_t* in, int32_t width, Image& image,
                   Image* alpha, int32_t y)
{
    const int samples = layout.FileSamples();
    const size_t bytes = static_cast<size_t>(layout.depth / 8);
    uint8_t* colour = image.Row(y);
    uint8_t* extra = alpha ? alpha->Row(y) : nullptr;
    const bool plain = layout.depth != 16 && !layout.alpha && !layout.signedLab;
    if (plain) {
        std::memcpy(colour, in, layout.PixelBytes() * static_cast<size_t>(width));
        return;
    }
    for (int32_t x = 0; x < width; ++x)
        for (int s = 0; s < samples; ++s) {
            const bool isAlpha = s >= layout.planes;
            if (isAlpha && !extra)
                continue;
            const uint8_t* from = in + (static_cast<size_t>(x) * samples + s) * bytes;
            uint8_t* to = isAlpha ? extra + static_cast<size_t>(x) * bytes
                                  : colour + (static_cast<size_t>(x) * layout.planes + s) * bytes;
            if (layout.depth == 8)
                *to = static_cast<uint8_t>(*from ^ SignFlip(layout, s));
            else if (layout.depth == 16 && isAlpha)  // never filtered: kept as the file has it
                StoreNative16(to, LoadFile16(from, layout.endian));
            else if (layout.depth == 16)
                StoreNative16(to, FileToHost16(static_cast<uint16_t>(
                                      LoadFile16(from, layout.endian) ^ SignFlip(layout, s))));
            else
                std::memcpy(to, from, 4);
        }
}

void HostRowToFile(const SampleLayout& layout, const Image& image, const Image* alpha, int32_t y,
                   uint8_t* out)
{
    const int samples = layout.FileSamples();
    const size_t bytes = static_cast<size_t>(layout.depth / 8);
    const uint8_t* colour = image.Row(y);
    const uint8_t* extra = alpha && layout.alpha ? alpha->Row(y) : nullptr;
    const bool plain = layout.depth != 16 && !layout.alpha && !layout.signedLab &&
                       layout.endian == Endian::kNative;
    if (plain) {
        std::memcpy(out, colour, layout.PixelBytes() * static_cast<size_t>(image.width));
        return;
    }
    for (int32_t x = 0; x < image.width; ++x)
        for (int s = 0; s < samples; ++s) {
            uint8_t* to = out + (static_cast<size_t>(x) * samples + s) * bytes;
            const uint8_t* from =
                s < layout.planes ? colour + (static_cast<size_t>(x) * layout.planes + s) * bytes
                : extra           ? extra + static_cast<size_t>(x) * bytes
                                  : nullptr;
            if (!from) {  // alpha asked for but none given: opaque
                if (layout.depth == 8)
                    *to = 255;
                else if (layout.depth == 16)
                    StoreFile16(to, 65535, layout.endian);
                else {
                    const float one = 1.0f;
                    std::memcpy(to, &one, 4);
                }
                continue;
            }
            if (layout.depth == 8)
                *to = static_cast<uint8_t>(*from ^ SignFlip(layout, s));
            else if (layout.depth == 16 && s >= layout.planes)
                StoreFile16(to, LoadNative16(from), layout.endian);
            else if (layout.depth == 16)
                StoreFile16(
                    to,
                    static_cast<uint16_t>(HostToFile16(LoadNative16(from)) ^ SignFlip(layout, s)),
                    layout.endian);
            else
                std::memcpy(to, from, 4);
        }
}

void UnpackIndices(const uint8_t* in, int bits, int32_t width, uint8_t* out)
{
    if (bits == 8) {
        std::memcpy(out, in, static_cast<size_t>(width));
        return;
    }
    const int perByte = 8 / bits;
    const int mask = (1 << bits) - 1;
    for (int32_t x = 0; x < width; ++x) {
        const int shift = 8 - bits * (x % perByte + 1);
        out[x] = static_cast<uint8_t>((in[x / perByte] >> shift) & mask);
    }
}

void ExpandLowBits(const uint8_t* in, int bits, int32_t width, bool minIsWhite, uint8_t* out)
{
    UnpackIndices(in, bits, width, out);
    const int scale = 255 / ((1 << bits) - 1);  // 255, 85 or 17: exact
    for (int32_t x = 0; x < width; ++x) {
        const int level = out[x] * scale;
        out[x] = static_cast<uint8_t>(minIsWhite ? 255 - level : level);
    }
}

bool Palette::IsGrey() const
{
    for (size_t i = 0; i < red.size(); ++i)
        if (red[i] != green[i] || red[i] != blue[i])
            return false;
    return true;
}

bool Palette::HasAlpha() const
{
    return std::any_of(alpha.begin(), alpha.end(), [](uint8_t a) { return a != 255; });
}

void PaletteRowToHost(const Palette& palette, const uint8_t* indices, int32_t width, Image& image,
                      Image* alpha, int32_t y)
{
    uint8_t* out = image.Row(y);
    uint8_t* extra = alpha ? alpha->Row(y) : nullptr;
    const size_t entries = palette.red.size();
    for (int32_t x = 0; x < width; ++x) {
        const size_t i = indices[x];
        const bool known = i < entries;
        if (image.planes == 1) {
            out[x] = known ? palette.red[i] : 0;
        } else {
            out[3 * x] = known ? palette.red[i] : 0;
            out[3 * x + 1] = known ? palette.green[i] : 0;
            out[3 * x + 2] = known ? palette.blue[i] : 0;
        }
        if (extra)
            extra[x] = known && i < palette.alpha.size() ? palette.alpha[i] : 255;
    }
}

namespace {

// 0 for black, 1 for white, -1 for anything else.
int Level(const Image& image, int32_t x, int32_t y, int plane)
{
    if (image.depth == 8) {
        const uint8_t v = image.U8(x, y, plane);
        return v == 0 ? 0 : v == 255 ? 1 : -1;
    }
    if (image.depth == 16) {
        const uint16_t v = image.U16(x, y, plane);
        return v == 0 ? 0 : v == 32768 ? 1 : -1;
    }
    const float v = image.F32(x, y, plane);
    return v == 0.0f ? 0 : v == 1.0f ? 1 : -1;
}

}  // namespace

bool IsTwoLevel(const Image& image)
{
    if (image.mode == plugInModeLabColor || image.mode == plugInModeLab48)
        return false;
    for (int32_t y = 0; y < image.height; ++y)
        for (int32_t x = 0; x < image.width; ++x) {
            const int level = Level(image, x, y, 0);
            if (level < 0)
                return false;
            for (int p = 1; p < image.planes; ++p)
                if (Level(image, x, y, p) != level)
                    return false;
        }
    return true;
}

void PackTwoLevelRow(const Image& image, int32_t y, bool blackIsOne, uint8_t* out)
{
    std::memset(out, 0, (static_cast<size_t>(image.width) + 7) / 8);
    for (int32_t x = 0; x < image.width; ++x) {
        const bool black = Level(image, x, y, 0) == 0;
        if (black == blackIsOne)
            out[x / 8] = static_cast<uint8_t>(out[x / 8] | (0x80 >> (x % 8)));
    }
}

}  // namespace host::files
