// Entry and run lifecycle: the selector dispatch behind the module's "main",
// the start-up that fills the run state and the host's rectangles, and the
// shut-down that delivers the last staged line and releases what the run
// opened (reference image, temporary images, text files).
//
// Invariants: outside a run stagingLine is null and no run is open, so a
// second shut-down does nothing; after a shut-down the host's rectangles are
// empty, so the continue selector has nothing to do. A start with a mode the
// framework cannot serve (above 17) still resets every flag and list, leaves
// stagingLine null and is shut down like any other run.
#include "entry.h"

#include <cstdio>
#include <cstring>

#include "memory.h"
#include "messages.h"
#include "ref_image.h"
#include "text_file.h"

PrimaryImage gPrimaryImage;

namespace {

// True from a start-up until its shut-down, also for runs without a staging
// line, so that the shut-down still releases what such a run opened.
bool gRunOpen = false;

// The first data failure of the run (noErr when none), see _NoteDataFailure.
OSErr gDataFailure = noErr;

constexpr int32_t kHostPlanes = -1;
constexpr int32_t kHighestMode = 17;
// Planes requested for each host mode; kHostPlanes takes the host's count.
constexpr int32_t kPlanesByMode[kHighestMode + 1] = {
    1, 1, 1, 3, kHostPlanes, 3,           3,           kHostPlanes, kHostPlanes,
    3, 1, 3, 3, 4,           kHostPlanes, kHostPlanes, 3,           1};

constexpr int32_t kBufferSpace = 0x240000;
constexpr Fixed kFixedOne = 0x10000;

Rect32 FirstLine(int32_t width)
{
    return Rect32{0, 0, 1, width};
}

}  // namespace

extern "C" {

void _FilterMain(int16_t selector, FilterRecord* filterRecord, int32_t* data, int16_t* result)
{
    if (data != nullptr)
        *data = 0;
    int16_t code = noErr;
    switch (selector) {
    case filterSelectorAbout:
        ErrorMessage(gAboutText);
        break;
    case filterSelectorParameters:
        break;
    case filterSelectorPrepare:
        if (filterRecord != nullptr)
            filterRecord->bufferSpace = kBufferSpace;
        break;
    case filterSelectorStart:
        if (filterRecord == nullptr) {
            code = filterBadParameters;
            break;
        }
        _KVStartupInitialization(filterRecord);
        code = static_cast<int16_t>(MainUserEntry());
        _KVShutdownCleanup();
        if (code == noErr)
            code = gDataFailure;
        break;
    case filterSelectorContinue:
        break;
    case filterSelectorFinish:
        _KVShutdownCleanup();
        break;
    default:
        code = filterBadParameters;
        break;
    }
    if (result != nullptr)
        *result = code;
}

void _KVStartupInitialization(FilterRecord* filterRecord)
{
    PrimaryImage& run = gPrimaryImage;
    // A staging line left by a start that was never shut down is released,
    // never carried into this run.
    if (run.stagingLine != nullptr)
        DisposeAPointer(run.stagingLine);
    run.stagingLine = nullptr;
    run.stagingBytes = 0;

    run.imageMode = filterRecord->imageMode;
    run.filterRecord = filterRecord;
    run.width = filterRecord->imageSize.h;
    run.height = filterRecord->imageSize.v;
    run.depth = filterRecord->depth;
    run.pendingLine = 0;
    run.rowBytes = 0;
    run.firstTime = true;
    run.linePending = false;
    gOpenFileList = nullptr;
    gRefImage = nullptr;
    gOpenImageFileList = nullptr;
    gDataFailure = noErr;
    gRunOpen = true;

    if (run.imageMode < 0 || run.imageMode > kHighestMode)
        return;

    if (run.imageMode == plugInModeGrayScale && run.depth == 32)
        run.imageMode = plugInModeGray32;
    int32_t planes = kPlanesByMode[run.imageMode];
    run.planes = planes == kHostPlanes ? filterRecord->planes : planes;

    filterRecord->inRect = FirstLine(run.width);
    filterRecord->outRect = FirstLine(run.width);
    filterRecord->maskRect = filterRecord->haveMask ? FirstLine(run.width) : Rect32{0, 0, 0, 0};
    filterRecord->inLoPlane = 0;
    filterRecord->outLoPlane = 0;
    filterRecord->inHiPlane = static_cast<int16_t>(run.planes - 1);
    filterRecord->outHiPlane = static_cast<int16_t>(run.planes - 1);
    filterRecord->maskRate = kFixedOne;
    filterRecord->inputRate = kFixedOne;
    filterRecord->maskPadding = -1;

    run.stagingLine = static_cast<uint8_t*>(CreateAPointer(run.width, 12));
    if (run.stagingLine != nullptr && run.width > 0) {
        run.stagingBytes = static_cast<int64_t>(run.width) * 12;
    }
}

void _KVShutdownCleanup(void)
{
    PrimaryImage& run = gPrimaryImage;
    if (run.stagingLine == nullptr && !gRunOpen)
        return;
    gRunOpen = false;
    FilterRecord* record = run.filterRecord;

    if (run.stagingLine != nullptr) {
        if (run.linePending && record != nullptr) {
            record->outRect.top = run.pendingLine;
            record->outRect.bottom = run.pendingLine + 1;
            if (record->advanceState != nullptr)
                (void)record->advanceState();
            int64_t length = record->outRowBytes;
            if (length > run.stagingBytes)
                length = run.stagingBytes;
            if (record->outData != nullptr && length > 0) {
                std::memcpy(record->outData, run.stagingLine, static_cast<size_t>(length));
            }
        }
        run.linePending = false;
        DisposeAPointer(run.stagingLine);
        run.stagingLine = nullptr;
        run.stagingBytes = 0;
    }

    _CloseRefImage();
    _TossOpenImageFiles();
    _CloseAllTextFiles();

    if (record != nullptr) {
        record->inRect = Rect32{0, 0, 0, 0};
        record->outRect = Rect32{0, 0, 0, 0};
        record->maskRect = Rect32{0, 0, 0, 0};
    }
}

void GetOriginalDimensions(int32_t* width, int32_t* height)
{
    if (width != nullptr)
        *width = gPrimaryImage.width;
    if (height != nullptr)
        *height = gPrimaryImage.height;
}

void _NoteDataFailure(OSErr error, const char* function)
{
    if (error == noErr || gDataFailure != noErr)
        return;
    gDataFailure = error;
    char text[160];
    std::snprintf(text, sizeof text,
                  "Image data could not be read or written (error %d).  The result is not "
                  "used. (%s)",
                  static_cast<int>(error), function);
    ErrorMessage(text);
}

int32_t _PhotoshopAdvanceState(void)
{
    FilterRecord* record = gPrimaryImage.filterRecord;
    if (record == nullptr || record->advanceState == nullptr)
        return userCanceledErr;
    return static_cast<int32_t>(record->advanceState());
}

}  // extern "C"
