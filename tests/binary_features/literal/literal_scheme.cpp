/*
 * The binary feature scheme: pixel mean and threshold, the bordered work
 * image "Binary", and single-pass raster labelling with immediate
 * relabelling of earlier work lines, done literally: the oracle the
 * filters' fast paths are compared with.
 *
 * Invariants: work lines 0 and height + 1 and columns 0 and width + 1 hold
 * 0; after a meeting the dying label occurs nowhere in the work image or in
 * the line buffers.
 */
#include "literal_scheme.h"

#include <stdint.h>
#include <string.h>

extern "C" {

float BinaryPixelMean(const RGB96* pixel)
{
    float sum = (pixel->c[0] + pixel->c[1]) + pixel->c[2];
    return sum / 3.0f;
}

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
    work->scratch = (int32_t*)CreateAPointer(lineCount, sizeof(int32_t));
    if (!work->pixels || !work->current || !work->previous || !work->scratch) {
        work->createResult = memFullErr;
        return work->createResult;
    }

    work->createResult =
        MakeTemporaryImage((uint16_t)(work->width + 2), (uint16_t)(work->height + 2), 4,
                           kBinaryWorkImageName, &work->image);
    if (work->createResult != noErr) {
        work->image = nullptr;
        return work->createResult;
    }
    memset(work->current, 0, sizeof(int32_t) * (size_t)lineCount);
    WriteTempImageLine(work->image, 0, work->current);
    WriteTempImageLine(work->image, work->height + 1, work->current);
    return noErr;
}

Boolean BinaryWorkBinarise(BinaryWork* work, BinaryFeatureSide side, BinaryLineHook hook,
                           void* context)
{
    int32_t width = work->width;
    work->current[0] = 0;
    work->current[width + 1] = 0;
    for (int32_t y = 0; y < work->height; y++) {
        if (hook && hook(y, work->height, context))
            return true;
        ReadOriginalLine(y, work->pixels);
        for (int32_t x = 0; x < width; x++)
            work->current[x + 1] = BinaryPixelValue(&work->pixels[x], side);
        WriteTempImageLine(work->image, y + 1, work->current);
    }
    return false;
}

int32_t BinaryNewLabel(BinaryWork* work)
{
    work->lastLabel++;
    return work->lastLabel;
}

/* Replaces `dying` by `survivor` in every earlier work line 1 .. k - 1 and
 * in entries 1 .. j - 1 of the current line, then reads work line k - 1
 * again. */
static void Relabel(BinaryWork* work, int32_t k, int32_t j, int32_t dying, int32_t survivor)
{
    int32_t width = work->width;
    for (int32_t line = 1; line <= k - 1; line++) {
        ReadTempImageLine(work->image, line, work->scratch);
        for (int32_t i = 1; i <= width; i++)
            if (work->scratch[i] == dying)
                work->scratch[i] = survivor;
        WriteTempImageLine(work->image, line, work->scratch);
    }
    for (int32_t i = 1; i < j; i++)
        if (work->current[i] == dying)
            work->current[i] = survivor;
    ReadTempImageLine(work->image, k - 1, work->previous);
}

void BinaryWorkLabel(BinaryWork* work, BinaryLabelRule rule, void* context)
{
    int32_t width = work->width;
    int32_t height = work->height;
    for (int32_t k = 1; k <= height; k++) {
        ReadTempImageLine(work->image, k - 1, work->previous);
        ReadTempImageLine(work->image, k, work->current);
        int32_t* current = work->current;
        for (int32_t j = 1; j <= width; j++) {
            if (current[j] == 0)
                continue;
            const int32_t* previous = work->previous;
            BinaryNeighbours n;
            n.value = current[j];
            n.left = current[j - 1];
            n.upLeft = previous[j - 1];
            n.up = previous[j];
            n.upRight = previous[j + 1];
            n.edge = (j == 1 || j == width || k == 1 || k == height);
            int32_t dying = 0, survivor = 0;
            int32_t value = rule(work, &n, &dying, &survivor, context);
            if (dying != survivor)
                Relabel(work, k, j, dying, survivor);
            current[j] = value;
        }
        WriteTempImageLine(work->image, k, current);
    }
}

void BinaryWorkReadLines(BinaryWork* work, int32_t k)
{
    ReadTempImageLine(work->image, k - 1, work->previous);
    ReadTempImageLine(work->image, k, work->current);
}

void BinaryWorkFree(BinaryWork* work)
{
    if (work->pixels)
        DisposeAPointer(work->pixels);
    if (work->current)
        DisposeAPointer(work->current);
    if (work->previous)
        DisposeAPointer(work->previous);
    if (work->scratch)
        DisposeAPointer(work->scratch);
    work->pixels = nullptr;
    work->current = work->previous = work->scratch = nullptr;
}

}  // extern "C"
