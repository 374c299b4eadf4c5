// PBM, PGM and PPM, plain (ASCII, P1–P3) and binary (P4–P6), parsed and
// written here: a short text header followed by the samples.
//
// Maximum values other than 255 and 65535 are scaled to the nearest host
// level: up to 255 into 8 bits, above into the host's 16-bit range.
#include <string>

#include "formats.h"

namespace host::files {

bool IsPnm(std::span<const uint8_t> bytes)
{
    return bytes.size() >= 2 && bytes[0] == 'P' && bytes[1] >= '1' && bytes[1] <= '7';
}

namespace {

bool IsSpace(int c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

class PnmParser {
public:
    explicit PnmParser(std::span<const uint8_t> bytes) : bytes_(bytes) {}

    // Skips white space and '#' comments.
    void SkipSpace()
    {
        while (at_ < bytes_.size()) {
            if (bytes_[at_] == '#') {
                while (at_ < bytes_.size() && bytes_[at_] != '\n' && bytes_[at_] != '\r')
                    ++at_;
            } else if (IsSpace(bytes_[at_])) {
                ++at_;
            } else {
                return;
            }
        }
    }

    // A decimal number; nothing when there is none or it exceeds 2^32 − 1.
    std::optional<uint64_t> Number()
    {
        SkipSpace();
        if (at_ >= bytes_.size() || bytes_[at_] < '0' || bytes_[at_] > '9')
            return std::nullopt;
        uint64_t value = 0;
        while (at_ < bytes_.size() && bytes_[at_] >= '0' && bytes_[at_] <= '9') {
            value = value * 10 + static_cast<uint64_t>(bytes_[at_] - '0');
            if (value > 0xFFFFFFFFull)
                return std::nullopt;
            ++at_;
        }
        return value;
    }

    // One plain-PBM pixel: a '0' or '1', with or without space around it.
    std::optional<int> Bit()
    {
        SkipSpace();
        if (at_ >= bytes_.size() || (bytes_[at_] != '0' && bytes_[at_] != '1'))
            return std::nullopt;
        return bytes_[at_++] - '0';
    }

    // The single white-space character that ends a binary header.
    bool EndOfHeader()
    {
        if (at_ >= bytes_.size() || !IsSpace(bytes_[at_]))
            return false;
        ++at_;
        return true;
    }

    uint64_t Remaining() const { return bytes_.size() - at_; }
    const uint8_t* Here() const { return bytes_.data() + at_; }

private:
    std::span<const uint8_t> bytes_;
    size_t at_ = 2;  // after the magic number
};

struct PnmHeader {
    char kind = '5';
    uint64_t width = 0, height = 0, maxValue = 1;
    bool Plain() const { return kind >= '1' && kind <= '3'; }
    bool Bitmap() const { return kind == '1' || kind == '4'; }
    int Planes() const { return kind == '3' || kind == '6' ? 3 : 1; }
    std::string Name() const { return Bitmap() ? "PBM" : Planes() == 1 ? "PGM" : "PPM"; }
};

PnmHeader ReadPnmHeader(PnmParser& in, char kind, const ReadContext& context)
{
    PnmHeader header;
    header.kind = kind;
    if (kind == '7')
        context.Fail("it is a PAM file; PBM, PGM and PPM are read");
    const auto width = in.Number();
    const auto height = in.Number();
    const auto maxValue = header.Bitmap() ? std::optional<uint64_t>(1) : in.Number();
    if (!width || !height || !maxValue || (!header.Plain() && !in.EndOfHeader()))
        context.Fail("damaged " + header.Name() + " header");
    header.width = *width;
    header.height = *height;
    header.maxValue = *maxValue;
    if (header.maxValue == 0 || header.maxValue > 65535)
        context.Fail("damaged " + header.Name() + " header (maximum value " +
                     std::to_string(header.maxValue) + ")");
    return header;
}

// Refuses a size whose data the file cannot hold before allocating for it.
// Plain files need at least one character a sample (two but for PBM).
void CheckPnmData(const PnmHeader& h, uint64_t remaining, const ReadContext& context)
{
    context.CheckSize(h.width, h.height);
    const uint64_t sampleBytes = h.maxValue > 255 ? 2 : 1;
    std::optional<uint64_t> need;
    if (h.kind == '4') {
        need = Multiply((h.width + 7) / 8, h.height);
    } else {
        const auto samples = Multiply(h.width * h.height, static_cast<uint64_t>(h.Planes()));
        const uint64_t perSample = h.Plain() ? (h.kind == '1' ? 1 : 2) : sampleBytes;
        if (samples)
            need = Multiply(*samples, perSample);
        if (need && h.Plain() && h.kind != '1')
            --*need;  // no space after the last sample
    }
    if (!need)
        context.Fail("the image is too large (" + std::to_string(h.width) + " x " +
                     std::to_string(h.height) + ")");
    if (remaining < *need)
        context.Fail("truncated " + h.Name() + " (" + std::to_string(remaining) + " of " +
                     std::to_string(*need) + " data bytes)");
}

// File level → host sample.
class Scale {
public:
    explicit Scale(uint64_t maxValue) : max_(static_cast<uint32_t>(maxValue)) {}
    int Depth() const { return max_ > 255 ? 16 : 8; }
    void Store(uint32_t v, uint8_t* out) const
    {
        if (max_ == 255) {
            *out = static_cast<uint8_t>(v);
        } else if (max_ == 65535) {
            StoreNative16(out, FileToHost16(static_cast<uint16_t>(v)));
        } else if (max_ < 255) {
            *out = static_cast<uint8_t>((2 * v * 255 + max_) / (2 * max_));
        } else {
            StoreNative16(out,
                          static_cast<uint16_t>((2 * uint64_t{v} * 32768 + max_) / (2 * max_)));
        }
    }

private:
    uint32_t max_;
};

void ReadPlainSamples(PnmParser& in, const PnmHeader& h, Image& image, const ReadContext& context)
{
    const Scale scale(h.maxValue);
    const size_t bytes = image.SampleBytes();
    const size_t count = image.pixels.size() / bytes;
    for (size_t i = 0; i < count; ++i) {
        uint64_t v = 0;
        if (h.kind == '1') {
            const auto bit = in.Bit();
            if (!bit)
                context.Fail("truncated or damaged PBM (pixel " + std::to_string(i) + ")");
            image.pixels[i] = *bit ? 0 : 255;  // 1 is black
            continue;
        }
        const auto number = in.Number();
        if (!number)
            context.Fail("truncated or damaged " + h.Name() + " (sample " + std::to_string(i) +
                         ")");
        v = *number;
        if (v > h.maxValue)
            context.Fail("damaged " + h.Name() + " (sample " + std::to_string(v) +
                         " above the maximum value " + std::to_string(h.maxValue) + ")");
        scale.Store(static_cast<uint32_t>(v), image.pixels.data() + i * bytes);
    }
}

void ReadBinarySamples(PnmParser& in, const PnmHeader& h, Image& image, const ReadContext& context)
{
    const uint8_t* data = in.Here();
    if (h.kind == '4') {
        const size_t rowBytes = (static_cast<size_t>(h.width) + 7) / 8;
        for (int32_t y = 0; y < image.height; ++y)
            ExpandLowBits(data + rowBytes * static_cast<size_t>(y), 1, image.width, true,
                          image.Row(y));
        return;
    }
    const Scale scale(h.maxValue);
    const size_t inBytes = h.maxValue > 255 ? 2 : 1;
    const size_t count = image.pixels.size() / image.SampleBytes();
    if (h.maxValue == 255) {
        std::memcpy(image.pixels.data(), data, count);
        return;
    }
    for (size_t i = 0; i < count; ++i) {
        const uint32_t v = inBytes == 2 ? LoadBE16(data + 2 * i) : data[i];
        if (v > h.maxValue)
            context.Fail("damaged " + h.Name() + " (sample " + std::to_string(v) +
                         " above the maximum value " + std::to_string(h.maxValue) + ")");
        scale.Store(v, image.pixels.data() + i * image.SampleBytes());
    }
}

}  // namespace

ImageFile ReadPnm(std::span<const uint8_t> bytes, const ReadContext& context)
{
    PnmParser in(bytes);
    const PnmHeader header = ReadPnmHeader(in, static_cast<char>(bytes[1]), context);
    if (header.Plain())
        in.SkipSpace();
    CheckPnmData(header, in.Remaining(), context);

    ImageFile file;
    const int depth = header.Bitmap() ? 8 : Scale(header.maxValue).Depth();
    file.image = MakeHostImage(static_cast<int32_t>(header.width),
                               static_cast<int32_t>(header.height), header.Planes(), depth);
    if (header.Plain())
        ReadPlainSamples(in, header, file.image, context);
    else
        ReadBinarySamples(in, header, file.image, context);
    return file;
}

namespace {

std::vector<uint8_t> HeaderBytes(char kind, const Image& image, int maxValue)
{
    std::string text = "P";
    text += kind;
    text += '\n';
    text += std::to_string(image.width) + " " + std::to_string(image.height) + "\n";
    if (maxValue > 0)
        text += std::to_string(maxValue) + "\n";
    return {text.begin(), text.end()};
}

}  // namespace

std::vector<uint8_t> EncodePnm(const ImageFile& file)
{
    const Image& image = file.image;
    std::vector<uint8_t> out =
        HeaderBytes(image.planes == 1 ? '5' : '6', image, image.depth == 8 ? 255 : 65535);
    const size_t start = out.size();
    out.resize(start + image.RowBytes() * static_cast<size_t>(image.height));
    SampleLayout layout;
    layout.planes = image.planes;
    layout.depth = image.depth;
    layout.endian = Endian::kBig;
    for (int32_t y = 0; y < image.height; ++y)
        HostRowToFile(layout, image, nullptr, y,
                      out.data() + start + image.RowBytes() * static_cast<size_t>(y));
    return out;
}

std::vector<uint8_t> EncodePbm(const ImageFile& file)
{
    const Image& image = file.image;
    std::vector<uint8_t> out = HeaderBytes('4', image, 0);
    const size_t rowBytes = (static_cast<size_t>(image.width) + 7) / 8;
    const size_t start = out.size();
    out.resize(start + rowBytes * static_cast<size_t>(image.height));
    for (int32_t y = 0; y < image.height; ++y)
        PackTwoLevelRow(image, y, true, out.data() + start + rowBytes * static_cast<size_t>(y));
    return out;
}

}  // namespace host::files
