// The image-file options of `filterhost run`: output format, compression,
// JPEG quality, the TIFF page to read and the pixel limit.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "image_file.h"

namespace CLI {
class App;
}

namespace filterhost {

struct ImageOptions {
    std::string format;
    std::string compression;
    int quality = 90;
    int page = 1;
    uint64_t maxPixels = 0;
};

// Adds --format, --compression, --quality, --page and --max-pixels to `run`.
void AddImageOptions(CLI::App& run, ImageOptions& options);

host::ReadOptions ReadOptionsFrom(const ImageOptions& options);

// The write options, or the one-line reason they are wrong (an unknown
// --format name).
host::WriteOptions WriteOptionsFrom(const ImageOptions& options);
std::optional<std::string> CheckImageOptions(const ImageOptions& options);

}  // namespace filterhost
