// Image files on disk ⇄ host::Image: PNG through libpng, TIFF through
// libtiff, binary PGM/PPM by hand (a text header and raw big-endian
// samples). See image_file.h for the mode mapping and the sample mappings.
//
// libpng reports errors by longjmp: every object with a destructor that the
// PNG functions can see is created before setjmp, so a jump never skips one.
#include "image_file.h"

#include <fcntl.h>
#include <png.h>
#include <sys/stat.h>
#include <tiffio.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <csetjmp>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <new>
#include <utility>
#include <vector>

namespace host {
namespace {

namespace fs = std::filesystem;

// Built by appending: GCC 12 at -O3 raises a false -Wrestrict on the
// "'" + string + "'" form.
std::string Quoted(const fs::path& path)
{
    std::string quoted(1, '\'');
    quoted.append(path.string()).push_back('\'');
    return quoted;
}

[[noreturn]] void FailRead(const fs::path& path, const std::string& what)
{
    throw ImageFileError("cannot read " + Quoted(path) + ": " + what);
}

[[noreturn]] void FailWrite(const fs::path& path, const std::string& what)
{
    throw ImageFileError("cannot write " + Quoted(path) + ": " + what);
}

std::string Lower(std::string s)
{
    std::transform(s.begin(), s.end(), s.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return s;
}

std::string SizeText(uint64_t width, uint64_t height)
{
    return std::to_string(width) + " x " + std::to_string(height);
}

// Guards against sizes whose byte count would not fit or is absurd before
// anything is allocated for them.
void CheckDimensions(const fs::path& path, uint64_t width, uint64_t height)
{
    if (width == 0 || height == 0)
        FailRead(path, "the image is empty (" + SizeText(width, height) + ")");
    if (width > INT32_MAX || height > INT32_MAX)
        FailRead(path, "the image is too large (" + SizeText(width, height) + ")");
}

uint16_t LoadBE16(const uint8_t* p)
{
    return static_cast<uint16_t>(p[0] << 8 | p[1]);
}
void StoreBE16(uint8_t* p, uint16_t v)
{
    p[0] = static_cast<uint8_t>(v >> 8);
    p[1] = static_cast<uint8_t>(v & 0xFF);
}

uint16_t LoadNative16(const uint8_t* p)
{
    uint16_t v;
    std::memcpy(&v, p, 2);
    return v;
}
void StoreNative16(uint8_t* p, uint16_t v)
{
    std::memcpy(p, &v, 2);
}

bool IsLab(int mode)
{
    return mode == plugInModeLabColor || mode == plugInModeLab48;
}
bool IsGrey(int mode)
{
    return mode == plugInModeGrayScale || mode == plugInModeGray16 || mode == plugInModeGray32;
}

// ---------------------------------------------------------------- PNG

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

struct PngReadHandles {
    png_structp png = nullptr;
    png_infop info = nullptr;
    ~PngReadHandles()
    {
        if (png)
            png_destroy_read_struct(&png, info ? &info : nullptr, nullptr);
    }
};

Image ReadPng(const fs::path& path, FILE* file)
{
    PngErrorText error;
    PngReadHandles h;
    Image image;
    std::vector<uint8_t> raw;
    std::vector<png_bytep> rows;
    std::string refusal;

    h.png = png_create_read_struct(PNG_LIBPNG_VER_STRING, &error, PngOnError, PngOnWarning);
    if (!h.png)
        FailRead(path, "out of memory");
    h.info = png_create_info_struct(h.png);
    if (!h.info)
        FailRead(path, "out of memory");
    if (setjmp(png_jmpbuf(h.png))) {
        FailRead(path, std::string("damaged or truncated PNG (") + error.text.data() + ")");
    }
    png_init_io(h.png, file);
    png_read_info(h.png, h.info);
    const png_uint_32 width = png_get_image_width(h.png, h.info);
    const png_uint_32 height = png_get_image_height(h.png, h.info);
    const int bitDepth = png_get_bit_depth(h.png, h.info);
    const int colourType = png_get_color_type(h.png, h.info);

    int mode = 0;
    if (colourType == PNG_COLOR_TYPE_PALETTE) {
        refusal = "it is a palette (indexed-colour) PNG; save it as grey or RGB first";
    } else if (colourType == PNG_COLOR_TYPE_GRAY_ALPHA) {
        refusal = "it is a " + std::to_string(bitDepth) +
                  "-bit grey PNG with an alpha channel; remove the alpha channel first";
    } else if (colourType == PNG_COLOR_TYPE_RGB_ALPHA) {
        refusal = "it is a " + std::to_string(bitDepth) +
                  "-bit RGB PNG with an alpha channel; remove the alpha channel first";
    } else if (bitDepth != 8 && bitDepth != 16) {
        refusal = "it is a " + std::to_string(bitDepth) +
                  "-bit grey PNG; only 8-bit and 16-bit grey or RGB are read";
    } else if (colourType == PNG_COLOR_TYPE_GRAY) {
        mode = bitDepth == 8 ? plugInModeGrayScale : plugInModeGray16;
    } else if (colourType == PNG_COLOR_TYPE_RGB) {
        mode = bitDepth == 8 ? plugInModeRGBColor : plugInModeRGB48;
    } else {
        refusal =
            "it is a PNG of colour type " + std::to_string(colourType) + ", which is not read";
    }
    if (!refusal.empty())
        FailRead(path, refusal);
    CheckDimensions(path, width, height);

    png_set_interlace_handling(h.png);
    png_read_update_info(h.png, h.info);
    const size_t rowBytes = png_get_rowbytes(h.png, h.info);
    image = Image::Make(static_cast<int32_t>(width), static_cast<int32_t>(height),
                        static_cast<int16_t>(mode), static_cast<int16_t>(bitDepth));
    if (bitDepth == 8 && rowBytes == image.RowBytes()) {
        rows.resize(height);
        for (png_uint_32 y = 0; y < height; ++y)
            rows[y] = image.Row(static_cast<int32_t>(y));
        png_read_image(h.png, rows.data());
    } else {
        raw.resize(rowBytes * height);
        rows.resize(height);
        for (png_uint_32 y = 0; y < height; ++y)
            rows[y] = raw.data() + rowBytes * y;
        png_read_image(h.png, rows.data());
        const size_t samples = static_cast<size_t>(width) * static_cast<size_t>(image.planes);
        for (png_uint_32 y = 0; y < height; ++y) {
            uint8_t* out = image.Row(static_cast<int32_t>(y));
            const uint8_t* in = rows[y];
            for (size_t i = 0; i < samples; ++i)
                StoreNative16(out + 2 * i, FileToHost16(LoadBE16(in + 2 * i)));
        }
    }
    return image;
}

struct PngWriteHandles {
    png_structp png = nullptr;
    png_infop info = nullptr;
    ~PngWriteHandles()
    {
        if (png)
            png_destroy_write_struct(&png, info ? &info : nullptr);
    }
};

// Writes the whole PNG to `file`; returns the libpng error text on failure.
std::optional<std::string> WritePng(FILE* file, const Image& image)
{
    PngErrorText error;
    PngWriteHandles h;
    std::vector<uint8_t> row;

    h.png = png_create_write_struct(PNG_LIBPNG_VER_STRING, &error, PngOnError, PngOnWarning);
    if (!h.png)
        return "out of memory";
    h.info = png_create_info_struct(h.png);
    if (!h.info)
        return "out of memory";
    if (setjmp(png_jmpbuf(h.png)))
        return std::string(error.text.data());
    png_init_io(h.png, file);
    const int colourType = image.planes == 1 ? PNG_COLOR_TYPE_GRAY : PNG_COLOR_TYPE_RGB;
    png_set_IHDR(h.png, h.info, static_cast<png_uint_32>(image.width),
                 static_cast<png_uint_32>(image.height), image.depth, colourType,
                 PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_write_info(h.png, h.info);
    row.resize(image.RowBytes());
    const size_t samples = static_cast<size_t>(image.width) * static_cast<size_t>(image.planes);
    for (int32_t y = 0; y < image.height; ++y) {
        const uint8_t* in = image.Row(y);
        if (image.depth == 8) {
            png_write_row(h.png, in);
        } else {
            for (size_t i = 0; i < samples; ++i)
                StoreBE16(row.data() + 2 * i, HostToFile16(LoadNative16(in + 2 * i)));
            png_write_row(h.png, row.data());
        }
    }
    png_write_end(h.png, nullptr);
    return std::nullopt;
}

// ---------------------------------------------------------------- TIFF

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

// Opens with handlers that collect the first error into `errorText` instead
// of printing it.
TIFF* TiffOpen(const char* name, const char* mode, int fd, std::string* errorText)
{
    TIFFOpenOptions* options = TIFFOpenOptionsAlloc();
    if (!options)
        return nullptr;
    TIFFOpenOptionsSetErrorHandlerExtR(options, TiffOnError, errorText);
    TIFFOpenOptionsSetWarningHandlerExtR(options, TiffOnWarning, nullptr);
    TIFF* tif = fd >= 0 ? TIFFFdOpenExt(fd, name, mode, options) : TIFFOpenExt(name, mode, options);
    TIFFOpenOptionsFree(options);
    return tif;
}

struct TiffCloser {
    void operator()(TIFF* tif) const { TIFFClose(tif); }
};
using TiffHandle = std::unique_ptr<TIFF, TiffCloser>;

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

// Reads every sample of the first image of the file into `raw`, planes
// interleaved, rows top to bottom, samples in native byte order.
void ReadTiffSamples(const fs::path& path, TIFF* tif, const std::string& errorText, uint32_t width,
                     uint32_t height, int samplesPerPixel, int bytesPerSample,
                     std::vector<uint8_t>& raw)
{
    uint16_t planar = PLANARCONFIG_CONTIG;
    TIFFGetFieldDefaulted(tif, TIFFTAG_PLANARCONFIG, &planar);
    const bool separate = planar == PLANARCONFIG_SEPARATE && samplesPerPixel > 1;
    const size_t pixelBytes = static_cast<size_t>(samplesPerPixel) * bytesPerSample;
    const size_t rowBytes = pixelBytes * width;
    raw.resize(rowBytes * height);
    const int planeCount = separate ? samplesPerPixel : 1;
    // Bytes of one pixel in the decoded buffer: one sample when planes are separate.
    const size_t inPixelBytes = separate ? static_cast<size_t>(bytesPerSample) : pixelBytes;

    auto fail = [&](const char* what) {
        FailRead(path, std::string("damaged or truncated TIFF (") +
                           (errorText.empty() ? what : errorText.c_str()) + ")");
    };
    // Copies `count` pixels from the decoded buffer into row y, column x.
    auto place = [&](const uint8_t* in, uint32_t y, uint32_t x, uint32_t count, int plane) {
        uint8_t* out = raw.data() + rowBytes * y + pixelBytes * x;
        if (!separate) {
            std::memcpy(out, in, pixelBytes * count);
            return;
        }
        out += static_cast<size_t>(plane) * bytesPerSample;
        for (uint32_t i = 0; i < count; ++i)
            std::memcpy(out + pixelBytes * i, in + inPixelBytes * i, bytesPerSample);
    };

    if (TIFFIsTiled(tif)) {
        uint32_t tileWidth = 0, tileHeight = 0;
        TIFFGetField(tif, TIFFTAG_TILEWIDTH, &tileWidth);
        TIFFGetField(tif, TIFFTAG_TILELENGTH, &tileHeight);
        const tmsize_t tileSize = TIFFTileSize(tif);
        if (tileWidth == 0 || tileHeight == 0 || tileSize <= 0)
            fail("bad tile size");
        std::vector<uint8_t> tile(static_cast<size_t>(tileSize));
        for (int plane = 0; plane < planeCount; ++plane)
            for (uint32_t ty = 0; ty < height; ty += tileHeight)
                for (uint32_t tx = 0; tx < width; tx += tileWidth) {
                    if (TIFFReadTile(tif, tile.data(), tx, ty, 0, static_cast<uint16_t>(plane)) < 0)
                        fail("tile read error");
                    const uint32_t rowsHere = std::min(tileHeight, height - ty);
                    const uint32_t colsHere = std::min(tileWidth, width - tx);
                    for (uint32_t r = 0; r < rowsHere; ++r)
                        place(tile.data() + inPixelBytes * tileWidth * r, ty + r, tx, colsHere,
                              plane);
                }
    } else {
        const tmsize_t lineSize = TIFFScanlineSize(tif);
        if (lineSize <= 0 || static_cast<size_t>(lineSize) < inPixelBytes * width)
            fail("bad line size");
        std::vector<uint8_t> line(static_cast<size_t>(lineSize));
        for (int plane = 0; plane < planeCount; ++plane)
            for (uint32_t y = 0; y < height; ++y) {
                if (TIFFReadScanline(tif, line.data(), y, static_cast<uint16_t>(plane)) < 0)
                    fail("line read error");
                place(line.data(), y, 0, width, plane);
            }
    }
}

Image ReadTiff(const fs::path& path)
{
    std::string errorText;
    TiffHandle tif(TiffOpen(path.c_str(), "r", -1, &errorText));
    if (!tif)
        FailRead(path, "damaged TIFF (" + (errorText.empty() ? "cannot open" : errorText) + ")");

    uint32_t width = 0, height = 0;
    uint16_t bits = 1, samples = 1, format = SAMPLEFORMAT_UINT, photometric = 0;
    TIFFGetField(tif.get(), TIFFTAG_IMAGEWIDTH, &width);
    TIFFGetField(tif.get(), TIFFTAG_IMAGELENGTH, &height);
    TIFFGetFieldDefaulted(tif.get(), TIFFTAG_BITSPERSAMPLE, &bits);
    TIFFGetFieldDefaulted(tif.get(), TIFFTAG_SAMPLESPERPIXEL, &samples);
    TIFFGetFieldDefaulted(tif.get(), TIFFTAG_SAMPLEFORMAT, &format);
    if (!TIFFGetField(tif.get(), TIFFTAG_PHOTOMETRIC, &photometric))
        FailRead(path, "the TIFF does not say how its samples are to be read (no photometric tag)");

    const std::string kind = PhotometricName(photometric);
    const bool grey = photometric == PHOTOMETRIC_MINISBLACK;
    const bool rgb = photometric == PHOTOMETRIC_RGB;
    const bool cieLab = photometric == PHOTOMETRIC_CIELAB;
    const bool iccLab = photometric == PHOTOMETRIC_ICCLAB;
    const int wanted = grey ? 1 : 3;
    if (!grey && !rgb && !cieLab && !iccLab)
        FailRead(path, "it is a " + kind + " TIFF; only grey, RGB and CIELab are read");
    if (samples > wanted) {
        uint16_t extraCount = 0;
        uint16_t* extraTypes = nullptr;
        TIFFGetField(tif.get(), TIFFTAG_EXTRASAMPLES, &extraCount, &extraTypes);
        const bool alpha =
            extraCount > 0 && extraTypes &&
            (extraTypes[0] == EXTRASAMPLE_ASSOCALPHA || extraTypes[0] == EXTRASAMPLE_UNASSALPHA);
        FailRead(path, "it is a " + kind + " TIFF with " +
                           (alpha ? std::string("an alpha channel")
                                  : std::to_string(samples - wanted) + " extra channel(s)") +
                           "; remove the extra channels first");
    }
    if (samples < wanted)
        FailRead(path, "it is a " + kind + " TIFF with only " + std::to_string(samples) +
                           " sample(s) per pixel");

    const bool isFloat = format == SAMPLEFORMAT_IEEEFP;
    const bool isUnsigned = format == SAMPLEFORMAT_UINT || format == SAMPLEFORMAT_VOID;
    const std::string depthText = std::to_string(bits) + "-bit";
    if (isFloat && (bits != 32 || cieLab || iccLab))
        FailRead(path, "it is a " + depthText + " floating-point " + kind +
                           " TIFF; only 32-bit float grey or RGB is read");
    if (!isFloat && !isUnsigned)
        FailRead(path,
                 "it is a " + kind + " TIFF with signed or complex samples, which are not read");
    if (!isFloat && bits != 8 && bits != 16)
        FailRead(path, "it is a " + depthText + " " + kind + " TIFF; only 8-bit and 16-bit " +
                           "integer samples (or 32-bit float) are read");
    CheckDimensions(path, width, height);

    int mode;
    if (grey)
        mode = bits == 8    ? plugInModeGrayScale
               : bits == 16 ? plugInModeGray16
                            : plugInModeGrayScale;
    else if (rgb)
        mode = bits == 8 ? plugInModeRGBColor : bits == 16 ? plugInModeRGB48 : plugInModeRGB96;
    else
        mode = bits == 8 ? plugInModeLabColor : plugInModeLab48;

    std::vector<uint8_t> raw;
    ReadTiffSamples(path, tif.get(), errorText, width, height, wanted, bits / 8, raw);

    Image image = Image::Make(static_cast<int32_t>(width), static_cast<int32_t>(height),
                              static_cast<int16_t>(mode), static_cast<int16_t>(bits));
    const size_t count = static_cast<size_t>(width) * height * static_cast<size_t>(wanted);
    if (bits == 8) {
        std::memcpy(image.pixels.data(), raw.data(), count);
        if (cieLab)  // signed a, b → offset by 128
            for (size_t i = 0; i < count; i += 3) {
                image.pixels[i + 1] ^= 0x80;
                image.pixels[i + 2] ^= 0x80;
            }
    } else if (bits == 16) {
        for (size_t i = 0; i < count; ++i) {
            uint16_t v = LoadNative16(raw.data() + 2 * i);
            if (cieLab && i % 3 != 0)
                v ^= 0x8000;  // signed a, b → offset by 32768
            StoreNative16(image.pixels.data() + 2 * i, FileToHost16(v));
        }
    } else {
        std::memcpy(image.pixels.data(), raw.data(), count * 4);
    }
    return image;
}

// Writes the whole TIFF to `fd` (which libtiff closes once it has taken it);
// returns the error text on failure.
std::optional<std::string> WriteTiff(int fd, const std::string& name, const Image& image)
{
    std::string errorText;
    TIFF* raw = TiffOpen(name.c_str(), "w", fd, &errorText);
    if (!raw)
        return errorText.empty() ? std::string("cannot start the TIFF") : errorText;
    TiffHandle tif(raw);
    const bool lab = IsLab(image.mode);
    const uint16_t photometric = lab                 ? PHOTOMETRIC_CIELAB
                                 : image.planes == 1 ? PHOTOMETRIC_MINISBLACK
                                                     : PHOTOMETRIC_RGB;
    const bool isFloat = image.depth == 32;
    TIFF* t = tif.get();
    TIFFSetField(t, TIFFTAG_IMAGEWIDTH, static_cast<uint32_t>(image.width));
    TIFFSetField(t, TIFFTAG_IMAGELENGTH, static_cast<uint32_t>(image.height));
    TIFFSetField(t, TIFFTAG_BITSPERSAMPLE, static_cast<uint16_t>(image.depth));
    TIFFSetField(t, TIFFTAG_SAMPLESPERPIXEL, static_cast<uint16_t>(image.planes));
    TIFFSetField(t, TIFFTAG_SAMPLEFORMAT,
                 static_cast<uint16_t>(isFloat ? SAMPLEFORMAT_IEEEFP : SAMPLEFORMAT_UINT));
    TIFFSetField(t, TIFFTAG_PHOTOMETRIC, photometric);
    TIFFSetField(t, TIFFTAG_PLANARCONFIG, static_cast<uint16_t>(PLANARCONFIG_CONTIG));
    TIFFSetField(t, TIFFTAG_COMPRESSION, static_cast<uint16_t>(COMPRESSION_LZW));
    TIFFSetField(t, TIFFTAG_PREDICTOR,
                 static_cast<uint16_t>(isFloat ? PREDICTOR_NONE : PREDICTOR_HORIZONTAL));
    TIFFSetField(t, TIFFTAG_ORIENTATION, static_cast<uint16_t>(ORIENTATION_TOPLEFT));
    TIFFSetField(t, TIFFTAG_ROWSPERSTRIP, TIFFDefaultStripSize(t, 0));

    std::vector<uint8_t> row(image.RowBytes());
    const size_t samples = static_cast<size_t>(image.width) * static_cast<size_t>(image.planes);
    for (int32_t y = 0; y < image.height; ++y) {
        const uint8_t* in = image.Row(y);
        if (image.depth == 8) {
            std::memcpy(row.data(), in, row.size());
            if (lab)
                for (size_t i = 0; i < samples; i += 3) {
                    row[i + 1] ^= 0x80;
                    row[i + 2] ^= 0x80;
                }
        } else if (image.depth == 16) {
            for (size_t i = 0; i < samples; ++i) {
                uint16_t v = HostToFile16(LoadNative16(in + 2 * i));
                if (lab && i % 3 != 0)
                    v ^= 0x8000;
                StoreNative16(row.data() + 2 * i, v);
            }
        } else {
            std::memcpy(row.data(), in, row.size());
        }
        if (TIFFWriteScanline(t, row.data(), static_cast<uint32_t>(y), 0) < 0)
            return errorText.empty() ? std::string("write error") : errorText;
    }
    if (!TIFFFlush(t))
        return errorText.empty() ? std::string("write error") : errorText;
    if (fsync(TIFFFileno(t)) != 0)
        return std::string(std::strerror(errno));
    return std::nullopt;
}

// ---------------------------------------------------------------- PNM

// Reads one header number, skipping white space and '#' comments.
bool ReadPnmNumber(std::istream& in, uint64_t& value)
{
    int c = in.get();
    while (c != EOF && (std::isspace(c) || c == '#')) {
        if (c == '#')
            while (c != EOF && c != '\n' && c != '\r')
                c = in.get();
        c = in.get();
    }
    if (c == EOF || !std::isdigit(c))
        return false;
    value = 0;
    while (c != EOF && std::isdigit(c)) {
        value = value * 10 + static_cast<uint64_t>(c - '0');
        if (value > 0xFFFFFFFFull)
            return false;
        c = in.get();
    }
    // Exactly one white-space character ends the number; it is consumed.
    return c != EOF && std::isspace(c);
}

Image ReadPnm(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        FailRead(path, std::strerror(errno));
    char magic[2] = {};
    in.read(magic, 2);
    const char kind = magic[1];
    if (kind == '1' || kind == '4')
        FailRead(path, "it is a PBM bitmap (1-bit); only binary PGM and PPM are read");
    if (kind == '2' || kind == '3')
        FailRead(path, std::string("it is a plain (ASCII) ") + (kind == '2' ? "PGM" : "PPM") +
                           "; only binary PGM (P5) and PPM (P6) are read");
    if (kind == '7')
        FailRead(path, "it is a PAM file; only binary PGM (P5) and PPM (P6) are read");
    const std::string name = kind == '5' ? "PGM" : "PPM";
    uint64_t width = 0, height = 0, maxValue = 0;
    if (!ReadPnmNumber(in, width) || !ReadPnmNumber(in, height) || !ReadPnmNumber(in, maxValue))
        FailRead(path, "damaged " + name + " header");
    if (maxValue != 255 && maxValue != 65535)
        FailRead(path, "it is a " + name + " with maximum value " + std::to_string(maxValue) +
                           "; only 255 (8-bit) and 65535 (16-bit) are read");
    CheckDimensions(path, width, height);
    const bool grey = kind == '5';
    const int depth = maxValue == 255 ? 8 : 16;
    const int mode = grey ? (depth == 8 ? plugInModeGrayScale : plugInModeGray16)
                          : (depth == 8 ? plugInModeRGBColor : plugInModeRGB48);

    // Check the data is all there before allocating for it.
    const uint64_t need = width * height * (grey ? 1 : 3) * (depth / 8);
    const auto start = in.tellg();
    in.seekg(0, std::ios::end);
    const auto end = in.tellg();
    in.seekg(start);
    const uint64_t have = end > start ? static_cast<uint64_t>(end - start) : 0;
    if (have < need)
        FailRead(path, "truncated " + name + " (" + std::to_string(have) + " of " +
                           std::to_string(need) + " data bytes)");

    Image image = Image::Make(static_cast<int32_t>(width), static_cast<int32_t>(height),
                              static_cast<int16_t>(mode), static_cast<int16_t>(depth));
    in.read(reinterpret_cast<char*>(image.pixels.data()), static_cast<std::streamsize>(need));
    if (!in)
        FailRead(path, "read error");
    if (depth == 16)
        for (size_t i = 0; i < image.pixels.size(); i += 2)
            StoreNative16(image.pixels.data() + i, FileToHost16(LoadBE16(image.pixels.data() + i)));
    return image;
}

std::optional<std::string> WritePnm(FILE* file, const Image& image)
{
    const int maxValue = image.depth == 8 ? 255 : 65535;
    if (std::fprintf(file, "P%c\n%d %d\n%d\n", image.planes == 1 ? '5' : '6', image.width,
                     image.height, maxValue) < 0)
        return std::string(std::strerror(errno));
    std::vector<uint8_t> row(image.RowBytes());
    for (int32_t y = 0; y < image.height; ++y) {
        const uint8_t* in = image.Row(y);
        if (image.depth == 8) {
            std::memcpy(row.data(), in, row.size());
        } else {
            for (size_t i = 0; i < row.size(); i += 2)
                StoreBE16(row.data() + i, HostToFile16(LoadNative16(in + i)));
        }
        if (std::fwrite(row.data(), 1, row.size(), file) != row.size())
            return std::string(std::strerror(errno));
    }
    return std::nullopt;
}

// ---------------------------------------------------------------- writing

// A temporary file beside the target, removed unless committed.
class TemporaryBeside {
public:
    explicit TemporaryBeside(const fs::path& target) : target_(target)
    {
        const fs::path folder = target.parent_path().empty() ? fs::path(".") : target.parent_path();
        std::string hidden(1, '.');
        hidden.append(target.filename().string()).append(".XXXXXX");
        std::string pattern = (folder / hidden).string();
        fd_ = mkstemp(pattern.data());
        if (fd_ < 0)
            FailWrite(target, std::strerror(errno));
        temp_ = pattern;
        // mkstemp makes the file private; give it the permissions a new file
        // (or the file it replaces) would have.
        struct stat existing {};
        mode_t mode;
        if (stat(target.c_str(), &existing) == 0) {
            mode = existing.st_mode & 07777;
        } else {
            const mode_t mask = umask(0);
            umask(mask);
            mode = 0666 & ~mask;
        }
        fchmod(fd_, mode);
    }
    ~TemporaryBeside()
    {
        if (fd_ >= 0)
            close(fd_);
        if (!committed_)
            unlink(temp_.c_str());
    }
    TemporaryBeside(const TemporaryBeside&) = delete;
    TemporaryBeside& operator=(const TemporaryBeside&) = delete;

    // Hands the descriptor over to a writer that closes it.
    int Release() { return std::exchange(fd_, -1); }
    const fs::path& Path() const { return temp_; }
    void Commit()
    {
        if (std::rename(temp_.c_str(), target_.c_str()) != 0)
            FailWrite(target_, std::strerror(errno));
        committed_ = true;
    }

private:
    fs::path target_, temp_;
    int fd_ = -1;
    bool committed_ = false;
};

// Runs a FILE*-based writer on the temporary file and closes it, checking
// every step that can fail.
template <typename Writer>
std::optional<std::string> WriteThroughFile(TemporaryBeside& temp, Writer&& writer)
{
    FILE* file = fdopen(temp.Release(), "wb");
    if (!file)
        return std::string(std::strerror(errno));
    std::optional<std::string> error = writer(file);
    if (!error && std::fflush(file) != 0)
        error = std::strerror(errno);
    if (!error && fsync(fileno(file)) != 0)
        error = std::strerror(errno);
    if (std::fclose(file) != 0 && !error)
        error = std::strerror(errno);
    return error;
}

bool SupportedMode(int mode, int depth)
{
    switch (mode) {
    case plugInModeGrayScale:
        return depth == 8 || depth == 32;
    case plugInModeRGBColor:
    case plugInModeLabColor:
        return depth == 8;
    case plugInModeGray16:
    case plugInModeRGB48:
    case plugInModeLab48:
        return depth == 16;
    case plugInModeRGB96:
    case plugInModeGray32:
        return depth == 32;
    default:
        return false;
    }
}

}  // namespace

std::optional<ImageFileFormat> FormatForPath(const fs::path& path)
{
    const std::string ext = Lower(path.extension().string());
    if (ext == ".png")
        return ImageFileFormat::kPng;
    if (ext == ".tif" || ext == ".tiff")
        return ImageFileFormat::kTiff;
    if (ext == ".pgm" || ext == ".ppm" || ext == ".pnm")
        return ImageFileFormat::kPnm;
    return std::nullopt;
}

Image ReadImageFile(const fs::path& path)
{
    std::error_code ec;
    if (fs::is_directory(path, ec))
        FailRead(path, "it is a folder");
    FILE* file = std::fopen(path.c_str(), "rb");
    if (!file)
        FailRead(path, std::strerror(errno));
    std::unique_ptr<FILE, int (*)(FILE*)> closer(file, std::fclose);
    std::array<uint8_t, 8> head{};
    const size_t got = std::fread(head.data(), 1, head.size(), file);
    std::rewind(file);
    try {
        if (got >= 8 && png_sig_cmp(head.data(), 0, 8) == 0)
            return ReadPng(path, file);
        if (got >= 4 && ((head[0] == 'I' && head[1] == 'I' && (head[2] == 42 || head[2] == 43) &&
                          head[3] == 0) ||
                         (head[0] == 'M' && head[1] == 'M' && head[2] == 0 &&
                          (head[3] == 42 || head[3] == 43)))) {
            closer.reset();
            return ReadTiff(path);
        }
        if (got >= 2 && head[0] == 'P' && head[1] >= '1' && head[1] <= '7') {
            closer.reset();
            return ReadPnm(path);
        }
    } catch (const std::bad_alloc&) {
        FailRead(path, "the image is too large for the memory available");
    }
    if (got == 0)
        FailRead(path, "the file is empty");
    FailRead(path, "not a PNG, TIFF, PGM or PPM image");
}

std::optional<std::string> CheckWritable(const fs::path& path, const Image& image)
{
    const auto format = FormatForPath(path);
    const std::string name = Quoted(path);
    if (!format)
        return "cannot write " + name + ": unknown file type '" + path.extension().string() +
               "' (use .png, .tif, .tiff, .pgm, .ppm or .pnm)";
    if (!SupportedMode(image.mode, image.depth))
        return "cannot write " + name + ": no file format here holds a " +
               ModeName(image.mode, image.depth) + " image";
    if (image.width <= 0 || image.height <= 0)
        return "cannot write " + name + ": the image is empty";
    const bool isFloat = image.depth == 32;
    const bool lab = IsLab(image.mode);
    const std::string ext = Lower(path.extension().string());
    if (*format == ImageFileFormat::kPng || *format == ImageFileFormat::kPnm) {
        const std::string what = *format == ImageFileFormat::kPng ? "PNG" : "PGM/PPM";
        if (isFloat)
            return "cannot write " + name + ": " + what +
                   " cannot hold 32-bit float samples (use .tif)";
        if (lab)
            return "cannot write " + name + ": " + what + " cannot hold a Lab image (use .tif)";
    }
    if (ext == ".pgm" && !IsGrey(image.mode))
        return "cannot write " + name + ": a .pgm file holds grey images only (use .ppm or .pnm)";
    if (ext == ".ppm" && IsGrey(image.mode))
        return "cannot write " + name + ": a .ppm file holds colour images only (use .pgm or .pnm)";
    std::error_code ec;
    const fs::path folder = path.parent_path().empty() ? fs::path(".") : path.parent_path();
    if (!fs::is_directory(folder, ec))
        return "cannot write " + name + ": the folder '" + folder.string() + "' does not exist";
    if (fs::is_directory(path, ec))
        return "cannot write " + name + ": it is a folder";
    return std::nullopt;
}

void WriteImageFile(const fs::path& path, const Image& image)
{
    if (auto refusal = CheckWritable(path, image))
        throw ImageFileError(*refusal);
    if (image.pixels.size() != image.RowBytes() * static_cast<size_t>(image.height))
        FailWrite(path, "the image holds " + std::to_string(image.pixels.size()) +
                            " bytes, not the " + std::to_string(image.RowBytes() * image.height) +
                            " its size needs");
    TemporaryBeside temp(path);
    std::optional<std::string> error;
    switch (*FormatForPath(path)) {
    case ImageFileFormat::kPng:
        error = WriteThroughFile(temp, [&](FILE* f) { return WritePng(f, image); });
        break;
    case ImageFileFormat::kPnm:
        error = WriteThroughFile(temp, [&](FILE* f) { return WritePnm(f, image); });
        break;
    case ImageFileFormat::kTiff:
        error = WriteTiff(temp.Release(), temp.Path().string(), image);
        break;
    }
    if (error)
        FailWrite(path, *error);
    temp.Commit();
}

}  // namespace host
