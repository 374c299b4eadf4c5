// The image-file readers through host::ReadImageFile. FILTERKIT_FUZZ_FORMAT
// (png, tiff, pnm) puts that format's signature in front of the fuzzer's
// bytes so that the target stays inside one reader; unset (or "any") the
// bytes go in as they are and every reader the host recognises is reached.
#include <cstddef>
#include <cstdint>
#include <exception>
#include <string>

#include "fuzz_support.h"
#include "image_file.h"

namespace {

std::string Signature()
{
    const std::string format = fuzz::Setting("FILTERKIT_FUZZ_FORMAT", "any");
    if (format == "png")
        return "\x89PNG\r\n\x1a\n";
    if (format == "tiff")
        return std::string("II*\0", 4);
    if (format == "pnm")
        return "P";
    return "";
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static const std::filesystem::path file = fuzz::ScratchFolder() / "image";
    static const std::string signature = Signature();
    std::string bytes = signature;
    bytes.append(reinterpret_cast<const char*>(data), size);
    fuzz::WriteBytes(file, bytes.data(), bytes.size());
    try {
        host::Image image = host::ReadImageFile(file);
        // What was read must be a whole image of its stated size.
        if (image.pixels.size() != image.RowBytes() * static_cast<size_t>(image.height))
            __builtin_trap();
    } catch (const host::ImageFileError&) {
    }
    return 0;
}
