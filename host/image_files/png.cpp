// PNG: read through libpng (from memory), written here with libdeflate.
//
// Reading first walks the chunk list itself to learn the size and how many
// bytes of compressed data there are: deflate cannot expand data by more
// than 1032 to 1, so a file whose image data cannot hold its claimed size
// is refused before anything is allocated.
//
// Writing filters every row with one fixed filter (or, at the higher
// levels, the filter with the smallest sum of absolute differences) and
// compresses the lot in one call: at the default level this is several
// times faster than libpng's zlib at its default level for files a few
// per cent larger.
//
// libpng reports errors by longjmp: every object with a destructor that the
// PNG functions can see is created before setjmp, so a jump never skips one.
#include <libdeflate.h>
#include <png.h>

#include <algorithm>
#include <array>
#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <stdexcept>

#include "formats.h"

namespace host::files {

bool IsPng(std::span<const uint8_t> bytes)
{
    return bytes.size() >= 8 && png_sig_cmp(bytes.data(), 0, 8) == 0;
}

namespace {

// ---------------------------------------------------------------- reading

struct PngHeader {
    uint32_t width = 0, height = 0;
    int bitDepth = 0, colourType = 0;
    uint64_t idatBytes = 0;
};

uint32_t LoadBE32(const uint8_t* p)
{
    return uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | p[3];
}

// The header and the total length of the IDAT chunks, from the chunk list
// alone (no decoding).
PngHeader ScanChunks(std::span<const uint8_t> bytes, const ReadContext& context)
{
    PngHeader header;
    size_t at = 8;
    bool sawHeader = false;
    while (at + 8 <= bytes.size()) {
        const uint32_t length = LoadBE32(bytes.data() + at);
        const uint8_t* type = bytes.data() + at + 4;
        const size_t body = at + 8;
        if (std::memcmp(type, "IHDR", 4) == 0 && length >= 13 && body + 13 <= bytes.size()) {
            // The decoder believes the first header; a second one must not
            // size the buffers.
            if (sawHeader)
                context.Fail("damaged PNG (more than one image header)");
            header.width = LoadBE32(bytes.data() + body);
            header.height = LoadBE32(bytes.data() + body + 4);
            header.bitDepth = bytes[body + 8];
            header.colourType = bytes[body + 9];
            sawHeader = true;
        }
        const uint64_t present = std::min<uint64_t>(length, bytes.size() - body);
        if (std::memcmp(type, "IDAT", 4) == 0)
            header.idatBytes += present;
        if (std::memcmp(type, "IEND", 4) == 0 || present < length)
            break;
        at = body + length + 4;
    }
    if (!sawHeader)
        context.Fail("damaged or truncated PNG (no image header)");
    return header;
}

int ChannelsOf(int colourType)
{
    switch (colourType) {
    case PNG_COLOR_TYPE_GRAY:
    case PNG_COLOR_TYPE_PALETTE:
        return 1;
    case PNG_COLOR_TYPE_GRAY_ALPHA:
        return 2;
    case PNG_COLOR_TYPE_RGB:
        return 3;
    default:
        return 4;
    }
}

// Refuses sizes beyond the limit and image data too short to hold them.
void CheckPngData(const PngHeader& header, const ReadContext& context)
{
    context.CheckSize(header.width, header.height);
    const uint64_t rowBits = uint64_t{header.width} * ChannelsOf(header.colourType) *
                             static_cast<uint64_t>(std::clamp(header.bitDepth, 1, 16));
    const uint64_t filtered = Multiply((rowBits + 7) / 8 + 1, header.height).value_or(UINT64_MAX);
    constexpr uint64_t kMostDeflateExpansion = 1032;
    if (filtered / kMostDeflateExpansion > header.idatBytes + 1)
        context.Fail("damaged or truncated PNG (" + std::to_string(header.idatBytes) +
                     " bytes of image data cannot hold " + std::to_string(header.width) + " x " +
                     std::to_string(header.height) + " pixels)");
}

struct PngErrorText {
    std::array<char, 200> text{};
};

[[noreturn]] void PngOnError(png_structp png, png_const_charp message)
{
    auto* error = static_cast<PngErrorText*>(png_get_error_ptr(png));
    std::snprintf(error->text.data(), error->text.size(), "%s", message);
    png_longjmp(png, 1);
}

void PngOnWarning(png_structp, png_const_charp) {}

struct MemoryReader {
    std::span<const uint8_t> bytes;
    size_t at = 0;
};

void ReadFromMemory(png_structp png, png_bytep out, png_size_t length)
{
    auto* reader = static_cast<MemoryReader*>(png_get_io_ptr(png));
    if (length > reader->bytes.size() - reader->at)
        png_error(png, "the file ends early");
    std::memcpy(out, reader->bytes.data() + reader->at, length);
    reader->at += length;
}

struct PngReadHandles {
    png_structp png = nullptr;
    png_infop info = nullptr;
    ~PngReadHandles()
    {
        if (png)
            png_destroy_read_struct(&png, info ? &info : nullptr, nullptr);
    }
};

Palette ReadPalette(png_structp png, png_infop info)
{
    Palette palette;
    png_colorp entries = nullptr;
    int count = 0;
    png_get_PLTE(png, info, &entries, &count);
    for (int i = 0; i < count; ++i) {
        palette.red.push_back(entries[i].red);
        palette.green.push_back(entries[i].green);
        palette.blue.push_back(entries[i].blue);
    }
    palette.alpha.assign(static_cast<size_t>(count), 255);
    png_bytep alphas = nullptr;
    int alphaCount = 0;
    if (png_get_tRNS(png, info, &alphas, &alphaCount, nullptr) && alphas)
        for (int i = 0; i < alphaCount && i < count; ++i)
            palette.alpha[static_cast<size_t>(i)] = alphas[i];
    return palette;
}

void ReadPngMetadata(png_structp png, png_infop info, ImageMetadata& metadata)
{
    png_charp name = nullptr;
    int compression = 0;
    png_bytep profile = nullptr;
    png_uint_32 profileLength = 0;
    if (png_get_iCCP(png, info, &name, &compression, &profile, &profileLength) && profile)
        metadata.icc.assign(profile, profile + profileLength);
    png_uint_32 x = 0, y = 0;
    int unit = 0;
    if (png_get_pHYs(png, info, &x, &y, &unit) && x > 0 && y > 0) {
        if (unit == PNG_RESOLUTION_METER)
            metadata.resolution = Resolution{x / 100.0, y / 100.0, Resolution::Unit::kCentimetre};
        else
            metadata.resolution = Resolution{double(x), double(y), Resolution::Unit::kNone};
    }
    png_textp texts = nullptr;
    int count = 0;
    png_get_text(png, info, &texts, &count);
    for (int i = 0; i < count; ++i)
        if (texts[i].key && std::strcmp(texts[i].key, "Description") == 0 && texts[i].text)
            metadata.description = texts[i].text;
}

// What the rows hold once libpng's transforms are set up.
struct PngRows {
    bool palette = false;
    int paletteBits = 8;
    SampleLayout layout;
};

PngRows SetUpTransforms(png_structp png, png_infop info, const PngHeader& header)
{
    PngRows rows;
    const int type = header.colourType;
    const bool keyedAlpha = png_get_valid(png, info, PNG_INFO_tRNS) != 0;
    if (type == PNG_COLOR_TYPE_PALETTE) {
        rows.palette = true;
        rows.paletteBits = header.bitDepth;
        png_set_packing(png);  // one index a byte
        return rows;
    }
    if (header.bitDepth < 8)
        png_set_expand_gray_1_2_4_to_8(png);
    if (keyedAlpha)
        png_set_tRNS_to_alpha(png);
    rows.layout.planes = (type & PNG_COLOR_MASK_COLOR) ? 3 : 1;
    rows.layout.alpha = (type & PNG_COLOR_MASK_ALPHA) || keyedAlpha;
    rows.layout.depth = header.bitDepth == 16 ? 16 : 8;
    rows.layout.endian = Endian::kBig;
    return rows;
}

}  // namespace

ImageFile ReadPng(std::span<const uint8_t> bytes, const ReadContext& context)
{
    const PngHeader header = ScanChunks(bytes, context);
    CheckPngData(header, context);

    PngErrorText error;
    PngReadHandles h;
    MemoryReader reader{bytes, 0};
    ImageFile file;
    Palette palette;
    std::vector<uint8_t> raw;
    std::vector<png_bytep> rows;
    PngRows kind;

    h.png = png_create_read_struct(PNG_LIBPNG_VER_STRING, &error, PngOnError, PngOnWarning);
    if (!h.png)
        context.Fail("out of memory");
    h.info = png_create_info_struct(h.png);
    if (!h.info)
        context.Fail("out of memory");
    if (setjmp(png_jmpbuf(h.png)))
        context.Fail(std::string("damaged or truncated PNG (") + error.text.data() + ")");
    png_set_read_fn(h.png, &reader, ReadFromMemory);
    png_read_info(h.png, h.info);
    if (png_get_image_width(h.png, h.info) != header.width ||
        png_get_image_height(h.png, h.info) != header.height ||
        png_get_bit_depth(h.png, h.info) != header.bitDepth ||
        png_get_color_type(h.png, h.info) != header.colourType)
        context.Fail("damaged PNG (the image header does not match the image)");
    kind = SetUpTransforms(h.png, h.info, header);
    const int passes = png_set_interlace_handling(h.png);
    png_read_update_info(h.png, h.info);
    const auto width = static_cast<int32_t>(header.width);
    const auto height = static_cast<int32_t>(header.height);
    const size_t rowBytes = png_get_rowbytes(h.png, h.info);
    // Every row the decoder hands over must hold what the conversion reads.
    const size_t rowNeeded = kind.palette ? static_cast<size_t>(width)
                                          : kind.layout.PixelBytes() * static_cast<size_t>(width);
    if (rowBytes < rowNeeded)
        context.Fail("damaged PNG (rows shorter than the image header says)");

    if (kind.palette) {
        palette = ReadPalette(h.png, h.info);
        file.image = MakeHostImage(width, height, palette.IsGrey() ? 1 : 3, 8);
        if (palette.HasAlpha())
            file.alpha = MakeHostImage(width, height, 1, 8);
    } else {
        file.image = MakeHostImage(width, height, kind.layout.planes, kind.layout.depth);
        if (kind.layout.alpha)
            file.alpha = MakeHostImage(width, height, 1, kind.layout.depth);
    }
    Image* alpha = file.alpha ? &*file.alpha : nullptr;

    const bool direct = !kind.palette && kind.layout.depth == 8 && !kind.layout.alpha;
    if (direct && rowBytes == file.image.RowBytes()) {
        rows.resize(header.height);
        for (int32_t y = 0; y < height; ++y)
            rows[static_cast<size_t>(y)] = file.image.Row(y);
        png_read_image(h.png, rows.data());
    } else {
        // Interlaced images need every row at hand; others go one at a time.
        const size_t held = passes > 1 ? header.height : 1;
        raw.resize(rowBytes * held);
        rows.resize(header.height);
        for (int32_t y = 0; y < height; ++y)
            rows[static_cast<size_t>(y)] = raw.data() + (passes > 1 ? rowBytes * y : 0);
        if (passes > 1)
            png_read_image(h.png, rows.data());
        for (int32_t y = 0; y < height; ++y) {
            if (passes == 1)
                png_read_row(h.png, rows[0], nullptr);
            const uint8_t* row = rows[static_cast<size_t>(y)];
            if (kind.palette)
                PaletteRowToHost(palette, row, width, file.image, alpha, y);
            else
                FileRowToHost(kind.layout, row, width, file.image, alpha, y);
        }
    }
    png_read_end(h.png, h.info);
    ReadPngMetadata(h.png, h.info, file.metadata);
    return file;
}

// ---------------------------------------------------------------- writing

namespace {

struct CompressorDeleter {
    void operator()(libdeflate_compressor* c) const { libdeflate_free_compressor(c); }
};
using Compressor = std::unique_ptr<libdeflate_compressor, CompressorDeleter>;

constexpr int kFastLevel = 1;
constexpr int kSmallLevel = 12;
// From this level on every row gets the filter that suits it best.
constexpr int kAdaptiveFilterLevel = 7;

std::optional<int> PngLevel(const std::string& compression)
{
    if (compression.empty() || compression == "fast")
        return kFastLevel;
    if (compression == "small")
        return kSmallLevel;
    if (compression.size() <= 2 &&
        compression.find_first_not_of("0123456789") == std::string::npos) {
        const int level = std::atoi(compression.c_str());
        if (level <= 12)
            return level;
    }
    return std::nullopt;
}

// Appends by resize and copy: GCC 12 at -O3 raises a false
// -Wstringop-overflow on vector::insert of a few bytes.
void Append(std::vector<uint8_t>& out, std::span<const uint8_t> bytes)
{
    const size_t at = out.size();
    out.resize(at + bytes.size());
    if (!bytes.empty())
        std::memcpy(out.data() + at, bytes.data(), bytes.size());
}

class ChunkWriter {
public:
    explicit ChunkWriter(std::vector<uint8_t>& out) : out_(out) {}
    void Chunk(const char* type, std::span<const uint8_t> body)
    {
        PutBE32(static_cast<uint32_t>(body.size()));
        const size_t start = out_.size();
        Append(out_, {reinterpret_cast<const uint8_t*>(type), 4});
        Append(out_, body);
        const uint32_t crc = libdeflate_crc32(0, out_.data() + start, out_.size() - start);
        PutBE32(crc);
    }

private:
    void PutBE32(uint32_t v)
    {
        for (int shift = 24; shift >= 0; shift -= 8)
            out_.push_back(static_cast<uint8_t>(v >> shift));
    }
    std::vector<uint8_t>& out_;
};

void AppendBE32(std::vector<uint8_t>& out, uint32_t v)
{
    for (int shift = 24; shift >= 0; shift -= 8)
        out.push_back(static_cast<uint8_t>(v >> shift));
}

std::vector<uint8_t> ZlibCompress(libdeflate_compressor* compressor, std::span<const uint8_t> data)
{
    std::vector<uint8_t> out(libdeflate_zlib_compress_bound(compressor, data.size()));
    const size_t size =
        libdeflate_zlib_compress(compressor, data.data(), data.size(), out.data(), out.size());
    if (size == 0)
        throw std::runtime_error("compression failed");
    out.resize(size);
    return out;
}

uint8_t Paeth(int a, int b, int c)
{
    const int p = a + b - c;
    const int pa = std::abs(p - a), pb = std::abs(p - b), pc = std::abs(p - c);
    return static_cast<uint8_t>(pa <= pb && pa <= pc ? a : pb <= pc ? b : c);
}

// Filters `row` (with `previous`, zeros for the first row) with filter type
// `type` into out[1..]; out[0] is the type.
void FilterRow(int type, const uint8_t* row, const uint8_t* previous, size_t length, size_t bpp,
               uint8_t* out)
{
    out[0] = static_cast<uint8_t>(type);
    uint8_t* to = out + 1;
    for (size_t i = 0; i < length; ++i) {
        const int a = i >= bpp ? row[i - bpp] : 0;
        const int b = previous[i];
        const int c = i >= bpp ? previous[i - bpp] : 0;
        int predicted = 0;
        switch (type) {
        case 1:
            predicted = a;
            break;
        case 2:
            predicted = b;
            break;
        case 3:
            predicted = (a + b) / 2;
            break;
        case 4:
            predicted = Paeth(a, b, c);
            break;
        default:
            break;
        }
        to[i] = static_cast<uint8_t>(row[i] - predicted);
    }
}

// The Sub filter alone, the fixed filter of the fast levels: one pass with
// no branches, which compresses photographs nearly as well as Paeth.
void SubFilterRow(const uint8_t* row, size_t length, size_t bpp, uint8_t* out)
{
    out[0] = 1;
    std::memcpy(out + 1, row, std::min(bpp, length));
    for (size_t i = bpp; i < length; ++i)
        out[1 + i] = static_cast<uint8_t>(row[i] - row[i - bpp]);
}

uint64_t SumOfMagnitudes(const uint8_t* filtered, size_t length)
{
    uint64_t sum = 0;
    for (size_t i = 0; i < length; ++i)
        sum += filtered[i] < 128 ? filtered[i] : 256 - filtered[i];
    return sum;
}

void AdaptiveFilterRow(const uint8_t* row, const uint8_t* previous, size_t length, size_t bpp,
                       std::vector<uint8_t>& trial, uint8_t* out)
{
    uint64_t best = UINT64_MAX;
    for (int type = 0; type <= 4; ++type) {
        FilterRow(type, row, previous, length, bpp, trial.data());
        const uint64_t sum = SumOfMagnitudes(trial.data() + 1, length);
        if (sum < best) {
            best = sum;
            std::memcpy(out, trial.data(), length + 1);
        }
    }
}

std::vector<uint8_t> FilteredRows(const ImageFile& file, const SampleLayout& layout, int level)
{
    const Image& image = file.image;
    const size_t length = layout.PixelBytes() * static_cast<size_t>(image.width);
    const size_t bpp = layout.PixelBytes();
    std::vector<uint8_t> filtered((length + 1) * static_cast<size_t>(image.height));
    std::vector<uint8_t> row(length), previous(length, 0), trial(length + 1);
    const Image* alpha = file.alpha ? &*file.alpha : nullptr;
    for (int32_t y = 0; y < image.height; ++y) {
        uint8_t* out = filtered.data() + (length + 1) * static_cast<size_t>(y);
        HostRowToFile(layout, image, alpha, y, row.data());
        if (level == 0)
            FilterRow(0, row.data(), previous.data(), length, bpp, out);
        else if (level < kAdaptiveFilterLevel)
            SubFilterRow(row.data(), length, bpp, out);
        else
            AdaptiveFilterRow(row.data(), previous.data(), length, bpp, trial, out);
        std::swap(row, previous);
    }
    return filtered;
}

std::vector<uint8_t> HeaderChunk(const Image& image, const SampleLayout& layout)
{
    std::vector<uint8_t> body;
    AppendBE32(body, static_cast<uint32_t>(image.width));
    AppendBE32(body, static_cast<uint32_t>(image.height));
    body.push_back(static_cast<uint8_t>(layout.depth));
    const int type =
        (layout.planes == 3 ? PNG_COLOR_MASK_COLOR : 0) | (layout.alpha ? PNG_COLOR_MASK_ALPHA : 0);
    body.push_back(static_cast<uint8_t>(type));
    body.push_back(0);  // deflate
    body.push_back(0);  // adaptive filtering
    body.push_back(0);  // not interlaced
    return body;
}

void MetadataChunks(ChunkWriter& chunks, const ImageMetadata& metadata,
                    libdeflate_compressor* compressor)
{
    if (!metadata.icc.empty()) {
        const char name[] = "ICC profile";
        std::vector<uint8_t> body(name, name + sizeof name);  // with its NUL
        body.push_back(0);                                    // deflate
        const auto packed = ZlibCompress(compressor, metadata.icc);
        Append(body, packed);
        chunks.Chunk("iCCP", body);
    }
    if (metadata.resolution && metadata.resolution->x > 0 && metadata.resolution->y > 0) {
        const Resolution& r = *metadata.resolution;
        const double perMetre = r.unit == Resolution::Unit::kCentimetre ? 100.0
                                : r.unit == Resolution::Unit::kInch     ? 100.0 / 2.54
                                                                        : 1.0;
        auto scaled = [&](double v) {
            return static_cast<uint32_t>(std::min(v * perMetre + 0.5, 2147483647.0));
        };
        std::vector<uint8_t> body;
        AppendBE32(body, scaled(r.x));
        AppendBE32(body, scaled(r.y));
        body.push_back(r.unit == Resolution::Unit::kNone ? 0 : 1);
        chunks.Chunk("pHYs", body);
    }
    if (!metadata.description.empty()) {
        // iTXt: keyword, NUL, not compressed, method, empty language and
        // translated keyword, then the UTF-8 text.
        const char key[] = "Description";
        std::vector<uint8_t> body(key, key + sizeof key);
        const uint8_t flags[] = {0, 0, 0, 0};
        Append(body, flags);
        Append(body, {reinterpret_cast<const uint8_t*>(metadata.description.data()),
                      metadata.description.size()});
        chunks.Chunk("iTXt", body);
    }
}

}  // namespace

std::optional<std::string> CheckPngOptions(const WriteOptions& options)
{
    if (!PngLevel(options.compression))
        return "PNG compression '" + options.compression +
               "' is not known (use a level 0 to 12, fast or small)";
    return std::nullopt;
}

std::vector<uint8_t> EncodePng(const ImageFile& file, const WriteOptions& options)
{
    const int level = PngLevel(options.compression).value_or(kFastLevel);
    SampleLayout layout;
    layout.planes = file.image.planes;
    layout.alpha = file.alpha.has_value();
    layout.depth = file.image.depth;
    layout.endian = Endian::kBig;
    Compressor compressor(libdeflate_alloc_compressor(level));
    if (!compressor)
        throw std::runtime_error("out of memory");

    const uint8_t signature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    std::vector<uint8_t> out;
    Append(out, signature);
    ChunkWriter chunks(out);
    chunks.Chunk("IHDR", HeaderChunk(file.image, layout));
    MetadataChunks(chunks, file.metadata, compressor.get());
    std::vector<uint8_t> data = ZlibCompress(compressor.get(), FilteredRows(file, layout, level));
    constexpr size_t kChunkBytes = size_t{1} << 24;
    for (size_t at = 0; at < data.size(); at += kChunkBytes)
        chunks.Chunk("IDAT", std::span<const uint8_t>(data).subspan(
                                 at, std::min(kChunkBytes, data.size() - at)));
    chunks.Chunk("IEND", {});
    return out;
}

}  // namespace host::files
