// What the format files share: the reading context (name for messages,
// pixel limit), the sample mappings between file and host, size checks made
// before anything is allocated, and each format's reader and encoder.
#pragma once

#include <cstdint>
#include <cstring>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "image_file.h"

namespace host::files {

// The file being read, as messages name it, and the limits it is held to.
struct ReadContext {
    std::string name;  // "'photo.png'" or "standard input"
    uint64_t maxPixels = 0;
    int page = 1;

    [[noreturn]] void Fail(const std::string& what) const;
    // Refuses an empty image, sides beyond INT32_MAX and more pixels than
    // the limit allows, before anything is allocated.
    void CheckSize(uint64_t width, uint64_t height) const;
};

// "cannot read NAME: WHAT" / "cannot write NAME: WHAT".
std::string ReadFailureText(const std::string& name, const std::string& what);
std::string WriteFailureText(const std::string& name, const std::string& what);

// a × b, or nothing when it does not fit 64 bits.
std::optional<uint64_t> Multiply(uint64_t a, uint64_t b);

inline uint16_t LoadBE16(const uint8_t* p)
{
    return static_cast<uint16_t>(p[0] << 8 | p[1]);
}
inline void StoreBE16(uint8_t* p, uint16_t v)
{
    p[0] = static_cast<uint8_t>(v >> 8);
    p[1] = static_cast<uint8_t>(v & 0xFF);
}
inline uint16_t LoadNative16(const uint8_t* p)
{
    uint16_t v;
    std::memcpy(&v, p, 2);
    return v;
}
inline void StoreNative16(uint8_t* p, uint16_t v)
{
    std::memcpy(p, &v, 2);
}

// The host mode of a grey (1 plane) or colour (3 planes) image of the given
// depth; `lab` for CIELab.
int16_t HostMode(int planes, int depth, bool lab = false);
// An all-zero host image of that kind.
Image MakeHostImage(int32_t width, int32_t height, int planes, int depth, bool lab = false);

// ---- sample mappings, the only place they are written

enum class Endian { kBig, kNative };

// How a file's interleaved samples relate to the host's: `planes` colour
// samples per pixel, then an alpha sample if `alpha`; Lab flips the sign bit
// of a and b (CIELab's signed storage).
struct SampleLayout {
    int planes = 1;
    bool alpha = false;
    int depth = 8;  // 8, 16 or 32 (float)
    bool signedLab = false;
    Endian endian = Endian::kNative;
    int FileSamples() const { return planes + (alpha ? 1 : 0); }
    size_t PixelBytes() const { return static_cast<size_t>(FileSamples()) * (depth / 8); }
};

// One file row of `width` pixels → host image row y (and alpha row y).
// Alpha samples are copied as they are; colour samples are mapped.
void FileRowToHost(const SampleLayout& layout, const uint8_t* in, int32_t width, Image& image,
                   Image* alpha, int32_t y);
// Host image row y (and alpha row y when `alpha` is set) → one file row.
void HostRowToFile(const SampleLayout& layout, const Image& image, const Image* alpha, int32_t y,
                   uint8_t* out);

// Expands `width` packed samples of 1, 2 or 4 bits (first sample in the high
// bits) to 8-bit grey levels: 0..2^bits−1 → 0..255, inverted for
// min-is-white.
void ExpandLowBits(const uint8_t* in, int bits, int32_t width, bool minIsWhite, uint8_t* out);
// Unpacks `width` packed palette indices of 1, 2, 4 or 8 bits.
void UnpackIndices(const uint8_t* in, int bits, int32_t width, uint8_t* out);

// A colour table: entries in 8 bits; alpha 255 where the file gives none.
struct Palette {
    std::vector<uint8_t> red, green, blue, alpha;
    bool IsGrey() const;
    bool HasAlpha() const;
};
// Indices → grey or RGB (and alpha) host rows. Indices beyond the table
// give black.
void PaletteRowToHost(const Palette& palette, const uint8_t* indices, int32_t width, Image& image,
                      Image* alpha, int32_t y);

// Whether every pixel is black or white (grey, or RGB with equal planes;
// white is 255, 32768 or 1.0).
bool IsTwoLevel(const Image& image);
// Packs row y of a two-level image as 1 bit a pixel, 1 for black when
// `blackIsOne`, padding bits zero.
void PackTwoLevelRow(const Image& image, int32_t y, bool blackIsOne, uint8_t* out);

// ---- the formats

bool IsPng(std::span<const uint8_t> bytes);
bool IsTiff(std::span<const uint8_t> bytes);
bool IsJpeg(std::span<const uint8_t> bytes);
bool IsPnm(std::span<const uint8_t> bytes);

ImageFile ReadPng(std::span<const uint8_t> bytes, const ReadContext& context);
ImageFile ReadTiff(std::span<const uint8_t> bytes, const ReadContext& context);
ImageFile ReadJpeg(std::span<const uint8_t> bytes, const ReadContext& context);
ImageFile ReadPnm(std::span<const uint8_t> bytes, const ReadContext& context);

// Encoders return the whole file; they throw std::runtime_error with a
// short reason on failure. Their options were checked by the Check*
// functions, which return a refusal text (without the file name) or nothing.
std::optional<std::string> CheckPngOptions(const WriteOptions& options);
std::optional<std::string> CheckTiffOptions(const WriteOptions& options, const Image& image);
// Whether a TIFF compression writes 1 bit a pixel (fax coding).
bool IsBilevelCompression(const std::string& compression);
std::optional<std::string> CheckJpegOptions(const WriteOptions& options, const Image& image);

std::vector<uint8_t> EncodePng(const ImageFile& file, const WriteOptions& options);
std::vector<uint8_t> EncodeTiff(const ImageFile& file, const WriteOptions& options);
std::vector<uint8_t> EncodeJpeg(const ImageFile& file, const WriteOptions& options);
// P5/P6 by the image's planes.
std::vector<uint8_t> EncodePnm(const ImageFile& file);
std::vector<uint8_t> EncodePbm(const ImageFile& file);

}  // namespace host::files
