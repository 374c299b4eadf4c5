// JPEG through libjpeg-turbo: 8-bit grey and colour read (colour decoded to
// RGB with the library's default, accurate settings) and written.
//
// The library pads a truncated file with grey and only warns; here any
// warning about damaged data refuses the file, so a cut-off photo is never
// taken for a whole one. A JPEG needs at least one bit for every 8 × 8
// block of every component, which bounds the size a file can claim.
//
// libjpeg reports errors by longjmp: every object with a destructor that
// the JPEG functions can see is created before setjmp.
#include <cstdio>
#include <jpeglib.h>

#include <csetjmp>
#include <memory>
#include <stdexcept>

#include "formats.h"

namespace host::files {

bool IsJpeg(std::span<const uint8_t> bytes)
{
    return bytes.size() >= 3 && bytes[0] == 0xFF && bytes[1] == 0xD8 && bytes[2] == 0xFF;
}

namespace {

struct JpegError {
    jpeg_error_mgr manager{};
    std::jmp_buf jump{};
    char text[JMSG_LENGTH_MAX] = {};
};

[[noreturn]] void JpegOnError(j_common_ptr info)
{
    auto* error = reinterpret_cast<JpegError*>(info->err);
    info->err->format_message(info, error->text);
    std::longjmp(error->jump, 1);
}

// Warnings (level −1) mean damaged data: treated as errors.
void JpegOnMessage(j_common_ptr info, int level)
{
    if (level < 0)
        JpegOnError(info);
}

struct Decompressor {
    jpeg_decompress_struct info{};
    bool created = false;
    ~Decompressor()
    {
        if (created)
            jpeg_destroy_decompress(&info);
    }
};

struct Compressor {
    jpeg_compress_struct info{};
    bool created = false;
    ~Compressor()
    {
        if (created)
            jpeg_destroy_compress(&info);
    }
};

void CheckJpegData(const jpeg_decompress_struct& info, uint64_t fileSize,
                   const ReadContext& context)
{
    context.CheckSize(info.image_width, info.image_height);
    const uint64_t blocks =
        ((uint64_t{info.image_width} + 7) / 8) * ((uint64_t{info.image_height} + 7) / 8);
    if (blocks / 8 > fileSize)
        context.Fail("damaged or truncated JPEG (" + std::to_string(fileSize) +
                     " bytes cannot hold " + std::to_string(info.image_width) + " x " +
                     std::to_string(info.image_height) + " pixels)");
}

void ReadJpegMetadata(jpeg_decompress_struct& info, ImageMetadata& metadata)
{
    JOCTET* icc = nullptr;
    unsigned int iccLength = 0;
    if (jpeg_read_icc_profile(&info, &icc, &iccLength) && icc) {
        metadata.icc.assign(icc, icc + iccLength);
        std::free(icc);
    }
    if (info.saw_JFIF_marker && info.X_density > 0 && info.Y_density > 0) {
        const Resolution::Unit unit = info.density_unit == 1   ? Resolution::Unit::kInch
                                      : info.density_unit == 2 ? Resolution::Unit::kCentimetre
                                                               : Resolution::Unit::kNone;
        // A JFIF 1:1 aspect with no unit says nothing worth keeping.
        if (unit != Resolution::Unit::kNone || info.X_density != 1 || info.Y_density != 1)
            metadata.resolution = Resolution{double(info.X_density), double(info.Y_density), unit};
    }
    for (jpeg_saved_marker_ptr m = info.marker_list; m; m = m->next)
        if (m->marker == JPEG_COM && metadata.description.empty())
            metadata.description.assign(reinterpret_cast<const char*>(m->data), m->data_length);
}

}  // namespace

ImageFile ReadJpeg(std::span<const uint8_t> bytes, const ReadContext& context)
{
    JpegError error;
    Decompressor d;
    ImageFile file;
    std::vector<JSAMPROW> rows;

    d.info.err = jpeg_std_error(&error.manager);
    error.manager.error_exit = JpegOnError;
    error.manager.emit_message = JpegOnMessage;
    if (setjmp(error.jump))
        context.Fail(std::string("damaged or truncated JPEG (") + error.text + ")");
    jpeg_create_decompress(&d.info);
    d.created = true;
    jpeg_mem_src(&d.info, bytes.data(), static_cast<unsigned long>(bytes.size()));
    jpeg_save_markers(&d.info, JPEG_COM, 0xFFFF);
    jpeg_save_markers(&d.info, JPEG_APP0 + 2, 0xFFFF);
    jpeg_read_header(&d.info, TRUE);
    const J_COLOR_SPACE space = d.info.jpeg_color_space;
    if (space == JCS_CMYK || space == JCS_YCCK)
        context.Fail("it is a CMYK JPEG; only grey and colour (RGB) JPEGs are read; convert it "
                     "to RGB first");
    if (d.info.num_components != 1 && d.info.num_components != 3)
        context.Fail("it is a JPEG with " + std::to_string(d.info.num_components) +
                     " components; only grey and colour are read");
    CheckJpegData(d.info, bytes.size(), context);
    const int planes = d.info.num_components == 1 ? 1 : 3;
    d.info.out_color_space = planes == 1 ? JCS_GRAYSCALE : JCS_RGB;
    jpeg_start_decompress(&d.info);
    file.image = MakeHostImage(static_cast<int32_t>(d.info.output_width),
                               static_cast<int32_t>(d.info.output_height), planes, 8);
    rows.resize(d.info.output_height);
    for (int32_t y = 0; y < file.image.height; ++y)
        rows[static_cast<size_t>(y)] = file.image.Row(y);
    while (d.info.output_scanline < d.info.output_height)
        jpeg_read_scanlines(&d.info, rows.data() + d.info.output_scanline,
                            d.info.output_height - d.info.output_scanline);
    ReadJpegMetadata(d.info, file.metadata);
    jpeg_finish_decompress(&d.info);
    return file;
}

std::optional<std::string> CheckJpegOptions(const WriteOptions& options, const Image& image)
{
    if (options.quality < 1 || options.quality > 100)
        return "JPEG quality " + std::to_string(options.quality) + " is outside 1 to 100";
    if (image.depth != 8)
        return "JPEG holds 8-bit images only (use .png or .tif)";
    if (image.mode == plugInModeLabColor)
        return "JPEG cannot hold a Lab image (use .tif)";
    if (image.width > JPEG_MAX_DIMENSION || image.height > JPEG_MAX_DIMENSION)
        return "JPEG holds at most " + std::to_string(JPEG_MAX_DIMENSION) +
               " pixels a side (use .png or .tif)";
    return std::nullopt;
}

namespace {

void WriteJpegMetadata(jpeg_compress_struct& info, const ImageMetadata& metadata)
{
    if (!metadata.icc.empty())
        jpeg_write_icc_profile(&info, metadata.icc.data(),
                               static_cast<unsigned int>(metadata.icc.size()));
    if (!metadata.description.empty()) {
        const size_t length = std::min<size_t>(metadata.description.size(), 65533);
        jpeg_write_marker(&info, JPEG_COM,
                          reinterpret_cast<const JOCTET*>(metadata.description.data()),
                          static_cast<unsigned int>(length));
    }
}

void SetDensity(jpeg_compress_struct& info, const ImageMetadata& metadata)
{
    if (!metadata.resolution)
        return;
    const Resolution& r = *metadata.resolution;
    info.density_unit = r.unit == Resolution::Unit::kInch         ? 1
                        : r.unit == Resolution::Unit::kCentimetre ? 2
                                                                  : 0;
    auto clamp = [](double v) {
        return static_cast<UINT16>(std::min(std::max(v + 0.5, 1.0), 65535.0));
    };
    info.X_density = clamp(r.x);
    info.Y_density = clamp(r.y);
}

}  // namespace

std::vector<uint8_t> EncodeJpeg(const ImageFile& file, const WriteOptions& options)
{
    JpegError error;
    Compressor c;
    unsigned char* buffer = nullptr;
    unsigned long size = 0;
    std::unique_ptr<unsigned char, decltype(&std::free)> owned(nullptr, std::free);

    c.info.err = jpeg_std_error(&error.manager);
    error.manager.error_exit = JpegOnError;
    if (setjmp(error.jump)) {
        owned.reset(buffer);
        throw std::runtime_error(error.text);
    }
    jpeg_create_compress(&c.info);
    c.created = true;
    jpeg_mem_dest(&c.info, &buffer, &size);
    const Image& image = file.image;
    c.info.image_width = static_cast<JDIMENSION>(image.width);
    c.info.image_height = static_cast<JDIMENSION>(image.height);
    c.info.input_components = image.planes;
    c.info.in_color_space = image.planes == 1 ? JCS_GRAYSCALE : JCS_RGB;
    jpeg_set_defaults(&c.info);
    jpeg_set_quality(&c.info, options.quality, TRUE);
    SetDensity(c.info, file.metadata);
    jpeg_start_compress(&c.info, TRUE);
    WriteJpegMetadata(c.info, file.metadata);
    while (c.info.next_scanline < c.info.image_height) {
        JSAMPROW row = const_cast<JSAMPROW>(image.Row(static_cast<int32_t>(c.info.next_scanline)));
        jpeg_write_scanlines(&c.info, &row, 1);
    }
    jpeg_finish_compress(&c.info);
    owned.reset(buffer);
    return std::vector<uint8_t>(buffer, buffer + size);
}

}  // namespace host::files
