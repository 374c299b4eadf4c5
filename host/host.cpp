// Host library: loads plug-in modules and serves a FilterRecord over an
// in-memory image. advanceState takes the output line the plug-in filled
// into the result, then serves copies of the lines that inRect and outRect
// name (whole rows, all planes). Each run records messages, progress pairs
// and advanceState calls for the command line and the tests.
//
// Invariant: the input image is never written; the plug-in sees row copies,
// so it cannot write past a row into the host's image.
#include "host.h"
#include "testing.h"

#include <dlfcn.h>
#include <elf.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <stdexcept>

#include "platform.h"

namespace host {

int PlanesForMode(int mode)
{
    switch (mode) {
    case plugInModeRGBColor:
    case plugInModeHSLColor:
    case plugInModeHSBColor:
    case plugInModeLabColor:
    case plugInModeRGB48:
    case plugInModeLab48:
    case plugInModeRGB96:
        return 3;
    case plugInModeCMYKColor:
    case plugInModeCMYK64:
        return 4;
    default:
        return 1;
    }
}

std::string ModeName(int mode, int depth)
{
    switch (mode) {
    case plugInModeGrayScale:
        return depth == 32 ? "greyscale 32-bit float" : "greyscale 8-bit";
    case plugInModeRGBColor:
        return "RGB 8-bit";
    case plugInModeLabColor:
        return "Lab 8-bit";
    case plugInModeGray16:
        return "greyscale 16-bit";
    case plugInModeRGB48:
        return "RGB 16-bit";
    case plugInModeLab48:
        return "Lab 16-bit";
    case plugInModeRGB96:
        return "RGB 32-bit float";
    case plugInModeGray32:
        return "greyscale 32-bit float";
    default:
        return "mode " + std::to_string(mode);
    }
}

namespace {

// Blocks from this size on are taken whole on huge-page boundaries.
constexpr size_t kHugePage = size_t{2} << 20;
constexpr size_t kLargePixels = 2 * kHugePage;

size_t RoundedToHugePages(size_t bytes)
{
    return (bytes + kHugePage - 1) / kHugePage * kHugePage;
}

// Released large blocks kept for reuse: at most kMostKept, kKeptBytes in
// all, the oldest dropped first. Plain arrays, so the blocks stay reachable
// (not leaked) and nothing here is torn down while images made by static
// objects may still be released.
constexpr size_t kMostKept = 4;
constexpr size_t kKeptBytes = size_t{256} << 20;

struct KeptBlock {
    void* block;
    size_t bytes;
};

constinit std::mutex gKeptLock;
constinit KeptBlock gKept[kMostKept] = {};
constinit size_t gKeptCount = 0;
constinit size_t gKeptBytes = 0;

void DropKept(size_t i)
{
    gKeptBytes -= gKept[i].bytes;
    for (size_t k = i + 1; k < gKeptCount; ++k)
        gKept[k - 1] = gKept[k];
    --gKeptCount;
}

}  // namespace

void* AllocatePixels(size_t bytes)
{
    if (bytes < kLargePixels)
        return ::operator new(bytes);
    const size_t rounded = RoundedToHugePages(bytes);
    if (rounded < bytes)
        throw std::bad_alloc();
    {
        std::lock_guard guard(gKeptLock);
        for (size_t i = 0; i < gKeptCount; ++i) {
            if (gKept[i].bytes == rounded) {
                void* block = gKept[i].block;
                DropKept(i);
                return block;
            }
        }
    }
    void* block = std::aligned_alloc(kHugePage, rounded);
    if (block == nullptr)
        throw std::bad_alloc();
    (void)madvise(block, rounded, MADV_HUGEPAGE);
    return block;
}

void FreePixels(void* block, size_t bytes) noexcept
{
    if (bytes < kLargePixels) {
        ::operator delete(block);
        return;
    }
    const size_t rounded = RoundedToHugePages(bytes);
    if (rounded > kKeptBytes) {
        std::free(block);
        return;
    }
    std::lock_guard guard(gKeptLock);
    while (gKeptCount > 0 && (gKeptCount == kMostKept || gKeptBytes + rounded > kKeptBytes)) {
        std::free(gKept[0].block);
        DropKept(0);
    }
    gKept[gKeptCount++] = {block, rounded};
    gKeptBytes += rounded;
}

Image CopyOf(const Image& image)
{
    Image copy;
    copy.width = image.width;
    copy.height = image.height;
    copy.mode = image.mode;
    copy.depth = image.depth;
    copy.planes = image.planes;
    copy.pixels = PixelBuffer(image.pixels.size());
    if (!image.pixels.empty())
        std::memcpy(copy.pixels.data(), image.pixels.data(), image.pixels.size());
    return copy;
}

Image Image::Make(int32_t width, int32_t height, int16_t mode, int16_t depth)
{
    Image image;
    image.width = width;
    image.height = height;
    image.mode = mode;
    image.depth = depth;
    image.planes = static_cast<int16_t>(PlanesForMode(mode));
    image.pixels = PixelBuffer(image.RowBytes() * static_cast<size_t>(height));
    if (!image.pixels.empty())
        std::memset(image.pixels.data(), 0, image.pixels.size());
    return image;
}

namespace {
size_t SampleIndex(const Image& image, int32_t x, int32_t y, int plane)
{
    return (static_cast<size_t>(y) * static_cast<size_t>(image.width) + static_cast<size_t>(x)) *
               static_cast<size_t>(image.planes) +
           static_cast<size_t>(plane);
}
}  // namespace

uint8_t& Image::U8(int32_t x, int32_t y, int plane)
{
    return pixels[SampleIndex(*this, x, y, plane)];
}
uint8_t Image::U8(int32_t x, int32_t y, int plane) const
{
    return pixels[SampleIndex(*this, x, y, plane)];
}
uint16_t& Image::U16(int32_t x, int32_t y, int plane)
{
    return reinterpret_cast<uint16_t*>(pixels.data())[SampleIndex(*this, x, y, plane)];
}
uint16_t Image::U16(int32_t x, int32_t y, int plane) const
{
    return reinterpret_cast<const uint16_t*>(pixels.data())[SampleIndex(*this, x, y, plane)];
}
float& Image::F32(int32_t x, int32_t y, int plane)
{
    return reinterpret_cast<float*>(pixels.data())[SampleIndex(*this, x, y, plane)];
}
float Image::F32(int32_t x, int32_t y, int plane) const
{
    return reinterpret_cast<const float*>(pixels.data())[SampleIndex(*this, x, y, plane)];
}

// ---- Module -------------------------------------------------------------

namespace {

// The file's first bytes, as many as it has up to `count`.
std::vector<uint8_t> ReadHead(int fd, size_t count)
{
    std::vector<uint8_t> bytes(count);
    size_t got = 0;
    while (got < count) {
        const ssize_t n = pread(fd, bytes.data() + got, count - got, static_cast<off_t>(got));
        if (n <= 0)
            break;
        got += static_cast<size_t>(n);
    }
    bytes.resize(got);
    return bytes;
}

bool Within(uint64_t offset, uint64_t length, uint64_t size)
{
    return offset <= size && length <= size - offset;
}

// Why the loader must not be handed this file, or empty when it may be. The
// loader maps a module's segments straight from the file, so a file cut
// short (a copy that did not finish) would fault with SIGBUS when touched
// instead of failing to load: every table and every segment the headers
// name must lie inside the file.
std::string ModuleFileProblem(const std::filesystem::path& path)
{
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0)
        return std::strerror(errno);
    struct stat info {};
    const bool regular = fstat(fd, &info) == 0 && S_ISREG(info.st_mode);
    std::vector<uint8_t> head = regular ? ReadHead(fd, sizeof(Elf64_Ehdr)) : std::vector<uint8_t>{};
    if (!regular) {
        close(fd);
        return "not a regular file";
    }
    const uint64_t size = static_cast<uint64_t>(info.st_size);
    Elf64_Ehdr header{};
    if (head.size() < sizeof header || std::memcmp(head.data(), ELFMAG, SELFMAG) != 0 ||
        head[EI_CLASS] != ELFCLASS64) {
        close(fd);
        return "not a 64-bit ELF module (damaged or cut short?)";
    }
    std::memcpy(&header, head.data(), sizeof header);
    std::string problem;
    const uint64_t programBytes = uint64_t{header.e_phnum} * header.e_phentsize;
    const uint64_t sectionBytes = uint64_t{header.e_shnum} * header.e_shentsize;
    if (header.e_phentsize != sizeof(Elf64_Phdr) || !Within(header.e_phoff, programBytes, size) ||
        (header.e_shnum != 0 && !Within(header.e_shoff, sectionBytes, size))) {
        problem = "its headers point past its end";
    } else {
        std::vector<Elf64_Phdr> segments(header.e_phnum);
        const ssize_t got =
            pread(fd, segments.data(), programBytes, static_cast<off_t>(header.e_phoff));
        if (got != static_cast<ssize_t>(programBytes))
            problem = "its program headers cannot be read";
        for (const Elf64_Phdr& segment : segments)
            if (problem.empty() && segment.p_type != PT_NULL &&
                !Within(segment.p_offset, segment.p_filesz, size))
                problem = "a segment lies past its end";
    }
    close(fd);
    return problem.empty() ? problem : problem + " (damaged or cut short?)";
}

}  // namespace

Module::Module(const std::filesystem::path& path) : path_(path)
{
    if (const std::string problem = ModuleFileProblem(path); !problem.empty())
        throw std::runtime_error("cannot load plug-in '" + path.string() + "': " + problem);
    handle_ = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle_ == nullptr) {
        const char* why = dlerror();
        throw std::runtime_error("cannot load plug-in '" + path.string() +
                                 "': " + (why != nullptr ? why : "unknown error"));
    }
    entry_ = reinterpret_cast<PluginEntryProc>(dlsym(handle_, "main"));
    if (entry_ == nullptr) {
        dlclose(handle_);
        handle_ = nullptr;
        throw std::runtime_error("'" + path.string() +
                                 "' is not a filter plug-in: it has no entry point");
    }
}

Module::~Module()
{
    if (handle_ != nullptr)
        dlclose(handle_);
}

Module::Module(Module&& other) noexcept
    : path_(std::move(other.path_)), handle_(std::exchange(other.handle_, nullptr)),
      entry_(std::exchange(other.entry_, nullptr))
{}

Module& Module::operator=(Module&& other) noexcept
{
    if (this != &other) {
        if (handle_ != nullptr)
            dlclose(handle_);
        path_ = std::move(other.path_);
        handle_ = std::exchange(other.handle_, nullptr);
        entry_ = std::exchange(other.entry_, nullptr);
    }
    return *this;
}

void* Module::Symbol(const char* name) const
{
    return handle_ == nullptr ? nullptr : dlsym(handle_, name);
}

std::string Module::Name() const
{
    return path_.stem().string();
}

// ---- Message capture, folders, memory budget -------------------------------

MessageCapture::MessageCapture(std::function<void(const std::string&)> forward)
    : forward_(std::move(forward))
{
    PlatformGetMessageHandler(&previousHandler_, &previousContext_);
    PlatformSetMessageHandler(&MessageCapture::Handler, this);
}

MessageCapture::~MessageCapture()
{
    PlatformSetMessageHandler(previousHandler_, previousContext_);
}

void MessageCapture::Handler(const char* text, int32_t length, void* context)
{
    auto* self = static_cast<MessageCapture*>(context);
    std::string message(text, static_cast<size_t>(std::max(length, 0)));
    self->messages_.push_back(message);
    if (self->forward_)
        self->forward_(message);
}

ScopedFolder::ScopedFolder(uint32_t folderType, const std::filesystem::path& path)
    : type_(folderType)
{
    if (const char* previous = PlatformGetFolder(folderType))
        previous_ = previous;
    PlatformSetFolder(folderType, path.c_str());
}

ScopedFolder::~ScopedFolder()
{
    PlatformSetFolder(type_, previous_ ? previous_->c_str() : nullptr);
}

ScopedMemoryBudget::ScopedMemoryBudget(int64_t bytes) : previous_(PlatformGetTempMemoryBudget())
{
    PlatformSetTempMemoryBudget(bytes);
}

ScopedMemoryBudget::~ScopedMemoryBudget()
{
    PlatformSetTempMemoryBudget(previous_);
}

// ---- Running a filter ------------------------------------------------------

namespace {

struct RunState {
    const Image* input = nullptr;
    FilterRecord* record = nullptr;
    test::RunReport* report = nullptr;
    const test::RunOptions* options = nullptr;
    size_t rowBytes = 0;
    std::vector<uint8_t> inRow;
    std::vector<uint8_t> outRow;
    int32_t servedOutLine = -1;  // line whose copy outRow holds, or -1
    // Lines are served as the images' own rows: the input's to read, the
    // result's to write; only padded rows (a test knob) need copies.
    bool inPlace = true;
};

// The callbacks have no context argument: they find the run through this.
thread_local RunState* gRun = nullptr;

bool LineInImage(const Rect32& rect, int32_t height)
{
    return rect.bottom > rect.top && rect.top >= 0 && rect.top < height;
}

// Takes the output line the plug-in was given into the result image.
void CommitOutLine(RunState& run)
{
    if (run.servedOutLine < 0)
        return;
    std::memcpy(run.report->output.Row(run.servedOutLine), run.outRow.data(), run.rowBytes);
    run.servedOutLine = -1;
}

OSErr HostAdvanceState()
{
    RunState& run = *gRun;
    FilterRecord& record = *run.record;
    run.report->advanceCalls.push_back(test::AdvanceCall{record.inRect, record.outRect});
    CommitOutLine(run);
    const int32_t height = run.input->height;
    if (LineInImage(record.inRect, height) && run.inPlace) {
        // The contract gives input rows to read only.
        record.inData = const_cast<uint8_t*>(run.input->Row(record.inRect.top));
    } else if (LineInImage(record.inRect, height)) {
        std::memcpy(run.inRow.data(), run.input->Row(record.inRect.top), run.rowBytes);
        record.inData = run.inRow.data();
    } else {
        record.inData = nullptr;
    }
    if (LineInImage(record.outRect, height) && run.inPlace) {
        record.outData = run.report->output.Row(record.outRect.top);
    } else if (LineInImage(record.outRect, height)) {
        std::memcpy(run.outRow.data(), run.report->output.Row(record.outRect.top), run.rowBytes);
        record.outData = run.outRow.data();
        run.servedOutLine = record.outRect.top;
    } else {
        record.outData = nullptr;
    }
    return noErr;
}

void HostProgress(int32_t done, int32_t total)
{
    RunState& run = *gRun;
    run.report->progress.emplace_back(done, total);
    if (run.options->onProgress)
        run.options->onProgress(done, total);
}

Boolean HostAbort()
{
    RunState& run = *gRun;
    const int64_t test = ++run.report->abortTests;
    bool cancel = run.report->cancelled;
    if (run.options->cancelAtAbortTest > 0 && test >= run.options->cancelAtAbortTest)
        cancel = true;
    if (run.options->cancelRequested && run.options->cancelRequested())
        cancel = true;
    if (cancel)
        run.report->cancelled = true;
    return cancel ? 1 : 0;
}

bool RectEmpty(const Rect32& r)
{
    return r.bottom <= r.top || r.right <= r.left;
}

}  // namespace

RunReport RunFilter(const Module& module, const Image& input, const RunOptions& options)
{
    test::RunOptions full;
    static_cast<RunOptions&>(full) = options;
    test::RunReport report = test::RunFilter(module, input, full);
    return std::move(static_cast<RunReport&>(report));
}

std::string AboutText(const Module& module)
{
    test::SelectorReport report = test::CallSelector(module, filterSelectorAbout);
    return report.messages.empty() ? std::string() : report.messages.front();
}

namespace test {

RunReport RunFilter(const Module& module, const Image& input, const RunOptions& options)
{
    RunReport report;
    report.output = CopyOf(input);
    MessageCapture capture(options.onMessage);

    RunState run;
    run.input = &input;
    run.report = &report;
    run.options = &options;
    run.rowBytes = input.RowBytes();
    const size_t paddedRow = run.rowBytes + static_cast<size_t>(std::max(options.rowPadding, 0));
    run.inRow.assign(paddedRow, 0);
    run.outRow.assign(paddedRow, 0);
    run.inPlace = paddedRow == run.rowBytes;

    FilterRecord record{};
    record.abortProc = &HostAbort;
    record.progressProc = &HostProgress;
    record.advanceState = options.withoutAdvanceState ? nullptr : &HostAdvanceState;
    record.imageSize = Point32{input.height, input.width};
    record.planes = options.planesField.value_or(input.planes);
    record.filterRect = Rect32{0, 0, input.height, input.width};
    record.maxSpace = 0x7FFFFFFF;
    record.inRowBytes = static_cast<int32_t>(paddedRow);
    record.outRowBytes = static_cast<int32_t>(paddedRow);
    record.haveMask = options.haveMask ? 1 : 0;
    record.imageMode = options.modeField.value_or(input.mode);
    record.depth = input.depth;
    run.record = &record;

    RunState* previous = std::exchange(gRun, &run);
    const PluginEntryProc entry = module.Entry();
    int32_t data = -1;
    int16_t result = 0;

    entry(filterSelectorPrepare, &record, &data, &result);
    report.bufferSpace = record.bufferSpace;
    if (result == noErr) {
        data = -1;
        entry(filterSelectorStart, &record, &data, &result);
        report.dataSlot = data;
        CommitOutLine(run);
        report.inRectAfter = record.inRect;
        report.outRectAfter = record.outRect;
        report.maskRectAfter = record.maskRect;
        // A plug-in that leaves rectangles to serve is served line by line
        // through continue; the bound keeps a faulty one from looping forever.
        for (int64_t guard = 0; result == noErr && guard <= input.height &&
                                !(RectEmpty(record.inRect) && RectEmpty(record.outRect));
             ++guard) {
            HostAdvanceState();
            entry(filterSelectorContinue, &record, &data, &result);
            CommitOutLine(run);
        }
        if (result == noErr)
            entry(filterSelectorFinish, &record, &data, &result);
        CommitOutLine(run);
    }
    gRun = previous;
    report.result = result;
    report.messages = capture.Messages();
    return report;
}

SelectorReport CallSelector(const Module& module, int16_t selector, int32_t initialDataSlot)
{
    SelectorReport report;
    MessageCapture capture;
    report.dataSlot = initialDataSlot;
    module.Entry()(selector, &report.record, &report.dataSlot, &report.result);
    report.messages = capture.Messages();
    return report;
}

}  // namespace test

}  // namespace host
