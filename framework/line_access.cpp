// Host image line access. Reads convert one host line into RGB96 pixels on
// the 0 to 255 scale; writes convert RGB96 pixels into the host's layout in
// the staging line, which is delivered to the host with the next line access
// (sharing that access's advanceState call) or at shut-down.
//
// Invariants: at most one line is staged; the host's rectangles are one line
// high; host rows are copied whole and never past the staging line, which is
// enlarged at the first access when the host's rows are longer than it;
// integer samples are clamped and truncated, float samples pass unclamped.
//
// The conversions: a table says what each host mode is (planes, sample
// type, scales, Lab or not), and one read loop and one write loop, compiled
// once per instruction set and chosen at run time, work any mode from its
// row. Each lane does the single-precision steps of the plain formula in
// their order, so the bytes are the same on every target.
#include "line_access.h"

#include <algorithm>
#include <cstring>
#include <type_traits>

#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "line_access.cpp"
#include <hwy/foreach_target.h>  // IWYU pragma: keep
#include <hwy/highway.h>

#include "nan_order-inl.h"

#include "entry.h"
#include "memory.h"
#include "messages.h"

#ifndef FRAMEWORK_LINE_ACCESS_LAYOUT
#define FRAMEWORK_LINE_ACCESS_LAYOUT
namespace line_access {

enum class SampleType { kByte, kWord, kFloat };

// What a host mode is. Reading: value = sample × readScale. Writing: grey
// modes take (c0 + c1 + c2) × writeScale / writeDivisor, colour modes
// c × writeScale / writeDivisor per channel; integer samples are then clamped
// to [0, limit] and truncated. A factor or divisor of 1 changes no value.
struct ModeLayout {
    int16_t mode;
    int16_t planes;
    SampleType sample;
    float readScale;
    float writeScale;
    float writeDivisor;
    float limit;
    bool lab;
};

}  // namespace line_access
#endif

HWY_BEFORE_NAMESPACE();
namespace line_access {
namespace HWY_NAMESPACE {

namespace hn = hwy::HWY_NAMESPACE;
using filterkit::HWY_NAMESPACE::AddInOrder;

// Runs step(d, i) over i = 0 ... count - 1, a full vector at a time, then
// one lane at a time with the same operations.
template <class Step> void ForEachLane(int64_t count, const Step& step)
{
    const hn::ScalableTag<float> d;
    const int64_t lanes = static_cast<int64_t>(hn::Lanes(d));
    int64_t i = 0;
    for (; i + lanes <= count; i += lanes)
        step(d, i);
    const hn::CappedTag<float, 1> d1;
    for (; i < count; ++i)
        step(d1, i);
}

// Host samples i ... of one run of samples, as floats.
template <SampleType kSample, class D> hn::Vec<D> LoadSamples(D d, const uint8_t* line, int64_t i)
{
    if constexpr (kSample == SampleType::kFloat) {
        return hn::LoadU(d, reinterpret_cast<const float*>(line) + i);
    } else {
        using T = std::conditional_t<kSample == SampleType::kWord, uint16_t, uint8_t>;
        const hn::Rebind<T, D> dt;
        const hn::RebindToSigned<D> di;
        return hn::ConvertTo(
            d, hn::PromoteTo(di, hn::LoadU(dt, reinterpret_cast<const T*>(line) + i)));
    }
}

// Clamps to [0, limit] and truncates toward zero; NaN gives 0.
template <class D> hn::Vec<hn::RebindToSigned<D>> ClampTruncate(D d, hn::Vec<D> v, float limit)
{
    const hn::RebindToSigned<D> di;
    const auto positive = hn::IfThenElseZero(hn::Ge(v, hn::Zero(d)), v);
    const auto top = hn::Set(d, limit);
    return hn::ConvertTo(di, hn::IfThenElse(hn::Gt(positive, top), top, positive));
}

// Values into host samples i ... of one run of samples.
template <SampleType kSample, class D>
void StoreSamples(D d, hn::Vec<D> v, float limit, uint8_t* line, int64_t i)
{
    if constexpr (kSample == SampleType::kFloat) {
        hn::StoreU(v, d, reinterpret_cast<float*>(line) + i);
    } else {
        using T = std::conditional_t<kSample == SampleType::kWord, uint16_t, uint8_t>;
        const hn::Rebind<T, D> dt;
        hn::StoreU(hn::DemoteTo(dt, ClampTruncate(d, v, limit)), dt,
                   reinterpret_cast<T*>(line) + i);
    }
}

// The read loop: value = sample × readScale, grey into all three channels.
// Colour samples map one to one, in their order, onto the line's floats, so
// a colour line is one flat run of 3 × width values.
template <SampleType kSample, int kPlanes>
void ReadLineOf(const ModeLayout& m, const uint8_t* in, RGB96* pixels, int32_t width)
{
    // A factor of 1 changes no sample value, so it is left out.
    const bool scaled = m.readScale != 1.0f;
    if constexpr (kPlanes == 3) {
        float* out = reinterpret_cast<float*>(pixels);
        ForEachLane(3 * int64_t{width}, [&](auto d, int64_t i) {
            auto v = LoadSamples<kSample>(d, in, i);
            if (scaled)
                v = hn::Mul(v, hn::Set(d, m.readScale));
            hn::StoreU(v, d, out + i);
        });
    } else {
        ForEachLane(width, [&](auto d, int64_t x) {
            auto v = LoadSamples<kSample>(d, in, x);
            if (scaled)
                v = hn::Mul(v, hn::Set(d, m.readScale));
            hn::StoreInterleaved3(v, v, v, d, pixels[x].c);
        });
    }
}

// The write loop: grey from the sum of the channels, then × writeScale ÷
// writeDivisor, clamped and truncated for integer samples; colour lines as
// one flat run, like reading.
template <SampleType kSample, int kPlanes>
void WriteLineOf(const ModeLayout& m, const RGB96* pixels, uint8_t* out, int32_t width)
{
    // A factor or divisor of 1 changes no value except to quieten a
    // signalling NaN, which the steps after it (a division, or the clamp
    // that turns every NaN into 0) do anyway.
    const bool scaled = m.writeScale != 1.0f;
    const bool divided = m.writeDivisor != 1.0f;
    const auto convert = [&](auto d, hn::Vec<decltype(d)> v, int64_t i) {
        if (scaled)
            v = hn::Mul(v, hn::Set(d, m.writeScale));
        if (divided)
            v = hn::Div(v, hn::Set(d, m.writeDivisor));
        StoreSamples<kSample>(d, v, m.limit, out, i);
    };
    if constexpr (kPlanes == 3) {
        const float* in = reinterpret_cast<const float*>(pixels);
        ForEachLane(3 * int64_t{width},
                    [&](auto d, int64_t i) { convert(d, hn::LoadU(d, in + i), i); });
    } else {
        ForEachLane(width, [&](auto d, int64_t x) {
            hn::Vec<decltype(d)> c0, c1, c2;
            hn::LoadInterleaved3(d, pixels[x].c, c0, c1, c2);
            convert(d, AddInOrder(AddInOrder(c0, c1), c2), x);
        });
    }
}

// Instantiates `Loop` for the mode's sample type and planes.
template <template <SampleType, int> class Loop, class... Args>
void ForLayout(const ModeLayout& m, Args... args)
{
    const bool grey = m.planes == 1;
    switch (m.sample) {
    case SampleType::kByte:
        return grey ? Loop<SampleType::kByte, 1>::Run(m, args...)
                    : Loop<SampleType::kByte, 3>::Run(m, args...);
    case SampleType::kWord:
        return grey ? Loop<SampleType::kWord, 1>::Run(m, args...)
                    : Loop<SampleType::kWord, 3>::Run(m, args...);
    case SampleType::kFloat:
        return grey ? Loop<SampleType::kFloat, 1>::Run(m, args...)
                    : Loop<SampleType::kFloat, 3>::Run(m, args...);
    }
}

template <SampleType kSample, int kPlanes> struct ReadLoop {
    static void Run(const ModeLayout& m, const uint8_t* in, RGB96* pixels, int32_t width)
    {
        ReadLineOf<kSample, kPlanes>(m, in, pixels, width);
    }
};

template <SampleType kSample, int kPlanes> struct WriteLoop {
    static void Run(const ModeLayout& m, const RGB96* pixels, uint8_t* out, int32_t width)
    {
        WriteLineOf<kSample, kPlanes>(m, pixels, out, width);
    }
};

void ReadLine(const ModeLayout& m, const uint8_t* in, RGB96* pixels, int32_t width)
{
    ForLayout<ReadLoop>(m, in, pixels, width);
}

void WriteLine(const ModeLayout& m, const RGB96* pixels, uint8_t* out, int32_t width)
{
    ForLayout<WriteLoop>(m, pixels, out, width);
}

}  // namespace HWY_NAMESPACE
}  // namespace line_access
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace line_access {

HWY_EXPORT(ReadLine);
HWY_EXPORT(WriteLine);

constexpr float k16BitToScale = 0.007781982421875f;   // 255 / 32768
constexpr float kScaleTo16Bit = 128.50196838378906f;  // 32768 / 255 in single precision

constexpr ModeLayout kModes[] = {
    // mode, planes, sample, read scale, write scale, write divisor, limit, Lab
    {plugInModeGrayScale, 1, SampleType::kByte, 1.0f, 1.0f, 3.0f, 255.0f, false},
    {plugInModeRGBColor, 3, SampleType::kByte, 1.0f, 1.0f, 1.0f, 255.0f, false},
    {plugInModeLabColor, 3, SampleType::kByte, 1.0f, 1.0f, 1.0f, 255.0f, true},
    {plugInModeGray16, 1, SampleType::kWord, k16BitToScale, kScaleTo16Bit, 3.0f, 32768.0f, false},
    {plugInModeRGB48, 3, SampleType::kWord, k16BitToScale, kScaleTo16Bit, 1.0f, 32768.0f, false},
    {plugInModeLab48, 3, SampleType::kWord, k16BitToScale, kScaleTo16Bit, 1.0f, 32768.0f, true},
    {plugInModeRGB96, 3, SampleType::kFloat, 255.0f, 1.0f, 255.0f, 0.0f, false},
    {plugInModeGray32, 1, SampleType::kFloat, 255.0f, 1.0f, 765.0f, 0.0f, false},
};

const ModeLayout* LayoutOf(int32_t mode)
{
    for (const ModeLayout& m : kModes)
        if (m.mode == mode)
            return &m;
    return nullptr;
}

}  // namespace line_access

namespace {

const char kReadNoAdvance[] =
    "AdvanceState function is not available.  Plug-in cannot run. (ReadOriginalLine)";
const char kReadBounds[] = "Attempt to read beyond bounds of original image. (ReadOriginalLine)";
const char kUnsupportedMode[] = "Unsupported image mode.  Plug-in cannot run. (ReadOriginalLine)";
const char kWriteFirstNoAdvance[] =
    "AdvanceState function is not available.  firstTime = TRUE. (WriteResultLine)";
const char kWriteBounds[] = "Attempt to write beyond bounds of original image. (WriteResultLine)";
const char kWriteNoAdvance[] =
    "AdvanceState function is not available.  Plug-in cannot run. (WriteResultLine)";

bool CallAdvanceState(FilterRecord* record)
{
    return record->advanceState != nullptr && record->advanceState() == 0;
}

// Bytes of a host row that are copied: the recorded row length, never more
// than the staging line holds.
size_t CopyLength()
{
    int64_t length = gPrimaryImage.rowBytes;
    if (length > gPrimaryImage.stagingBytes)
        length = gPrimaryImage.stagingBytes;
    return length > 0 ? static_cast<size_t>(length) : 0;
}

void DeliverStagedLine(FilterRecord* record)
{
    size_t length = CopyLength();
    if (record->outData != nullptr && length > 0) {
        std::memcpy(record->outData, gPrimaryImage.stagingLine, length);
    }
    gPrimaryImage.linePending = false;
}

// The first line access of a run: one advanceState for line 0, whose
// original is copied into the result as its starting value.
bool FirstAccess(const char* failure)
{
    PrimaryImage& run = gPrimaryImage;
    FilterRecord* record = run.filterRecord;
    if (!CallAdvanceState(record)) {
        ErrorMessage(failure);
        return false;
    }
    run.rowBytes = record->inRowBytes > 0 ? record->inRowBytes : 0;
    if (run.rowBytes > run.stagingBytes) {
        uint8_t* larger = static_cast<uint8_t*>(CreateAPointer(run.rowBytes, 1));
        if (larger != nullptr) {
            DisposeAPointer(run.stagingLine);
            run.stagingLine = larger;
            run.stagingBytes = run.rowBytes;
        }
    }
    size_t length = CopyLength();
    if (record->inData != nullptr && length > 0) {
        std::memcpy(run.stagingLine, record->inData, length);
    }
    if (record->outData != nullptr && length > 0) {
        std::memcpy(record->outData, run.stagingLine, length);
    }
    run.pendingLine = 0;
    run.firstTime = false;
    run.linePending = false;
    return true;
}

// Stages result line `line`: delivers the line staged before it, if any,
// and makes `line` the staged one. False, with the message given, when the
// line cannot be staged; the staging line is then left alone.
bool StageResultLine(int32_t line)
{
    PrimaryImage& run = gPrimaryImage;
    if (run.stagingLine == nullptr || run.filterRecord == nullptr) {
        ErrorMessage(kUnsupportedMode);
        return false;
    }
    if (run.firstTime && !FirstAccess(kWriteFirstNoAdvance))
        return false;
    if (line < 0 || line > run.height - 1) {
        ErrorMessage(kWriteBounds);
        return false;
    }
    FilterRecord* record = run.filterRecord;
    if (run.linePending) {
        record->outRect.top = run.pendingLine;
        record->outRect.bottom = run.pendingLine + 1;
        if (!CallAdvanceState(record)) {
            ErrorMessage(kWriteNoAdvance);
            return false;
        }
        DeliverStagedLine(record);
    }
    record->outRect.top = line;
    record->outRect.bottom = line + 1;
    run.pendingLine = line;
    run.linePending = true;
    return true;
}

size_t PixelBytes(const line_access::ModeLayout& m)
{
    const size_t sample = m.sample == line_access::SampleType::kByte   ? 1
                          : m.sample == line_access::SampleType::kWord ? 2
                                                                       : 4;
    return sample * static_cast<size_t>(m.planes);
}

// `count` copies of one pixel of `size` bytes from `out` on: the pixel once,
// then what is written so far copied after itself.
void FillPixels(uint8_t* out, const uint8_t* pixel, size_t size, size_t count)
{
    if (count == 0)
        return;
    if (size == 1) {
        std::memset(out, pixel[0], count);
        return;
    }
    std::memcpy(out, pixel, size);
    const size_t total = size * count;
    for (size_t done = size; done < total;) {
        const size_t piece = std::min(done, total - done);
        std::memcpy(out + done, out, piece);
        done += piece;
    }
}

}  // namespace

extern "C" {

bool _HostLineToRGB96(int32_t imageMode, const void* hostLine, RGB96* pixels, int32_t width)
{
    const line_access::ModeLayout* m = line_access::LayoutOf(imageMode);
    if (m == nullptr)
        return false;
    HWY_DYNAMIC_DISPATCH(line_access::ReadLine)
    (*m, static_cast<const uint8_t*>(hostLine), pixels, width);
    if (m->lab)
        _LAB96toRGB96(pixels, width);
    return true;
}

bool _RGB96ToHostLine(int32_t imageMode, RGB96* pixels, void* hostLine, int32_t width)
{
    const line_access::ModeLayout* m = line_access::LayoutOf(imageMode);
    if (m == nullptr)
        return false;
    if (m->lab)
        _RGB96toLAB96(pixels, width);
    HWY_DYNAMIC_DISPATCH(line_access::WriteLine)
    (*m, pixels, static_cast<uint8_t*>(hostLine), width);
    return true;
}

void ReadOriginalLine(int32_t line, RGB96* pixels)
{
    (void)ReadOriginalSamples(line, pixels, true);
}

const void* ReadOriginalSamples(int32_t line, RGB96* pixels, bool convert)
{
    PrimaryImage& run = gPrimaryImage;
    // No staging line: the run's mode could not be set up (or there is no run).
    if (run.stagingLine == nullptr || run.filterRecord == nullptr) {
        ErrorMessage(kUnsupportedMode);
        return nullptr;
    }
    if (run.firstTime && !FirstAccess(kReadNoAdvance))
        return nullptr;
    if (line < 0 || line > run.height - 1) {
        std::memset(pixels, 0, static_cast<size_t>(run.width > 0 ? run.width : 0) * sizeof(RGB96));
        ErrorMessage(kReadBounds);
        return nullptr;
    }
    FilterRecord* record = run.filterRecord;
    record->inRect.top = line;
    record->inRect.bottom = line + 1;
    if (run.linePending) {
        record->outRect.top = run.pendingLine;
        record->outRect.bottom = run.pendingLine + 1;
    }
    if (!CallAdvanceState(record)) {
        ErrorMessage(kReadNoAdvance);
        return nullptr;
    }
    const void* samples = nullptr;
    if (record->inData == nullptr || line_access::LayoutOf(run.imageMode) == nullptr) {
        ErrorMessage(kUnsupportedMode);
    } else if (!convert && !run.linePending) {
        samples = record->inData;
    } else {
        // A staged line is delivered next, maybe where the samples are.
        _HostLineToRGB96(run.imageMode, record->inData, pixels, run.width);
    }
    if (run.linePending)
        DeliverStagedLine(record);
    return samples;
}

void WriteResultLine(int32_t line, RGB96* pixels)
{
    if (!StageResultLine(line))
        return;
    PrimaryImage& run = gPrimaryImage;
    if (!_RGB96ToHostLine(run.imageMode, pixels, run.stagingLine, run.width))
        ErrorMessage(kUnsupportedMode);
}

bool ResultPixel(const RGB96* pixel, HostPixel* hostPixel)
{
    std::memset(hostPixel, 0, sizeof *hostPixel);
    // The conversion works on a copy: a Lab mode rewrites the pixel it converts.
    RGB96 copy = *pixel;
    return gPrimaryImage.stagingLine != nullptr &&
           _RGB96ToHostLine(gPrimaryImage.imageMode, &copy, hostPixel->bytes, 1);
}

void WriteResultLineRuns(int32_t line, const HostPixel* colours, const int32_t* runEnds,
                         int32_t runCount)
{
    if (!StageResultLine(line))
        return;
    PrimaryImage& run = gPrimaryImage;
    const line_access::ModeLayout* m = line_access::LayoutOf(run.imageMode);
    if (m == nullptr) {
        ErrorMessage(kUnsupportedMode);
        return;
    }
    const size_t size = PixelBytes(*m);
    int32_t start = 0;
    for (int32_t i = 0; i < runCount && start < run.width; i++) {
        // Ends out of order or past the line are held to it.
        const int32_t end = runEnds[i] < start ? start : std::min(runEnds[i], run.width);
        FillPixels(run.stagingLine + size * static_cast<size_t>(start), colours[i].bytes, size,
                   static_cast<size_t>(end - start));
        start = end;
    }
}

}  // extern "C"
#endif  // HWY_ONCE
