// TIFF through libtiff, read from and written to memory.
//
// Before any sample buffer is allocated the reader checks that every strip
// or tile lies inside the file and that the compressed bytes can plausibly
// hold the claimed image (each compression has a largest expansion), so a
// tiny file claiming a huge image is refused at once.
#include <tiffio.h>

#include <algorithm>
#include <array>
#include <cstdarg>
#include <cstdio>
#include <memory>
#include <stdexcept>

#include "formats.h"

namespace host::files {

bool IsTiff(std::span<const uint8_t> bytes)
{
    if (bytes.size() < 4)
        return false;
    const uint8_t* h = bytes.data();
    return (h[0] == 'I' && h[1] == 'I' && (h[2] == 42 || h[2] == 43) && h[3] == 0) ||
           (h[0] == 'M' && h[1] == 'M' && h[2] == 0 && (h[3] == 42 || h[3] == 43));
}

namespace {

// ---------------------------------------------------------------- libtiff I/O in memory

struct TiffMemory {
    std::span<const uint8_t> in;          // reading
    std::vector<uint8_t>* out = nullptr;  // writing
    uint64_t at = 0;
    uint64_t Size() const { return out ? out->size() : in.size(); }
    const uint8_t* Data() const { return out ? out->data() : in.data(); }
};

tmsize_t MemoryRead(thandle_t handle, void* buffer, tmsize_t size)
{
    auto* m = static_cast<TiffMemory*>(handle);
    if (size < 0 || m->at >= m->Size())
        return 0;
    const uint64_t count = std::min<uint64_t>(static_cast<uint64_t>(size), m->Size() - m->at);
    std::memcpy(buffer, m->Data() + m->at, count);
    m->at += count;
    return static_cast<tmsize_t>(count);
}

tmsize_t MemoryWrite(thandle_t handle, void* buffer, tmsize_t size)
{
    auto* m = static_cast<TiffMemory*>(handle);
    if (!m->out || size < 0)
        return -1;
    const uint64_t end = m->at + static_cast<uint64_t>(size);
    if (end > m->out->size())
        m->out->resize(end);
    std::memcpy(m->out->data() + m->at, buffer, static_cast<size_t>(size));
    m->at = end;
    return size;
}

toff_t MemorySeek(thandle_t handle, toff_t offset, int whence)
{
    auto* m = static_cast<TiffMemory*>(handle);
    const int64_t base = whence == SEEK_CUR   ? static_cast<int64_t>(m->at)
                         : whence == SEEK_END ? static_cast<int64_t>(m->Size())
                                              : 0;
    const int64_t target = base + static_cast<int64_t>(offset);
    if (target < 0)
        return static_cast<toff_t>(-1);
    m->at = static_cast<uint64_t>(target);
    return m->at;
}

int MemoryClose(thandle_t)
{
    return 0;
}

toff_t MemorySize(thandle_t handle)
{
    return static_cast<TiffMemory*>(handle)->Size();
}

int MemoryMap(thandle_t handle, void** base, toff_t* size)
{
    auto* m = static_cast<TiffMemory*>(handle);
    if (m->out)
        return 0;
    *base = const_cast<uint8_t*>(m->in.data());
    *size = m->in.size();
    return 1;
}

void MemoryUnmap(thandle_t, void*, toff_t) {}

int TiffOnError(TIFF*, void* userData, const char* module, const char* format, va_list args)
{
    auto* text = static_cast<std::string*>(userData);
    if (!text->empty())
        return 1;  // keep the first, most specific, complaint
    std::array<char, 300> buffer{};
    std::vsnprintf(buffer.data(), buffer.size(), format, args);
    *text = buffer.data();
    if (module && *module && text->find(module) == std::string::npos)
        *text = std::string(module) + ": " + *text;
    return 1;
}

int TiffOnWarning(TIFF*, void*, const char*, const char*, va_list)
{
    return 1;
}

struct TiffCloser {
    void operator()(TIFF* tif) const { TIFFClose(tif); }
};
using TiffHandle = std::unique_ptr<TIFF, TiffCloser>;

// Opens with handlers that collect the first error into `errorText` instead
// of printing it.
TiffHandle OpenMemoryTiff(TiffMemory& memory, const char* mode, std::string& errorText)
{
    TIFFOpenOptions* options = TIFFOpenOptionsAlloc();
    if (!options)
        return nullptr;
    TIFFOpenOptionsSetErrorHandlerExtR(options, TiffOnError, &errorText);
    TIFFOpenOptionsSetWarningHandlerExtR(options, TiffOnWarning, nullptr);
    TIFF* tif = TIFFClientOpenExt("image", mode, &memory, MemoryRead, MemoryWrite, MemorySeek,
                                  MemoryClose, MemorySize, MemoryMap, MemoryUnmap, options);
    TIFFOpenOptionsFree(options);
    return TiffHandle(tif);
}

// ---------------------------------------------------------------- reading

std::string PhotometricName(uint16_t photometric)
{
    switch (photometric) {
    case PHOTOMETRIC_MINISWHITE:
        return "min-is-white grey";
    case PHOTOMETRIC_MINISBLACK:
        return "grey";
    case PHOTOMETRIC_RGB:
        return "RGB";
    case PHOTOMETRIC_PALETTE:
        return "palette (indexed-colour)";
    case PHOTOMETRIC_MASK:
        return "transparency mask";
    case PHOTOMETRIC_SEPARATED:
        return "CMYK (separated)";
    case PHOTOMETRIC_YCBCR:
        return "YCbCr";
    case PHOTOMETRIC_CIELAB:
        return "CIELab";
    case PHOTOMETRIC_ICCLAB:
        return "ICC Lab";
    case PHOTOMETRIC_ITULAB:
        return "ITU Lab";
    default:
        return "photometric " + std::to_string(photometric);
    }
}

// The tags that say how the samples are laid out.
struct TiffLayout {
    uint32_t width = 0, height = 0;
    uint16_t bits = 1, samples = 1, format = SAMPLEFORMAT_UINT, photometric = 0;
    uint16_t planar = PLANARCONFIG_CONTIG, compression = COMPRESSION_NONE;
    uint16_t extraCount = 0;
    bool associatedAlpha = false;
};

// What the reader makes of them.
struct TiffKind {
    int planes = 1;  // host planes
    int depth = 8;   // host depth
    bool lab = false, signedLab = false;
    bool palette = false;
    bool lowBits = false;  // 1, 2 or 4-bit grey
    bool minIsWhite = false;
    bool alpha = false;
    int fileSamples = 1;  // samples a pixel holds in the file
};

void SelectPage(TIFF* tif, const ReadContext& context)
{
    if (context.page < 1)
        context.Fail("there is no page " + std::to_string(context.page) + " (pages count from 1)");
    if (context.page == 1)
        return;
    if (!TIFFSetDirectory(tif, static_cast<tdir_t>(context.page - 1)))
        context.Fail("there is no page " + std::to_string(context.page) + " (the TIFF has " +
                     std::to_string(TIFFNumberOfDirectories(tif)) + ")");
}

TiffLayout DescribeTiff(TIFF* tif, const ReadContext& context)
{
    TiffLayout l;
    TIFFGetField(tif, TIFFTAG_IMAGEWIDTH, &l.width);
    TIFFGetField(tif, TIFFTAG_IMAGELENGTH, &l.height);
    TIFFGetFieldDefaulted(tif, TIFFTAG_BITSPERSAMPLE, &l.bits);
    TIFFGetFieldDefaulted(tif, TIFFTAG_SAMPLESPERPIXEL, &l.samples);
    TIFFGetFieldDefaulted(tif, TIFFTAG_SAMPLEFORMAT, &l.format);
    TIFFGetFieldDefaulted(tif, TIFFTAG_PLANARCONFIG, &l.planar);
    TIFFGetFieldDefaulted(tif, TIFFTAG_COMPRESSION, &l.compression);
    uint16_t* extraTypes = nullptr;
    TIFFGetField(tif, TIFFTAG_EXTRASAMPLES, &l.extraCount, &extraTypes);
    l.associatedAlpha = l.extraCount > 0 && extraTypes && extraTypes[0] == EXTRASAMPLE_ASSOCALPHA;
    if (!TIFFGetField(tif, TIFFTAG_PHOTOMETRIC, &l.photometric))
        context.Fail("the TIFF does not say how its samples are to be read (no photometric tag)");
    return l;
}

// Decides the host image the layout gives, or refuses it.
TiffKind ClassifyTiff(TIFF* tif, TiffLayout& l, const ReadContext& context)
{
    TiffKind k;
    const std::string kind = PhotometricName(l.photometric);
    const uint16_t p = l.photometric;
    const bool grey = p == PHOTOMETRIC_MINISBLACK || p == PHOTOMETRIC_MINISWHITE;
    k.palette = p == PHOTOMETRIC_PALETTE;
    k.minIsWhite = p == PHOTOMETRIC_MINISWHITE;
    k.lab = p == PHOTOMETRIC_CIELAB || p == PHOTOMETRIC_ICCLAB;
    k.signedLab = p == PHOTOMETRIC_CIELAB;
    bool rgb = p == PHOTOMETRIC_RGB;
    if (p == PHOTOMETRIC_YCBCR && l.compression == COMPRESSION_JPEG) {
        // libtiff's JPEG codec hands out RGB on request.
        TIFFSetField(tif, TIFFTAG_JPEGCOLORMODE, JPEGCOLORMODE_RGB);
        rgb = true;
    }
    if (!grey && !rgb && !k.palette && !k.lab)
        context.Fail("it is a " + kind + " TIFF; only grey, RGB, palette and CIELab are read");
    const int wanted = grey || k.palette ? 1 : 3;
    if (l.samples > wanted + 1 || (l.samples == wanted + 1 && l.extraCount != 1))
        context.Fail("it is a " + kind + " TIFF with " + std::to_string(l.samples - wanted) +
                     " extra channels; only one (alpha) is read");
    if (l.samples < wanted)
        context.Fail("it is a " + kind + " TIFF with only " + std::to_string(l.samples) +
                     " sample(s) per pixel");
    k.alpha = l.samples == wanted + 1;
    k.fileSamples = l.samples;
    k.planes = k.palette ? 3 : wanted;

    const bool isFloat = l.format == SAMPLEFORMAT_IEEEFP;
    const bool isUnsigned = l.format == SAMPLEFORMAT_UINT || l.format == SAMPLEFORMAT_VOID;
    const std::string depthText = std::to_string(l.bits) + "-bit";
    if (isFloat && (l.bits != 32 || k.lab || k.palette || k.minIsWhite))
        context.Fail("it is a " + depthText + " floating-point " + kind +
                     " TIFF; only 32-bit float grey or RGB is read");
    if (!isFloat && !isUnsigned)
        context.Fail("it is a " + kind +
                     " TIFF with signed or complex samples, which are not read");
    k.lowBits = grey && !k.alpha && (l.bits == 1 || l.bits == 2 || l.bits == 4);
    const bool paletteBits = k.palette && !k.alpha && l.bits <= 8 && 8 % l.bits == 0;
    if (k.palette && !paletteBits)
        context.Fail("it is a " + depthText + " palette TIFF; only 1, 2, 4 and 8-bit indices " +
                     "without alpha are read");
    if (!isFloat && !k.lowBits && !k.palette && l.bits != 8 && l.bits != 16)
        context.Fail("it is a " + depthText + " " + kind + " TIFF; only 1, 2, 4-bit grey and " +
                     "8-bit and 16-bit integer samples (or 32-bit float) are read");
    k.depth = k.lowBits || k.palette ? 8 : l.bits;
    return k;
}

// The most bytes one compressed byte can turn into, or 0 when there is no
// useful bound (the pixel limit alone holds then).
uint64_t LargestExpansion(uint16_t compression)
{
    switch (compression) {
    case COMPRESSION_NONE:
        return 1;
    case COMPRESSION_PACKBITS:
        return 64;
    case COMPRESSION_ADOBE_DEFLATE:
    case COMPRESSION_DEFLATE:
        return 1032;
    case COMPRESSION_LZW:
        return 4096;
    case COMPRESSION_ZSTD:
        return 32768;
    case COMPRESSION_JPEG:
        return 512;
    default:
        return 0;
    }
}

// Every strip or tile inside the file, and enough compressed bytes for the
// image; a fax-coded image needs at least one bit a row.
void CheckTiffData(TIFF* tif, const TiffLayout& l, const TiffKind& k, uint64_t fileSize,
                   const ReadContext& context)
{
    context.CheckSize(l.width, l.height);
    const uint32_t pieces = TIFFIsTiled(tif) ? TIFFNumberOfTiles(tif) : TIFFNumberOfStrips(tif);
    if (pieces == 0)
        context.Fail("damaged TIFF (no strips or tiles)");
    uint64_t available = 0;
    for (uint32_t i = 0; i < pieces; ++i) {
        const uint64_t offset = TIFFGetStrileOffset(tif, i);
        const uint64_t count = TIFFGetStrileByteCount(tif, i);
        if (offset < fileSize)
            available += std::min(count, fileSize - offset);
    }
    const uint64_t rowBits = uint64_t{l.width} * k.fileSamples * l.bits;
    const uint64_t needed = Multiply((rowBits + 7) / 8, l.height).value_or(UINT64_MAX);
    const uint64_t expansion = LargestExpansion(l.compression);
    const bool fax =
        l.compression == COMPRESSION_CCITTFAX3 || l.compression == COMPRESSION_CCITTFAX4 ||
        l.compression == COMPRESSION_CCITTRLE || l.compression == COMPRESSION_CCITTRLEW;
    const bool tooShort =
        (expansion != 0 && needed / expansion > available) || (fax && l.height / 8 > available);
    if (tooShort)
        context.Fail("damaged or truncated TIFF (" + std::to_string(available) +
                     " bytes of image data cannot hold " + std::to_string(l.width) + " x " +
                     std::to_string(l.height) + " pixels)");
}

Palette ReadTiffPalette(TIFF* tif, int bits, const ReadContext& context)
{
    uint16_t *red = nullptr, *green = nullptr, *blue = nullptr;
    if (!TIFFGetField(tif, TIFFTAG_COLORMAP, &red, &green, &blue))
        context.Fail("damaged TIFF (a palette image without a colour map)");
    const size_t count = size_t{1} << bits;
    // Colour maps hold 16-bit values; some writers put 8-bit ones there.
    bool eightBit = true;
    for (size_t i = 0; i < count; ++i)
        if (red[i] > 255 || green[i] > 255 || blue[i] > 255)
            eightBit = false;
    auto level = [&](uint16_t v) {
        return static_cast<uint8_t>(eightBit ? v : (uint32_t{v} * 255 + 32767) / 65535);
    };
    Palette palette;
    for (size_t i = 0; i < count; ++i) {
        palette.red.push_back(level(red[i]));
        palette.green.push_back(level(green[i]));
        palette.blue.push_back(level(blue[i]));
    }
    palette.alpha.assign(count, 255);
    return palette;
}

// Turns file rows (samples contiguous, native byte order) into host rows.
class RowConverter {
public:
    RowConverter(const TiffLayout& l, const TiffKind& k, ImageFile& file, Palette palette)
        : l_(l), k_(k), file_(file), palette_(std::move(palette)), scratch_(l.width)
    {
        layout_.planes = k.planes;
        layout_.alpha = k.alpha;
        layout_.depth = k.depth;
        layout_.signedLab = k.signedLab;
    }

    void Convert(uint8_t* in, uint32_t y)
    {
        const auto row = static_cast<int32_t>(y);
        const auto width = static_cast<int32_t>(l_.width);
        Image* alpha = file_.alpha ? &*file_.alpha : nullptr;
        if (k_.palette) {
            UnpackIndices(in, l_.bits, width, scratch_.data());
            PaletteRowToHost(palette_, scratch_.data(), width, file_.image, alpha, row);
        } else if (k_.lowBits) {
            ExpandLowBits(in, l_.bits, width, k_.minIsWhite, file_.image.Row(row));
        } else {
            if (k_.minIsWhite)
                Invert(in);
            FileRowToHost(layout_, in, width, file_.image, alpha, row);
        }
    }

private:
    void Invert(uint8_t* in) const
    {
        const size_t samples = size_t{l_.width} * k_.fileSamples;
        for (size_t i = 0; i < samples; ++i) {
            if (k_.alpha && i % 2 == 1)
                continue;
            if (l_.bits == 8)
                in[i] = static_cast<uint8_t>(255 - in[i]);
            else
                StoreNative16(in + 2 * i, static_cast<uint16_t>(65535 - LoadNative16(in + 2 * i)));
        }
    }

    const TiffLayout& l_;
    const TiffKind& k_;
    ImageFile& file_;
    Palette palette_;
    SampleLayout layout_;
    std::vector<uint8_t> scratch_;
};

[[noreturn]] void FailDecode(const ReadContext& context, const std::string& errorText,
                             const char* what)
{
    context.Fail(std::string("damaged or truncated TIFF (") +
                 (errorText.empty() ? what : errorText.c_str()) + ")");
}

// Contiguous strips: one scanline at a time, straight into the host image.
void DecodeStrips(TIFF* tif, const TiffLayout& l, RowConverter& rows, const ReadContext& context,
                  const std::string& errorText)
{
    const tmsize_t lineSize = TIFFScanlineSize(tif);
    const uint64_t rowBytes = (uint64_t{l.width} * l.samples * l.bits + 7) / 8;
    if (lineSize <= 0 || static_cast<uint64_t>(lineSize) < rowBytes)
        FailDecode(context, errorText, "bad line size");
    std::vector<uint8_t> line(static_cast<size_t>(lineSize));
    for (uint32_t y = 0; y < l.height; ++y) {
        if (TIFFReadScanline(tif, line.data(), y, 0) < 0)
            FailDecode(context, errorText, "line read error");
        rows.Convert(line.data(), y);
    }
}

// Tiles or separate planes: the file's samples are gathered into whole
// contiguous rows first.
void DecodeGathered(TIFF* tif, const TiffLayout& l, RowConverter& rows, const ReadContext& context,
                    const std::string& errorText)
{
    const bool separate = l.planar == PLANARCONFIG_SEPARATE && l.samples > 1;
    if (separate && l.bits % 8 != 0)
        context.Fail("it is a " + std::to_string(l.bits) +
                     "-bit TIFF with separate planes, which is not read");
    const int planeCount = separate ? l.samples : 1;
    const size_t pixelBits = size_t{l.samples} * l.bits;
    const size_t rowBytes = (pixelBits * l.width + 7) / 8;
    const size_t sampleBytes = l.bits / 8;
    const size_t inPixelBits = separate ? l.bits : pixelBits;
    std::vector<uint8_t> raw(rowBytes * l.height);

    // Copies `count` pixels from the decoded buffer into row y from column x.
    auto place = [&](const uint8_t* in, uint32_t y, uint32_t x, uint32_t count, int plane) {
        uint8_t* out = raw.data() + rowBytes * y;
        if (!separate) {
            std::memcpy(out + pixelBits * x / 8, in, (pixelBits * count + 7) / 8);
            return;
        }
        out += (pixelBits * x) / 8 + static_cast<size_t>(plane) * sampleBytes;
        for (uint32_t i = 0; i < count; ++i)
            std::memcpy(out + pixelBits / 8 * i, in + sampleBytes * i, sampleBytes);
    };

    if (TIFFIsTiled(tif)) {
        uint32_t tileWidth = 0, tileHeight = 0;
        TIFFGetField(tif, TIFFTAG_TILEWIDTH, &tileWidth);
        TIFFGetField(tif, TIFFTAG_TILELENGTH, &tileHeight);
        const tmsize_t tileSize = TIFFTileSize(tif);
        const uint64_t tileRowBytes = (inPixelBits * tileWidth + 7) / 8;
        // Tiles may overhang the image, but not by more than a tile.
        const bool sane = tileWidth > 0 && tileHeight > 0 && tileSize > 0 &&
                          tileWidth <= l.width + 1024 && tileHeight <= l.height + 1024 &&
                          static_cast<uint64_t>(tileSize) >= tileRowBytes * tileHeight;
        if (!sane)
            FailDecode(context, "", "bad tile size");
        std::vector<uint8_t> tile(static_cast<size_t>(tileSize));
        for (int plane = 0; plane < planeCount; ++plane)
            for (uint32_t ty = 0; ty < l.height; ty += tileHeight)
                for (uint32_t tx = 0; tx < l.width; tx += tileWidth) {
                    if (TIFFReadTile(tif, tile.data(), tx, ty, 0, static_cast<uint16_t>(plane)) < 0)
                        FailDecode(context, errorText, "tile read error");
                    const uint32_t rowsHere = std::min(tileHeight, l.height - ty);
                    const uint32_t colsHere = std::min(tileWidth, l.width - tx);
                    for (uint32_t r = 0; r < rowsHere; ++r)
                        place(tile.data() + tileRowBytes * r, ty + r, tx, colsHere, plane);
                }
    } else {
        const tmsize_t lineSize = TIFFScanlineSize(tif);
        if (lineSize <= 0 || static_cast<uint64_t>(lineSize) < (inPixelBits * l.width + 7) / 8)
            FailDecode(context, errorText, "bad line size");
        std::vector<uint8_t> line(static_cast<size_t>(lineSize));
        for (int plane = 0; plane < planeCount; ++plane)
            for (uint32_t y = 0; y < l.height; ++y) {
                if (TIFFReadScanline(tif, line.data(), y, static_cast<uint16_t>(plane)) < 0)
                    FailDecode(context, errorText, "line read error");
                place(line.data(), y, 0, l.width, plane);
            }
    }
    for (uint32_t y = 0; y < l.height; ++y)
        rows.Convert(raw.data() + rowBytes * y, y);
}

void ReadTiffMetadata(TIFF* tif, ImageMetadata& metadata)
{
    uint32_t iccLength = 0;
    void* icc = nullptr;
    if (TIFFGetField(tif, TIFFTAG_ICCPROFILE, &iccLength, &icc) && icc)
        metadata.icc.assign(static_cast<uint8_t*>(icc), static_cast<uint8_t*>(icc) + iccLength);
    float x = 0, y = 0;
    uint16_t unit = RESUNIT_INCH;
    if (TIFFGetField(tif, TIFFTAG_XRESOLUTION, &x) && TIFFGetField(tif, TIFFTAG_YRESOLUTION, &y) &&
        x > 0 && y > 0) {
        TIFFGetFieldDefaulted(tif, TIFFTAG_RESOLUTIONUNIT, &unit);
        const Resolution::Unit u = unit == RESUNIT_CENTIMETER ? Resolution::Unit::kCentimetre
                                   : unit == RESUNIT_NONE     ? Resolution::Unit::kNone
                                                              : Resolution::Unit::kInch;
        metadata.resolution = Resolution{x, y, u};
    }
    char* description = nullptr;
    if (TIFFGetField(tif, TIFFTAG_IMAGEDESCRIPTION, &description) && description)
        metadata.description = description;
}

}  // namespace

ImageFile ReadTiff(std::span<const uint8_t> bytes, const ReadContext& context)
{
    std::string errorText;
    TiffMemory memory{bytes, nullptr, 0};
    TiffHandle tif = OpenMemoryTiff(memory, "rm", errorText);
    if (!tif)
        context.Fail("damaged TIFF (" + (errorText.empty() ? "cannot open" : errorText) + ")");
    SelectPage(tif.get(), context);
    TiffLayout layout = DescribeTiff(tif.get(), context);
    TiffKind kind = ClassifyTiff(tif.get(), layout, context);
    CheckTiffData(tif.get(), layout, kind, bytes.size(), context);
    Palette palette;
    if (kind.palette) {
        palette = ReadTiffPalette(tif.get(), layout.bits, context);
        kind.planes = palette.IsGrey() ? 1 : 3;
    }

    ImageFile file;
    const auto width = static_cast<int32_t>(layout.width);
    const auto height = static_cast<int32_t>(layout.height);
    file.image = MakeHostImage(width, height, kind.planes, kind.depth, kind.lab);
    if (kind.alpha)
        file.alpha = MakeHostImage(width, height, 1, kind.depth);
    file.alphaPremultiplied = kind.alpha && layout.associatedAlpha;
    RowConverter rows(layout, kind, file, std::move(palette));
    const bool simple =
        !TIFFIsTiled(tif.get()) && (layout.planar == PLANARCONFIG_CONTIG || layout.samples == 1);
    if (simple)
        DecodeStrips(tif.get(), layout, rows, context, errorText);
    else
        DecodeGathered(tif.get(), layout, rows, context, errorText);
    ReadTiffMetadata(tif.get(), file.metadata);
    return file;
}

// ---------------------------------------------------------------- writing

namespace {

struct TiffCompression {
    uint16_t scheme;
    bool bilevel;  // fax coding: the image goes out as 1 bit a pixel
};

std::optional<TiffCompression> CompressionFor(const std::string& name)
{
    if (name.empty() || name == "deflate" || name == "zip")
        return TiffCompression{COMPRESSION_ADOBE_DEFLATE, false};
    if (name == "none")
        return TiffCompression{COMPRESSION_NONE, false};
    if (name == "lzw")
        return TiffCompression{COMPRESSION_LZW, false};
    if (name == "zstd")
        return TiffCompression{COMPRESSION_ZSTD, false};
    if (name == "packbits")
        return TiffCompression{COMPRESSION_PACKBITS, false};
    if (name == "g3")
        return TiffCompression{COMPRESSION_CCITTFAX3, true};
    if (name == "g4")
        return TiffCompression{COMPRESSION_CCITTFAX4, true};
    return std::nullopt;
}

// The deflate level of the default compression: close to the smallest
// files for a fraction of the time.
constexpr int kDeflateLevel = 1;

void SetTiffMetadata(TIFF* t, const ImageMetadata& metadata)
{
    if (!metadata.icc.empty())
        TIFFSetField(t, TIFFTAG_ICCPROFILE, static_cast<uint32_t>(metadata.icc.size()),
                     metadata.icc.data());
    if (metadata.resolution && metadata.resolution->x > 0 && metadata.resolution->y > 0) {
        const Resolution& r = *metadata.resolution;
        const uint16_t unit = r.unit == Resolution::Unit::kCentimetre ? RESUNIT_CENTIMETER
                              : r.unit == Resolution::Unit::kInch     ? RESUNIT_INCH
                                                                      : RESUNIT_NONE;
        TIFFSetField(t, TIFFTAG_XRESOLUTION, static_cast<float>(r.x));
        TIFFSetField(t, TIFFTAG_YRESOLUTION, static_cast<float>(r.y));
        TIFFSetField(t, TIFFTAG_RESOLUTIONUNIT, unit);
    }
    if (!metadata.description.empty())
        TIFFSetField(t, TIFFTAG_IMAGEDESCRIPTION, metadata.description.c_str());
}

void SetTiffLayout(TIFF* t, const ImageFile& file, const TiffCompression& compression,
                   const SampleLayout& layout)
{
    const Image& image = file.image;
    const bool lab = image.mode == plugInModeLabColor || image.mode == plugInModeLab48;
    const bool isFloat = image.depth == 32;
    TIFFSetField(t, TIFFTAG_IMAGEWIDTH, static_cast<uint32_t>(image.width));
    TIFFSetField(t, TIFFTAG_IMAGELENGTH, static_cast<uint32_t>(image.height));
    TIFFSetField(t, TIFFTAG_PLANARCONFIG, static_cast<uint16_t>(PLANARCONFIG_CONTIG));
    TIFFSetField(t, TIFFTAG_ORIENTATION, static_cast<uint16_t>(ORIENTATION_TOPLEFT));
    TIFFSetField(t, TIFFTAG_COMPRESSION, compression.scheme);
    if (compression.bilevel) {
        TIFFSetField(t, TIFFTAG_BITSPERSAMPLE, static_cast<uint16_t>(1));
        TIFFSetField(t, TIFFTAG_SAMPLESPERPIXEL, static_cast<uint16_t>(1));
        TIFFSetField(t, TIFFTAG_PHOTOMETRIC, static_cast<uint16_t>(PHOTOMETRIC_MINISWHITE));
        TIFFSetField(t, TIFFTAG_ROWSPERSTRIP, static_cast<uint32_t>(image.height));
        return;
    }
    const uint16_t photometric = lab                 ? PHOTOMETRIC_CIELAB
                                 : image.planes == 1 ? PHOTOMETRIC_MINISBLACK
                                                     : PHOTOMETRIC_RGB;
    TIFFSetField(t, TIFFTAG_BITSPERSAMPLE, static_cast<uint16_t>(image.depth));
    TIFFSetField(t, TIFFTAG_SAMPLESPERPIXEL, static_cast<uint16_t>(layout.FileSamples()));
    TIFFSetField(t, TIFFTAG_SAMPLEFORMAT,
                 static_cast<uint16_t>(isFloat ? SAMPLEFORMAT_IEEEFP : SAMPLEFORMAT_UINT));
    TIFFSetField(t, TIFFTAG_PHOTOMETRIC, photometric);
    if (layout.alpha) {
        const uint16_t extra[] = {static_cast<uint16_t>(
            file.alphaPremultiplied ? EXTRASAMPLE_ASSOCALPHA : EXTRASAMPLE_UNASSALPHA)};
        TIFFSetField(t, TIFFTAG_EXTRASAMPLES, static_cast<uint16_t>(1), extra);
    }
    const bool predicts = compression.scheme == COMPRESSION_ADOBE_DEFLATE ||
                          compression.scheme == COMPRESSION_LZW ||
                          compression.scheme == COMPRESSION_ZSTD;
    if (predicts)
        TIFFSetField(t, TIFFTAG_PREDICTOR,
                     static_cast<uint16_t>(isFloat ? PREDICTOR_NONE : PREDICTOR_HORIZONTAL));
    if (compression.scheme == COMPRESSION_ADOBE_DEFLATE)
        TIFFSetField(t, TIFFTAG_ZIPQUALITY, kDeflateLevel);
    // Strips of about 256 KiB: few enough to keep the codec busy, small
    // enough for any reader.
    const size_t rowBytes = layout.PixelBytes() * static_cast<size_t>(image.width);
    const size_t rows = std::clamp<size_t>((size_t{1} << 18) / std::max<size_t>(rowBytes, 1), 1,
                                           static_cast<size_t>(image.height));
    TIFFSetField(t, TIFFTAG_ROWSPERSTRIP, static_cast<uint32_t>(rows));
}

}  // namespace

std::optional<std::string> CheckTiffOptions(const WriteOptions& options, const Image& image)
{
    const auto compression = CompressionFor(options.compression);
    if (!compression)
        return "TIFF compression '" + options.compression +
               "' is not known (use none, lzw, deflate, zstd, packbits, g3 or g4)";
    if (!TIFFIsCODECConfigured(compression->scheme))
        return "this libtiff cannot write '" + options.compression + "' compression";
    if (compression->bilevel && image.mode != plugInModeLabColor && image.mode != plugInModeLab48)
        return std::nullopt;
    if (compression->bilevel) {
        std::string what(1, '\'');
        what.append(options.compression).append("' compression cannot hold a Lab image");
        return what;
    }
    return std::nullopt;
}

bool IsBilevelCompression(const std::string& compression)
{
    const auto known = CompressionFor(compression);
    return known && known->bilevel;
}

std::vector<uint8_t> EncodeTiff(const ImageFile& file, const WriteOptions& options)
{
    const TiffCompression compression =
        CompressionFor(options.compression).value_or(TiffCompression{COMPRESSION_NONE, false});
    const Image& image = file.image;
    SampleLayout layout;
    layout.planes = image.planes;
    layout.alpha = file.alpha.has_value() && !compression.bilevel;
    layout.depth = image.depth;
    layout.signedLab = image.mode == plugInModeLabColor || image.mode == plugInModeLab48;

    std::vector<uint8_t> out;
    std::string errorText;
    TiffMemory memory{{}, &out, 0};
    {
        TiffHandle tif = OpenMemoryTiff(memory, "w", errorText);
        if (!tif)
            throw std::runtime_error(errorText.empty() ? "cannot start the TIFF" : errorText);
        TIFF* t = tif.get();
        SetTiffLayout(t, file, compression, layout);
        SetTiffMetadata(t, file.metadata);
        const size_t rowBytes = compression.bilevel
                                    ? (static_cast<size_t>(image.width) + 7) / 8
                                    : layout.PixelBytes() * static_cast<size_t>(image.width);
        std::vector<uint8_t> row(rowBytes);
        const Image* alpha = layout.alpha ? &*file.alpha : nullptr;
        for (int32_t y = 0; y < image.height; ++y) {
            if (compression.bilevel)
                PackTwoLevelRow(image, y, true, row.data());
            else
                HostRowToFile(layout, image, alpha, y, row.data());
            if (TIFFWriteScanline(t, row.data(), static_cast<uint32_t>(y), 0) < 0)
                throw std::runtime_error(errorText.empty() ? "write error" : errorText);
        }
        if (!TIFFFlush(t))
            throw std::runtime_error(errorText.empty() ? "write error" : errorText);
    }
    if (!errorText.empty())
        throw std::runtime_error(errorText);
    return out;
}

}  // namespace host::files
