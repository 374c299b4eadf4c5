// Host library: loads a plug-in module, holds an image in the host's own
// layout and drives a filter run over it through the FilterRecord.
//
// Image layout: rows packed one after another, each pixel's planes
// interleaved; samples are bytes (depth 8), unsigned 16-bit 0..32768
// (depth 16) or 32-bit floats (depth 32). The host never links the
// framework: it speaks to a module only through `main` and the record.
#pragma once

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "platform.h"
#include "plugin_interface/FilterRecord.h"

namespace host {

// Raw storage for image pixels. Whole images are taken on huge pages, and
// a few released ones are kept for the next image of the same size: fresh
// memory costs a page fault per 4 KiB and the kernel's clearing of every
// page, which together take longer than a quick filter's whole run.
void* AllocatePixels(size_t bytes);
void FreePixels(void* block, size_t bytes) noexcept;

// Pixel samples are left undefined when a buffer is made or grown without
// values (PixelBuffer(n), resize(n)); assign(n, value) fills.
template <class T> struct PixelAllocator {
    using value_type = T;
    PixelAllocator() = default;
    template <class U> PixelAllocator(const PixelAllocator<U>&) noexcept {}
    T* allocate(size_t n) { return static_cast<T*>(AllocatePixels(n * sizeof(T))); }
    void deallocate(T* p, size_t n) noexcept { FreePixels(p, n * sizeof(T)); }
    template <class U, class... Args> void construct(U* p, Args&&... args)
    {
        ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
    }
    template <class U> void construct(U* p) noexcept { ::new (static_cast<void*>(p)) U; }
    template <class U> bool operator==(const PixelAllocator<U>&) const noexcept { return true; }
};

using PixelBuffer = std::vector<uint8_t, PixelAllocator<uint8_t>>;

inline bool operator==(const PixelBuffer& a, const std::vector<uint8_t>& b)
{
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin());
}

// Planes an image of the given host mode holds (1 for grey, 3 for RGB/Lab).
int PlanesForMode(int mode);
// Human-readable mode name ("RGB 8-bit", ...).
std::string ModeName(int mode, int depth);

struct Image {
    int32_t width = 0;
    int32_t height = 0;
    int16_t mode = plugInModeRGBColor;
    int16_t depth = 8;
    int16_t planes = 3;
    PixelBuffer pixels;

    // An all-zero image; planes follow from the mode.
    static Image Make(int32_t width, int32_t height, int16_t mode, int16_t depth);

    size_t SampleBytes() const { return depth == 8 ? 1 : depth == 16 ? 2 : 4; }
    size_t PixelBytes() const { return SampleBytes() * static_cast<size_t>(planes); }
    size_t RowBytes() const { return PixelBytes() * static_cast<size_t>(width); }
    uint8_t* Row(int32_t y) { return pixels.data() + RowBytes() * static_cast<size_t>(y); }
    const uint8_t* Row(int32_t y) const
    {
        return pixels.data() + RowBytes() * static_cast<size_t>(y);
    }

    // Sample access by pixel and plane, in the image's own sample type.
    uint8_t& U8(int32_t x, int32_t y, int plane = 0);
    uint16_t& U16(int32_t x, int32_t y, int plane = 0);
    float& F32(int32_t x, int32_t y, int plane = 0);
    uint8_t U8(int32_t x, int32_t y, int plane = 0) const;
    uint16_t U16(int32_t x, int32_t y, int plane = 0) const;
    float F32(int32_t x, int32_t y, int plane = 0) const;

    bool operator==(const Image&) const = default;
};

// A copy of the image, its pixels copied in one block move.
Image CopyOf(const Image& image);

// A loaded plug-in module; unloads on destruction.
class Module {
public:
    // Throws std::runtime_error with a clear text when the file cannot be
    // loaded or exports no `main`.
    explicit Module(const std::filesystem::path& path);
    ~Module();
    Module(const Module&) = delete;
    Module& operator=(const Module&) = delete;
    Module(Module&& other) noexcept;
    Module& operator=(Module&& other) noexcept;

    PluginEntryProc Entry() const { return entry_; }
    // Any exported symbol of the module, or null.
    void* Symbol(const char* name) const;
    const std::filesystem::path& Path() const { return path_; }
    // The plug-in's name: the file name without directory and extension.
    std::string Name() const;

private:
    std::filesystem::path path_;
    void* handle_ = nullptr;
    PluginEntryProc entry_ = nullptr;
};

struct RunOptions {
    // Tells the plug-in that the host has a selection mask.
    bool haveMask = false;
    // Answer "cancel" at this abortProc call (1-based); 0 never. For
    // scripted cancels at an exact point of a run.
    int64_t cancelAtAbortTest = 0;
    // Asked at every abortProc call; true cancels.
    std::function<bool()> cancelRequested;
    // Called for every message as it is shown (besides being recorded).
    std::function<void(const std::string&)> onMessage;
    // Called for every progress report.
    std::function<void(int32_t done, int32_t total)> onProgress;
};

struct RunReport {
    int16_t result = 0;
    // The result image: the original with every delivered line in it.
    Image output;
    // Messages shown during the run, '@' already turned into '\r'.
    std::vector<std::string> messages;
    std::vector<std::pair<int32_t, int32_t>> progress;
    int64_t abortTests = 0;  // abortProc calls the plug-in made
    bool cancelled = false;  // the host answered cancel at least once
};

// Runs the selectors prepare, start, continue while the
// rectangles are not empty, finish. The input image is left unchanged.
RunReport RunFilter(const Module& module, const Image& input, const RunOptions& options = {});

// The About text: the message the about selector shows.
std::string AboutText(const Module& module);

// Captures every message dialog text while alive (restores the previous
// handler on destruction). Also forwards each text to a callback if given.
class MessageCapture {
public:
    explicit MessageCapture(std::function<void(const std::string&)> forward = {});
    ~MessageCapture();
    MessageCapture(const MessageCapture&) = delete;
    MessageCapture& operator=(const MessageCapture&) = delete;
    const std::vector<std::string>& Messages() const { return messages_; }
    void Clear() { messages_.clear(); }

private:
    static void Handler(const char* text, int32_t length, void* context);
    std::vector<std::string> messages_;
    std::function<void(const std::string&)> forward_;
    PlatformMessageHandler previousHandler_ = nullptr;
    void* previousContext_ = nullptr;
};

// Sets a platform folder for the lifetime of the object, restoring the
// previous setting afterwards.
class ScopedFolder {
public:
    ScopedFolder(uint32_t folderType, const std::filesystem::path& path);
    ~ScopedFolder();
    ScopedFolder(const ScopedFolder&) = delete;
    ScopedFolder& operator=(const ScopedFolder&) = delete;

private:
    uint32_t type_;
    std::optional<std::string> previous_;
};

// Sets the temporary-memory budget for the lifetime of the object, then
// restores the budget it replaced (so nested scopes unwind correctly).
class ScopedMemoryBudget {
public:
    explicit ScopedMemoryBudget(int64_t bytes);
    ~ScopedMemoryBudget();
    ScopedMemoryBudget(const ScopedMemoryBudget&) = delete;
    ScopedMemoryBudget& operator=(const ScopedMemoryBudget&) = delete;

private:
    int64_t previous_;
};

}  // namespace host
