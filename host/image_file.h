// Image files on disk ⇄ host::Image.
//
// Read: PNG (any bit depth, grey, RGB, palette, with or without alpha),
// TIFF (1/2/4/8/16-bit and 32-bit float grey or RGB, palette, 8/16-bit
// CIELab, with or without alpha, any libtiff compression including Group 3/4
// fax), JPEG (8-bit grey or colour) and PBM/PGM/PPM (binary and ASCII).
// Written: PNG, TIFF, JPEG, PGM/PPM and PBM. Each format lives in its own
// file under image_files/; this header is the whole interface.
//
// The host mode follows the file: grey 8 → 1, grey 16 → 10, grey float → 1
// with depth 32, RGB 8 → 3, RGB 16 → 11, RGB float → 16, Lab 8 → 9,
// Lab 16 → 12. Palettes become RGB (grey when every entry is grey) and 1, 2
// and 4-bit grey becomes 8-bit (1-bit: 0 and 255). Files are recognised by
// their leading bytes on reading and by the target's extension (or an
// explicit format) on writing.
//
// 16-bit samples: a file's 0..65535 maps to the host's 0..32768 and back,
// rounding to nearest (FileToHost16 / HostToFile16). Host → file → host is
// exact for every host value.
//
// CIELab TIFF: L is stored unsigned, a and b as signed integers (8-bit:
// -128..127; 16-bit: -32768..32767). The host keeps all three planes
// unsigned with the neutral a/b in the middle, so a and b are offset by
// half the range (128, or 32768 before the 16-bit mapping), i.e. the sign
// bit is flipped. ICC-style Lab TIFFs (a and b already unsigned) are read
// without the offset. Lab is always written as CIELab.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

#include "host.h"

namespace host {

// A file that cannot be read or written; the text names the file and says
// what it holds or what went wrong.
class ImageFileError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// kPnm covers .pgm, .ppm and .pnm (8/16-bit grey or RGB); kPbm is the
// two-level bitmap.
enum class ImageFileFormat { kPng, kTiff, kPnm, kJpeg, kPbm };

// The format a file name's extension selects (.png, .tif, .tiff, .pgm,
// .ppm, .pnm, .pbm, .jpg, .jpeg; any letter case), if any.
std::optional<ImageFileFormat> FormatForPath(const std::filesystem::path& path);

// 0..65535 → 0..32768: (v × 65536 + 65535) ÷ 131070, i.e. v × 32768 ÷ 65535
// rounded to nearest (never a tie).
constexpr uint16_t FileToHost16(uint16_t v)
{
    return static_cast<uint16_t>((uint32_t{v} * 65536u + 65535u) / 131070u);
}
// 0..32768 → 0..65535: (h × 131070 + 32768) ÷ 65536, i.e. h × 65535 ÷ 32768
// rounded to nearest, halves up (only h = 16384 is a tie: 32767.5 → 32768).
// Values above 32768 are taken as 32768.
constexpr uint16_t HostToFile16(uint16_t h)
{
    const uint32_t c = h > 32768 ? 32768u : h;
    return static_cast<uint16_t>((c * 131070u + 32768u) / 65536u);
}

// Pixels per unit, as files store it.
struct Resolution {
    enum class Unit { kNone, kInch, kCentimetre };
    double x = 0;
    double y = 0;
    Unit unit = Unit::kNone;
    bool operator==(const Resolution&) const = default;
};

// What a file says about its image besides the samples.
struct ImageMetadata {
    std::vector<uint8_t> icc;  // the ICC profile, empty when none
    std::optional<Resolution> resolution;
    std::string description;
    bool operator==(const ImageMetadata&) const = default;
};

// An image as a file holds it: the colour planes the filters see, the alpha
// channel kept aside and the metadata. The alpha is one plane of the image's
// depth holding the file's own values (16-bit alpha is 0..65535, not mapped:
// the filters never see it, so it goes out exactly as it came in).
struct ImageFile {
    Image image;
    std::optional<Image> alpha;
    ImageMetadata metadata;
    // The alpha is premultiplied into the colours (TIFF associated alpha).
    bool alphaPremultiplied = false;
};

struct ReadOptions {
    // The page of a multi-page TIFF, counted from 1.
    int page = 1;
    // Images with more pixels are refused before anything is allocated for
    // them; 0 takes DefaultMaxPixels().
    uint64_t maxPixels = 0;
};

// One sixteenth of physical memory in pixels: room for the image, its alpha
// and the working copies a run makes.
uint64_t DefaultMaxPixels();

// Reads a PNG, TIFF, JPEG or PBM/PGM/PPM file: colour planes only. Throws
// ImageFileError.
Image ReadImageFile(const std::filesystem::path& path);

// Reads the image, its alpha and metadata. "-" reads standard input.
// Throws ImageFileError.
ImageFile ReadImageFile(const std::filesystem::path& path, const ReadOptions& options);

// Reads an image held in memory; `name` stands for the file in messages.
// Throws ImageFileError and nothing else, whatever the bytes.
ImageFile ReadImageMemory(std::span<const uint8_t> bytes, const std::string& name,
                          const ReadOptions& options = {});

struct WriteOptions {
    // The format to write; empty: from the file name's extension.
    std::optional<ImageFileFormat> format;
    // PNG: a deflate level 0..12 (0 stored, 12 smallest), "fast" or "small".
    // TIFF: none, lzw, deflate, zstd, packbits, g3 or g4 (the last two write
    // a two-level image as 1-bit). Empty: the format's default.
    std::string compression;
    // JPEG quality 1..100.
    int quality = 90;
};

// The format a --format name selects (png, tif, tiff, pgm, ppm, pnm, pbm,
// jpg, jpeg), if any.
std::optional<ImageFileFormat> FormatForName(const std::string& name);

// Why the file named `path` cannot hold `image` (unknown extension, float or
// Lab into PNG or PNM, colour into .pgm, grey into .ppm, a missing folder,
// a bad compression or quality), or nothing when it can. Whether the image
// is black and white, which 1-bit outputs need, is left to WriteImageFile:
// a filter's result may be when its input is not.
std::optional<std::string> CheckWritable(const std::filesystem::path& path, const Image& image);
std::optional<std::string> CheckWritable(const std::filesystem::path& path, const Image& image,
                                         const WriteOptions& options);

// Writes `image` in the format its extension selects. The data goes to a
// temporary file beside the target, which is renamed over the target only
// once complete, so a failed write never leaves a partial file under the
// target's name. Throws ImageFileError (with CheckWritable's text when the
// format cannot hold the image).
void WriteImageFile(const std::filesystem::path& path, const Image& image);

// Writes the image with its alpha (where the format holds alpha) and
// metadata (where the format holds it). "-" writes standard output; a
// symbolic link is followed and its target replaced; a FIFO or device is
// written straight through. The file is encoded in memory first, so nothing
// is written when encoding fails.
void WriteImageFile(const std::filesystem::path& path, const ImageFile& file,
                    const WriteOptions& options);

// The file's bytes, as WriteImageFile would write them. Throws
// ImageFileError when the format cannot hold the image, std::bad_alloc when
// memory runs out.
std::vector<uint8_t> EncodeImage(const ImageFile& file, ImageFileFormat format,
                                 const WriteOptions& options = {});

}  // namespace host
