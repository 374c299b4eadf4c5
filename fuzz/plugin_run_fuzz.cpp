// A whole run of one plug-in (named by FILTERKIT_FUZZ_PLUGIN) on an image made from the
// fuzzer's bytes: the first bytes choose the image's kind and size, the
// next ones the parameter file's text, the rest the samples (repeated as
// needed, so short inputs still give whole images, NaNs and all). The
// plug-ins that read the reference image find one stored from the same
// samples, of the same size, by store_reference just before.
#include <dlfcn.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>

#include "fuzz_support.h"
#include "host.h"
#include "platform.h"

namespace {

struct Kind {
    int16_t mode;
    int16_t depth;
};
constexpr Kind kKinds[] = {
    {plugInModeGrayScale, 8}, {plugInModeRGBColor, 8},   {plugInModeLabColor, 8},
    {plugInModeGray16, 16},   {plugInModeRGB48, 16},     {plugInModeLab48, 16},
    {plugInModeRGB96, 32},    {plugInModeGrayScale, 32},
};
constexpr size_t kHeaderBytes = 4;
constexpr size_t kParameterBytes = 24;

// cross_correlate wants a power-of-two square of at least 32 (the smallest
// keeps its runs quick); the others get any size up to 48 x 48, one-pixel
// lines and columns included.
int32_t Side(uint8_t byte, bool square)
{
    return square ? 32 : 1 + byte % 48;
}

host::Image MakeImage(const uint8_t* data, size_t size, bool square)
{
    const Kind kind = kKinds[data[0] % std::size(kKinds)];
    const int32_t width = Side(data[1], square);
    const int32_t height = square ? width : Side(data[2], false);
    host::Image image = host::Image::Make(width, height, kind.mode, kind.depth);
    const uint8_t* samples = data + kHeaderBytes + kParameterBytes;
    const size_t count = size - kHeaderBytes - kParameterBytes;
    for (size_t i = 0; count > 0 && i < image.pixels.size(); i++)
        image.pixels[i] = samples[i % count];
    // 16-bit samples beyond the host's 0..32768 are clamped as a host would.
    if (kind.depth == 16) {
        auto* words = reinterpret_cast<uint16_t*>(image.pixels.data());
        for (size_t i = 0; i < image.pixels.size() / 2; i++)
            words[i] = std::min<uint16_t>(words[i], 32768);
    }
    return image;
}

const std::string& PluginName()
{
    static const std::string name = fuzz::Setting("FILTERKIT_FUZZ_PLUGIN", "rgb_to_ihs");
    return name;
}

const host::Module& Plugin(const std::string& name)
{
    static std::optional<host::Module> modules[2];
    const int index = name == "store_reference" ? 1 : 0;
    if (!modules[index])
        modules[index].emplace(std::string(FUZZ_PLUGIN_DIR "/") + name + ".so");
    return *modules[index];
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    // Load the modules before fuzzing starts, so their coverage counts.
    Plugin(PluginName());
    Plugin("store_reference");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static const bool folders = [] {
        PlatformSetFolder(kPreferencesFolderType, fuzz::ScratchSubfolder("prefs").c_str());
        PlatformSetFolder(kDesktopFolderType, fuzz::ScratchSubfolder("desktop").c_str());
        return true;
    }();
    (void)folders;
    if (size < kHeaderBytes + kParameterBytes)
        return 0;
    const std::string& plugin = PluginName();
    const host::Image image = MakeImage(data, size, plugin == "cross_correlate");
    fuzz::WriteBytes(fuzz::ScratchSubfolder("desktop") / "ranksharp.txt", data + kHeaderBytes,
                     kParameterBytes);
    // A tight temporary-memory budget now and then sends working images to files.
    host::ScopedMemoryBudget budget(data[3] % 8 == 1 ? 4096 : -1);
    if (plugin == "marker_select" || plugin == "cross_correlate") {
        host::Image reference = image;
        std::reverse(reference.pixels.begin(), reference.pixels.end());
        host::RunFilter(Plugin("store_reference"), reference);
    }
    const host::RunReport report = host::RunFilter(Plugin(plugin), image);
    if (report.output.pixels.size() != image.pixels.size() || PlatformOpenFileCount() != 0 ||
        PlatformTempMemoryInUse() != 0)
        __builtin_trap();
    return 0;
}
