// The named-image and reference-image reader: the fuzzer's bytes are the
// stored reference file. Every line the reader accepts is read into a buffer
// of exactly one line of 12-byte pixels, as the filters do, and the same
// file is opened as a plain named image and read by line and by column.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "filter_framework.h"
#include "fuzz_support.h"

extern "C" const char gAboutText[] = "reference reader fuzz target";
extern "C" int32_t MainUserEntry(void)
{
    return 0;
}

namespace {

// Line and column buffers above this are not worth the time of one input.
constexpr uint64_t kLargestBuffer = 1 << 20;

void ReadAsReference()
{
    gRefImage = nullptr;
    int32_t width = 0, height = 0;
    if (GetRefDimensions(&width, &height) == noErr) {
        std::vector<RGB96> line(static_cast<size_t>(width) + 0);
        for (int32_t y = 0; y < height && uint64_t(width) * 12 <= kLargestBuffer; y++)
            ReadRefImageLine(y, line.data());
    }
    _CloseRefImage();
    gRefImage = nullptr;
}

void ReadAsNamedImage()
{
    NamedImage* image = nullptr;
    if (_OpenNamedImage(kReferenceImageName, &image) != noErr)
        return;
    const uint64_t lineBytes = uint64_t{image->width} * image->bytesPerPixel;
    const uint64_t columnBytes = uint64_t{image->height} * image->bytesPerPixel;
    if (lineBytes <= kLargestBuffer && image->height <= 64) {
        std::vector<uint8_t> line(lineBytes + 1);
        for (int32_t y = 0; y < image->height; y++)
            _GetLine(image, y, line.data());
    }
    // Columns of a file image cost a seek and a read a pixel: small ones only.
    if (columnBytes <= kLargestBuffer && image->width <= 16 && image->height <= 64) {
        std::vector<uint8_t> column(columnBytes + 1);
        for (int32_t x = 0; x < image->width; x++)
            _GetColumn(image, x, column.data());
    }
    _CloseNamedImage(image);
}

void IgnoreMessages(const char*, int32_t, void*) {}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static const std::filesystem::path prefs = [] {
        std::filesystem::path folder = fuzz::ScratchSubfolder("prefs");
        PlatformSetFolder(kPreferencesFolderType, folder.c_str());
        PlatformSetMessageHandler(IgnoreMessages, nullptr);
        return folder;
    }();
    fuzz::WriteBytes(prefs / kReferenceImageName, data, size);
    ReadAsReference();
    ReadAsNamedImage();
    if (PlatformOpenFileCount() != 0)
        __builtin_trap();  // a file left open
    return 0;
}
