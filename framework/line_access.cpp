// Host image line access. Reads convert one host line into RGB96 pixels on
// the 0 to 255 scale; writes convert RGB96 pixels into the host's layout in
// the staging line, which is delivered to the host with the next line access
// (sharing that access's advanceState call) or at shut-down.
//
// Invariants: at most one line is staged; the host's rectangles are one line
// high; host rows are copied whole and never past the staging line, which is
// enlarged at the first access when the host's rows are longer than it;
// integer samples are clamped and truncated, float samples pass unclamped.
#include "line_access.h"

#include <cmath>
#include <cstring>

#include "entry.h"
#include "memory.h"
#include "messages.h"

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

constexpr float k16BitToScale = 0.007781982421875f;   // 255 / 32768
constexpr float kScaleTo16Bit = 128.50196838378906f;  // 32768 / 255 in single precision

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

template <typename T> T Sample(const uint8_t* line, size_t index)
{
    T value;
    std::memcpy(&value, line + index * sizeof(T), sizeof(T));
    return value;
}

template <typename T> void PutSample(uint8_t* line, size_t index, T value)
{
    std::memcpy(line + index * sizeof(T), &value, sizeof(T));
}

// Clamps to [0, limit] and truncates toward zero; NaN gives 0.
uint32_t ClampTruncate(float value, float limit)
{
    if (!(value >= 0.0f))
        return 0;
    if (value > limit)
        return static_cast<uint32_t>(limit);
    return static_cast<uint32_t>(value);
}

bool ConvertFromHost(const uint8_t* in, RGB96* pixels, int32_t width)
{
    switch (gPrimaryImage.imageMode) {
    case plugInModeGrayScale:
        for (int32_t x = 0; x < width; ++x) {
            float v = static_cast<float>(in[x]);
            pixels[x].c[0] = pixels[x].c[1] = pixels[x].c[2] = v;
        }
        return true;
    case plugInModeRGBColor:
    case plugInModeLabColor:
        for (int32_t x = 0; x < width; ++x) {
            for (int c = 0; c < 3; ++c)
                pixels[x].c[c] = static_cast<float>(in[3 * x + c]);
        }
        if (gPrimaryImage.imageMode == plugInModeLabColor)
            _LAB96toRGB96(pixels, width);
        return true;
    case plugInModeGray16:
        for (int32_t x = 0; x < width; ++x) {
            float v =
                static_cast<float>(Sample<uint16_t>(in, static_cast<size_t>(x))) * k16BitToScale;
            pixels[x].c[0] = pixels[x].c[1] = pixels[x].c[2] = v;
        }
        return true;
    case plugInModeRGB48:
    case plugInModeLab48:
        for (int32_t x = 0; x < width; ++x) {
            for (int c = 0; c < 3; ++c) {
                pixels[x].c[c] =
                    static_cast<float>(Sample<uint16_t>(in, static_cast<size_t>(3 * x + c))) *
                    k16BitToScale;
            }
        }
        if (gPrimaryImage.imageMode == plugInModeLab48)
            _LAB96toRGB96(pixels, width);
        return true;
    case plugInModeRGB96:
        for (int32_t x = 0; x < width; ++x) {
            for (int c = 0; c < 3; ++c) {
                pixels[x].c[c] = Sample<float>(in, static_cast<size_t>(3 * x + c)) * 255.0f;
            }
        }
        return true;
    case plugInModeGray32:
        for (int32_t x = 0; x < width; ++x) {
            float v = Sample<float>(in, static_cast<size_t>(x)) * 255.0f;
            pixels[x].c[0] = pixels[x].c[1] = pixels[x].c[2] = v;
        }
        return true;
    default:
        return false;
    }
}

bool ConvertToHost(RGB96* pixels, uint8_t* out, int32_t width)
{
    switch (gPrimaryImage.imageMode) {
    case plugInModeGrayScale:
        for (int32_t x = 0; x < width; ++x) {
            float mean = (pixels[x].c[0] + pixels[x].c[1] + pixels[x].c[2]) / 3.0f;
            out[x] = static_cast<uint8_t>(ClampTruncate(mean, 255.0f));
        }
        return true;
    case plugInModeLabColor:
        _RGB96toLAB96(pixels, width);
        [[fallthrough]];
    case plugInModeRGBColor:
        for (int32_t x = 0; x < width; ++x) {
            for (int c = 0; c < 3; ++c) {
                out[3 * x + c] = static_cast<uint8_t>(ClampTruncate(pixels[x].c[c], 255.0f));
            }
        }
        return true;
    case plugInModeGray16:
        for (int32_t x = 0; x < width; ++x) {
            float v = (pixels[x].c[0] + pixels[x].c[1] + pixels[x].c[2]) * kScaleTo16Bit / 3.0f;
            PutSample<uint16_t>(out, static_cast<size_t>(x),
                                static_cast<uint16_t>(ClampTruncate(v, 32768.0f)));
        }
        return true;
    case plugInModeLab48:
        _RGB96toLAB96(pixels, width);
        [[fallthrough]];
    case plugInModeRGB48:
        for (int32_t x = 0; x < width; ++x) {
            for (int c = 0; c < 3; ++c) {
                float v = pixels[x].c[c] * kScaleTo16Bit;
                PutSample<uint16_t>(out, static_cast<size_t>(3 * x + c),
                                    static_cast<uint16_t>(ClampTruncate(v, 32768.0f)));
            }
        }
        return true;
    case plugInModeRGB96:
        for (int32_t x = 0; x < width; ++x) {
            for (int c = 0; c < 3; ++c) {
                PutSample<float>(out, static_cast<size_t>(3 * x + c), pixels[x].c[c] / 255.0f);
            }
        }
        return true;
    case plugInModeGray32:
        for (int32_t x = 0; x < width; ++x) {
            float v = (pixels[x].c[0] + pixels[x].c[1] + pixels[x].c[2]) / 765.0f;
            PutSample<float>(out, static_cast<size_t>(x), v);
        }
        return true;
    default:
        return false;
    }
}

}  // namespace

extern "C" {

void ReadOriginalLine(int32_t line, RGB96* pixels)
{
    PrimaryImage& run = gPrimaryImage;
    // No staging line: the run's mode could not be set up (or there is no run).
    if (run.stagingLine == nullptr || run.filterRecord == nullptr) {
        ErrorMessage(kUnsupportedMode);
        return;
    }
    if (run.firstTime && !FirstAccess(kReadNoAdvance))
        return;
    if (line < 0 || line > run.height - 1) {
        std::memset(pixels, 0, static_cast<size_t>(run.width > 0 ? run.width : 0) * sizeof(RGB96));
        ErrorMessage(kReadBounds);
        return;
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
        return;
    }
    if (record->inData == nullptr ||
        !ConvertFromHost(static_cast<const uint8_t*>(record->inData), pixels, run.width)) {
        ErrorMessage(kUnsupportedMode);
    }
    if (run.linePending)
        DeliverStagedLine(record);
}

void WriteResultLine(int32_t line, RGB96* pixels)
{
    PrimaryImage& run = gPrimaryImage;
    if (run.stagingLine == nullptr || run.filterRecord == nullptr) {
        ErrorMessage(kUnsupportedMode);
        return;
    }
    if (run.firstTime && !FirstAccess(kWriteFirstNoAdvance))
        return;
    if (line < 0 || line > run.height - 1) {
        ErrorMessage(kWriteBounds);
        return;
    }
    FilterRecord* record = run.filterRecord;
    if (run.linePending) {
        record->outRect.top = run.pendingLine;
        record->outRect.bottom = run.pendingLine + 1;
        if (!CallAdvanceState(record)) {
            ErrorMessage(kWriteNoAdvance);
            return;
        }
        DeliverStagedLine(record);
    }
    record->outRect.top = line;
    record->outRect.bottom = line + 1;
    run.pendingLine = line;
    run.linePending = true;
    if (!ConvertToHost(pixels, run.stagingLine, run.width))
        ErrorMessage(kUnsupportedMode);
}

}  // extern "C"
