// The image-file options of `filterhost run`: output format, compression,
// JPEG quality, the TIFF page to read and the pixel limit.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

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

// Adds --format (unless withFormat is false), --compression, --quality,
// --page and --max-pixels to `run`.
void AddImageOptions(CLI::App& run, ImageOptions& options, bool withFormat = true);

// The options given that differ from the defaults, as command-line
// arguments for a `run` of the same image options.
std::vector<std::string> ImageOptionArguments(const ImageOptions& options);

host::ReadOptions ReadOptionsFrom(const ImageOptions& options);

// The write options, or the one-line reason they are wrong (an unknown
// --format name).
host::WriteOptions WriteOptionsFrom(const ImageOptions& options);
std::optional<std::string> CheckImageOptions(const ImageOptions& options);

}  // namespace filterhost
