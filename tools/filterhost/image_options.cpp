#include "image_options.h"

#include <CLI/CLI.hpp>

namespace filterhost {

void AddImageOptions(CLI::App& run, ImageOptions& options, bool withFormat)
{
    if (withFormat)
        run.add_option("--format", options.format,
                       "Output format, whatever the name: png, tif, jpg, pgm, ppm, pnm or pbm "
                       "(needed with -o -)")
            ->type_name("FORMAT");
    run.add_option("--compression", options.compression,
                   "PNG: level 0-12, fast (default) or small; TIFF: deflate (default), none, "
                   "lzw, zstd, packbits, or g3/g4 for black-and-white")
        ->type_name("C");
    run.add_option("--quality", options.quality, "JPEG quality 1-100 (default 90)")->type_name("Q");
    run.add_option("--page", options.page, "Page of a multi-page TIFF to read, from 1")
        ->type_name("N")
        ->check(CLI::Range(1, 65535));
    run.add_option("--max-pixels", options.maxPixels,
                   "Refuse larger images before reading them (default: 1/16 of memory in pixels)")
        ->type_name("N");
}

host::ReadOptions ReadOptionsFrom(const ImageOptions& options)
{
    host::ReadOptions read;
    read.page = options.page;
    read.maxPixels = options.maxPixels;
    return read;
}

host::WriteOptions WriteOptionsFrom(const ImageOptions& options)
{
    host::WriteOptions write;
    if (!options.format.empty())
        write.format = host::FormatForName(options.format);
    write.compression = options.compression;
    write.quality = options.quality;
    return write;
}

std::vector<std::string> ImageOptionArguments(const ImageOptions& options)
{
    const ImageOptions defaults;
    std::vector<std::string> args;
    if (!options.format.empty())
        args.insert(args.end(), {"--format", options.format});
    if (!options.compression.empty())
        args.insert(args.end(), {"--compression", options.compression});
    if (options.quality != defaults.quality)
        args.insert(args.end(), {"--quality", std::to_string(options.quality)});
    if (options.page != defaults.page)
        args.insert(args.end(), {"--page", std::to_string(options.page)});
    if (options.maxPixels != defaults.maxPixels)
        args.insert(args.end(), {"--max-pixels", std::to_string(options.maxPixels)});
    return args;
}

std::optional<std::string> CheckImageOptions(const ImageOptions& options)
{
    if (!options.format.empty() && !host::FormatForName(options.format))
        return "unknown --format '" + options.format +
               "' (use png, tif, tiff, jpg, jpeg, pgm, ppm, pnm or pbm)";
    return std::nullopt;
}

}  // namespace filterhost
