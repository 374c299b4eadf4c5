/*
 * The binary feature scheme: pixel mean and threshold, the bordered work
 * image "Binary", work-line access and the label table of the raster
 * labelling (see binary_features.h).
 *
 * Invariants: work lines 0 and height + 1 and columns 0 and width + 1 hold
 * 0; every label value from 2 to lastLabel has a parent entry, and roots
 * are their own parents (or -1, the edge value of fill_holes).
 */
#include "binary_features.h"

#include <stdint.h>
#include <string.h>

extern "C" {

int32_t BinaryPixelValue(const RGB96* pixel, BinaryFeatureSide side)
{
    float mean = BinaryPixelMean(pixel);
    if (side == kBinaryWhiteFeature)
        return mean >= kBinaryThreshold ? 1 : 0;
    return mean <= kBinaryThreshold ? 1 : 0;
}

OSErr BinaryWorkSetUp(BinaryWork* work)
{
    memset(work, 0, sizeof *work);
    GetOriginalDimensions(&work->width, &work->height);
    work->lastLabel = 1;

    /* The work image is two pixels larger each way than the image and its
     * sides are 16-bit: a larger image would get a wrapped, too small work
     * image, so it is refused. */
    if (work->width > kBinaryLargestSide || work->height > kBinaryLargestSide) {
        ErrorMessage("Image is too large for the binary work image.  "
                     "Width and height must not exceed 65533 pixels. (BinaryWorkSetUp)");
        work->createResult = userCanceledErr;
        return work->createResult;
    }

    int32_t lineCount = work->width + 2;
    work->pixels = (RGB96*)CreateAPointer(work->width > 0 ? work->width : 1, sizeof(RGB96));
    work->current = (int32_t*)CreateAPointer(lineCount, sizeof(int32_t));
    work->previous = (int32_t*)CreateAPointer(lineCount, sizeof(int32_t));
    work->bits = (uint64_t*)CreateAPointer(work->width / 64 + 1, sizeof(uint64_t));
    Boolean taken = work->pixels && work->current && work->previous && work->bits;
    int32_t runCount = work->width / 2 + 2;
    for (int32_t i = 0; i < 2; i++) {
        BinaryRuns* runs = &work->runs[i];
        runs->start = (int32_t*)CreateAPointer(runCount, sizeof(int32_t));
        runs->end = (int32_t*)CreateAPointer(runCount, sizeof(int32_t));
        runs->label = (int32_t*)CreateAPointer(runCount, sizeof(int32_t));
        taken = taken && runs->start && runs->end && runs->label;
    }
    if (!taken) {
        work->createResult = memFullErr;
        return work->createResult;
    }

    /* Every line is written before it is read: the border lines here, the
     * others whole by the labelling pass. So a work image in memory need not
     * be cleared first. */
    work->createResult =
        MakeUnclearedTemporaryImage((uint16_t)(work->width + 2), (uint16_t)(work->height + 2), 4,
                                    kBinaryWorkImageName, &work->image);
    if (work->createResult != noErr) {
        work->image = nullptr;
        return work->createResult;
    }
    int32_t* top = BinaryWorkNewLine(work, 0);
    BinaryWorkStoreLine(work, 0, top);
    int32_t* bottom = BinaryWorkNewLine(work, work->height + 1);
    BinaryWorkStoreLine(work, work->height + 1, bottom);
    return noErr;
}

int32_t* BinaryWorkLine(BinaryWork* work, int32_t k, int32_t* buffer)
{
    if (work->image->data != nullptr)
        return (int32_t*)work->image->data + (size_t)k * (size_t)(work->width + 2);
    ReadTempImageLine(work->image, k, buffer);
    return buffer;
}

int32_t* BinaryWorkNewLine(BinaryWork* work, int32_t k)
{
    int32_t* line = work->current;
    if (work->image->data != nullptr)
        line = (int32_t*)work->image->data + (size_t)k * (size_t)(work->width + 2);
    memset(line, 0, sizeof(int32_t) * (size_t)(work->width + 2));
    return line;
}

void BinaryWorkStoreLine(BinaryWork* work, int32_t k, const int32_t* line)
{
    if (work->image->data == nullptr)
        WriteTempImageLine(work->image, k, line);
}

void BinaryReadBits(BinaryWork* work, int32_t y, BinaryFeatureSide side)
{
    if (gPrimaryImage.imageMode == plugInModeGrayScale) {
        const void* samples = ReadOriginalSamples(y, work->pixels, false);
        if (samples != nullptr) {
            BinaryBinariseGreyBytes((const uint8_t*)samples, work->width, side, work->bits);
            return;
        }
    } else {
        ReadOriginalLine(y, work->pixels);
    }
    /* Other modes, and lines the samples of which could not be had, are
     * tested on the pixels as ReadOriginalLine leaves them. */
    BinaryBinariseBits(work->pixels, work->width, side, work->bits);
}

void BinaryFindRuns(const uint64_t* words, int32_t width, BinaryRuns* runs)
{
    int32_t count = 0;
    uint64_t before = 0; /* the bit left of the word's first pixel */
    for (int32_t w = 0; w * 64 < width; w++) {
        uint64_t word = words[w];
        uint64_t changes = word ^ ((word << 1) | before);
        before = word >> 63;
        while (changes != 0) {
            int32_t x = w * 64 + __builtin_ctzll(changes);
            /* A run starts at pixel x when its bit is set, else ends before it. */
            if ((word >> (x % 64)) & 1)
                runs->start[count] = x + 1;
            else
                runs->end[count++] = x;
            changes &= changes - 1;
        }
    }
    /* Bits past the line are 0, so a run reaching the last pixel ends there
     * as a change, unless the line fills its last word to the top bit. */
    if (before != 0)
        runs->end[count++] = width;
    runs->count = count;
}

Boolean BinaryRoomForLabels(BinaryWork* work, int32_t more)
{
    int64_t needed = (int64_t)work->lastLabel + more + 1;
    if (needed <= work->parentCapacity)
        return true;
    int64_t capacity = work->parentCapacity > 0 ? work->parentCapacity : 1024;
    while (capacity < needed)
        capacity *= 2;
    if (capacity > INT32_MAX)
        capacity = INT32_MAX;
    if (capacity < needed)
        return false;
    int32_t* larger = (int32_t*)CreateAPointer((int32_t)capacity, sizeof(int32_t));
    if (!larger)
        return false;
    if (work->parent) {
        memcpy(larger, work->parent, sizeof(int32_t) * (size_t)(work->lastLabel + 1));
        DisposeAPointer(work->parent);
    }
    work->parent = larger;
    work->parentCapacity = (int32_t)capacity;
    return true;
}

void BinaryWorkResolve(BinaryWork* work)
{
    int32_t* parent = work->parent;
    if (!parent)
        return;
    parent[0] = 0;
    parent[1] = 1;
    for (int32_t m = 2; m <= work->lastLabel; m++)
        parent[m] = BinaryFind(parent, m);
}

void BinaryWorkFree(BinaryWork* work)
{
    if (work->pixels)
        DisposeAPointer(work->pixels);
    if (work->current)
        DisposeAPointer(work->current);
    if (work->previous)
        DisposeAPointer(work->previous);
    if (work->bits)
        DisposeAPointer(work->bits);
    for (int32_t i = 0; i < 2; i++) {
        BinaryRuns* runs = &work->runs[i];
        if (runs->start)
            DisposeAPointer(runs->start);
        if (runs->end)
            DisposeAPointer(runs->end);
        if (runs->label)
            DisposeAPointer(runs->label);
        runs->start = runs->end = runs->label = nullptr;
    }
    if (work->parent)
        DisposeAPointer(work->parent);
    work->pixels = nullptr;
    work->current = work->previous = nullptr;
    work->bits = nullptr;
    work->parent = nullptr;
    work->parentCapacity = 0;
}

}  // extern "C"
