// Image files on disk ⇄ host::Image.
//
// Formats: PNG (8/16-bit grey or RGB, through libpng), TIFF (8/16-bit and
// 32-bit float grey or RGB, 8/16-bit CIELab, through libtiff) and binary
// PGM/PPM (8/16-bit, written and parsed here: the format is a short text
// header followed by raw samples).
//
// The host mode follows the file: grey 8 → 1, grey 16 → 10, grey float → 1
// with depth 32, RGB 8 → 3, RGB 16 → 11, RGB float → 16, Lab 8 → 9,
// Lab 16 → 12. Files are recognised by their leading bytes on reading and by
// the target's extension on writing.
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
#include <stdexcept>
#include <string>

#include "host.h"

namespace host {

// A file that cannot be read or written; the text names the file and says
// what it holds or what went wrong.
class ImageFileError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

enum class ImageFileFormat { kPng, kTiff, kPnm };

// The format a file name's extension selects (.png, .tif, .tiff, .pgm,
// .ppm, .pnm; any letter case), if any.
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

// Reads a PNG, TIFF or binary PGM/PPM file. Throws ImageFileError.
Image ReadImageFile(const std::filesystem::path& path);

// Why the file named `path` cannot hold `image` (unknown extension, float or
// Lab into PNG or PNM, colour into .pgm, grey into .ppm, a missing folder),
// or nothing when it can.
std::optional<std::string> CheckWritable(const std::filesystem::path& path, const Image& image);

// Writes `image` in the format its extension selects. The data goes to a
// temporary file beside the target, which is renamed over the target only
// once complete, so a failed write never leaves a partial file under the
// target's name. Throws ImageFileError (with CheckWritable's text when the
// format cannot hold the image).
void WriteImageFile(const std::filesystem::path& path, const Image& image);

}  // namespace host
