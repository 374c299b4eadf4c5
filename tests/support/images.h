// Image builders for tests: literal binary images drawn with characters,
// seeded random images of any mode and depth, and the reference-image file
// the reference filters read.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "host.h"

namespace test_support {

// An RGB 8-bit image from rows of text: '#' is black (0), any other
// character white (255). All rows must have the same length.
host::Image BinaryImage(const std::vector<std::string>& rows);

// The rows of text of a binary RGB 8-bit image: '#' where the first sample is
// 0, '.' where it is 255, '?' otherwise.
std::vector<std::string> BinaryRows(const host::Image& image);

// Every sample drawn from a seeded generator: bytes and 16-bit values over
// their whole host range, floats in [0, 1).
host::Image RandomImage(int32_t width, int32_t height, int16_t mode, int16_t depth, uint32_t seed);

// Writes the reference image file the framework reads ("Reference Image.xzy"
// in the Preferences folder): a header of width, height and 12 bytes per
// pixel in this processor's byte order, then RGB float pixels, line 0 first.
// `pixels` holds width x height x 3 floats.
void WriteReferenceFile(const std::filesystem::path& prefsDir, uint16_t width, uint16_t height,
                        const std::vector<float>& pixels);

}  // namespace test_support
