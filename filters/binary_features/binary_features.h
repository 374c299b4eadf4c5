/*
 * Binary feature scheme shared by the binary-image filters (fill_holes,
 * label_brightness, marker_select, total_perimeter).
 *
 * Pixel test
 *   BinaryPixelMean(p) is ((R + G) + B) / 3.0 in single precision on one
 *   RGB96 pixel (0 to 255 scale; grey images carry the value in all three
 *   channels). It is compared with kBinaryThreshold (127.5); which side is
 *   the feature, and where exactly 127.5 falls, is the filter's choice:
 *     kBinaryBlackFeature: feature (1) when mean <= 127.5, else 0;
 *     kBinaryWhiteFeature: feature (1) when mean >= 127.5, else 0.
 *
 * Bordered work image
 *   A temporary image named "Binary" of (width + 2) x (height + 2) 32-bit
 *   signed integers. Image pixel (x, y) is work pixel (x + 1, y + 1); work
 *   lines 0 and height + 1 and work columns 0 and width + 1 hold 0 always.
 *   Values: 0 background or border, 1 a feature pixel not yet labelled,
 *   labels from 2 upward, and -1 for the features fill_holes finds at the
 *   image edge.
 *
 * Labelling
 *   BinaryWorkLabel binarises and labels in one raster pass: for each image
 *   line it calls the filter's hook (progress and cancel), reads the line,
 *   binarises it and labels it against the labelled line above into work
 *   line k = y + 1. The filter's pixel rule looks at the left, up-left, up
 *   and up-right neighbours and at whether the pixel lies on the image
 *   edge, gives the pixel a value, and may make one label die into another
 *   when two meet. Along a run of feature pixels that rule can only change
 *   anything where the line above changes, so each filter replays it once
 *   per run of the line above that the run touches (and at the image edge),
 *   and the whole run gets one label.
 *
 *   The work image keeps provisional labels: a meeting is recorded in a
 *   union-find table (parent per label value) instead of rewriting earlier
 *   lines. The survivor of a meeting becomes the root of the dying label's
 *   set, so at every moment the root of a pixel's label is exactly the
 *   value that rewriting every earlier line at each meeting would have left
 *   in that pixel, and label values are handed out in the same order. A
 *   rule therefore compares roots (BinaryFind) wherever it tests labels for
 *   equality or sign, and may give a pixel any label of the right set.
 *   After the pass BinaryWorkResolve points every label straight at its
 *   root, so the filter looks up a pixel's final value as parent[label].
 *
 * Memory
 *   Line buffers, the work image and the label table (one entry per label
 *   value handed out). When the work image is held in memory its lines are
 *   used in place; when it lives in a file they go through the line
 *   buffers. A work image in memory is not cleared when made: the border
 *   lines are written then, and every other line whole when it is labelled,
 *   so image lines are defined once BinaryWorkLabel has finished.
 *
 * Use
 *   BinaryWork work;
 *   OSErr err = BinaryWorkSetUp(&work);     // buffers + "Binary", borders 0
 *   if (err == noErr)
 *       err = BinaryWorkLabel(&work, side, hook, ctx, rule);  // or binarise only
 *   BinaryWorkFree(&work);                  // always; frees only what exists
 */
#ifndef FILTERS_BINARY_FEATURES_H
#define FILTERS_BINARY_FEATURES_H

#include <stdint.h>

#include "filter_framework.h"

#ifdef __cplusplus
extern "C" {
#endif

#define kBinaryThreshold 127.5f
#define kBinaryWorkImageName "Binary"
/* Largest image side the bordered work image (16-bit sides) can serve. */
#define kBinaryLargestSide 65533

typedef enum BinaryFeatureSide {
    kBinaryBlackFeature = 0, /* feature when mean <= 127.5 */
    kBinaryWhiteFeature = 1  /* feature when mean >= 127.5 */
} BinaryFeatureSide;

/* The feature runs of one work line, left to right: work columns
 * start .. end, and a label of the run's set. A line holds at most
 * width / 2 + 1 runs. */
typedef struct BinaryRuns {
    int32_t count;
    int32_t* start;
    int32_t* end;
    int32_t* label;
} BinaryRuns;

typedef struct BinaryWork {
    int32_t width; /* image size; the work image is 2 larger each way */
    int32_t height;
    NamedImage* image;  /* the "Binary" work image, null if not created */
    OSErr createResult; /* MakeTemporaryImage's code (-108 if buffers failed) */
    int32_t* current;   /* width + 2 entries each */
    int32_t* previous;
    uint64_t* bits;     /* the line being labelled, one bit a pixel */
    RGB96* pixels;      /* width pixels */
    BinaryRuns runs[2]; /* the runs of the line above and of this line */
    int32_t lastLabel;  /* label counter: the last label given (starts at 1) */
    int32_t* parent;    /* union-find over label values 2 .. lastLabel */
    int32_t parentCapacity;
} BinaryWork;

/* The pixel mean ((R + G) + B) / 3.0 in single precision. */
static inline float BinaryPixelMean(const RGB96* pixel)
{
    float sum = (pixel->c[0] + pixel->c[1]) + pixel->c[2];
    return sum / 3.0f;
}

/* 1 when the pixel is on the feature side of the threshold, else 0. */
int32_t BinaryPixelValue(const RGB96* pixel, BinaryFeatureSide side);

/* out[x] = BinaryPixelValue(&pixels[x], side) for x = 0 .. width - 1. */
void BinaryBinariseLine(const RGB96* pixels, int32_t width, BinaryFeatureSide side, int32_t* out);

/* The same test one bit a pixel: bit x % 64 of words[x / 64]; the
 * (width + 63) / 64 words are filled whole, bits past the line 0. */
void BinaryBinariseBits(const RGB96* pixels, int32_t width, BinaryFeatureSide side,
                        uint64_t* words);

/* BinaryBinariseBits on the samples of an 8-bit grey line, which read as
 * the sample value in all three channels: the same bits. */
void BinaryBinariseGreyBytes(const uint8_t* samples, int32_t width, BinaryFeatureSide side,
                             uint64_t* words);

/* Reads image line y and binarises it into work->bits: an 8-bit grey line
 * straight from its samples, any other through work->pixels. */
void BinaryReadBits(BinaryWork* work, int32_t y, BinaryFeatureSide side);

/* Where a line of labels changes: bit x % 64 of words[x / 64] is set when
 * line[x] != line[x - 1], for x = 0 .. width - 1 (line[-1] is read, so
 * pass a work line from column 1); the (width + 63) / 64 words are filled
 * whole, bits past the line 0. */
void BinaryLabelChanges(const int32_t* line, int32_t width, uint64_t* words);

/* Reads the image size, allocates the buffers, creates the work image and
 * writes work lines 0 and height + 1 as zeros. Returns the creation code of
 * the work image (0 when created), or -108 when a buffer could not be had
 * (the work image is then not created), or -128 with a message when a side
 * exceeds kBinaryLargestSide. Call BinaryWorkFree in every case. */
OSErr BinaryWorkSetUp(BinaryWork* work);

/* Work line k (0 .. height + 1): a pointer into the work image when it is
 * held in memory, else `buffer` filled from the file. */
int32_t* BinaryWorkLine(BinaryWork* work, int32_t k, int32_t* buffer);

/* Work line k to be written whole, zeroed: a pointer into the work image
 * when it is held in memory, else the `current` buffer. */
int32_t* BinaryWorkNewLine(BinaryWork* work, int32_t k);

/* Stores a line got from BinaryWorkLine or BinaryWorkNewLine back as work
 * line k (nothing to do when it is the work image's own). */
void BinaryWorkStoreLine(BinaryWork* work, int32_t k, const int32_t* line);

/* Called before image line y is read; a nonzero answer cancels. */
typedef Boolean (*BinaryLineHook)(int32_t y, int32_t height, void* context);

/* The runs of set bits of a binarised line (BinaryBinariseBits), as work
 * columns: pixel x is work column x + 1. */
void BinaryFindRuns(const uint64_t* words, int32_t width, BinaryRuns* runs);

/* Makes room in the label table for `more` labels beyond the last given;
 * false when the table cannot grow. */
Boolean BinaryRoomForLabels(BinaryWork* work, int32_t more);

/* Points every label at the root of its set: parent[m] is then the value
 * the pixels labelled m finally hold. */
void BinaryWorkResolve(BinaryWork* work);

/* Frees whatever buffers exist and clears the record's pointers; the work
 * image stays open. */
void BinaryWorkFree(BinaryWork* work);

#ifdef __cplusplus
}

/* The root of `label`'s set: 0 and -1 are their own roots. */
inline int32_t BinaryFind(int32_t* parent, int32_t label)
{
    while (label >= 2) {
        int32_t up = parent[label];
        if (up == label)
            return label;
        if (up < 2)
            return up;
        int32_t grand = parent[up];
        parent[label] = grand; /* path halving */
        label = grand;
    }
    return label;
}

/* A new label, its own root. Room must have been made beforehand. */
inline int32_t BinaryNewLabel(BinaryWork* work)
{
    int32_t label = ++work->lastLabel;
    work->parent[label] = label;
    return label;
}

/* Sets dying's set into survivor's (both any labels of their sets). */
inline void BinaryMeet(int32_t* parent, int32_t dying, int32_t survivor)
{
    int32_t d = BinaryFind(parent, dying);
    int32_t s = BinaryFind(parent, survivor);
    if (d != s)
        parent[d] = s;
}

/* The binarise-and-label pass described above, run by run: each feature
 * run of a line is labelled at once by Rule::LabelRun(work, above, &cursor,
 * start, end, edgeLine), which replays the pixel rule along the run against
 * the runs of the line above (`cursor` is the first of them the run may
 * touch, kept for the next run) and returns a label of the run's set; the
 * whole run is written with it. Returns noErr, -128 when the hook cancelled
 * (later lines stay unwritten) or -108 when the label table could not grow. */
template <class Rule>
OSErr BinaryWorkLabel(BinaryWork* work, BinaryFeatureSide side, BinaryLineHook hook, void* context,
                      Rule& rule)
{
    int32_t width = work->width;
    int32_t height = work->height;
    BinaryRuns* above = &work->runs[0];
    BinaryRuns* runs = &work->runs[1];
    above->count = 0; /* the border line */
    for (int32_t y = 0; y < height; y++) {
        if (hook && hook(y, height, context))
            return userCanceledErr;
        BinaryReadBits(work, y, side);
        /* Each line gives at most one new label per two pixels. */
        if (!BinaryRoomForLabels(work, width / 2 + 1))
            return memFullErr;
        BinaryFindRuns(work->bits, width, runs);

        int32_t k = y + 1;
        Boolean edgeLine = k == 1 || k == height;
        int32_t* line = BinaryWorkNewLine(work, k);
        int32_t cursor = 0;
        for (int32_t r = 0; r < runs->count; r++) {
            int32_t start = runs->start[r], end = runs->end[r];
            int32_t label = rule.LabelRun(work, above, &cursor, start, end, edgeLine);
            runs->label[r] = label;
            for (int32_t j = start; j <= end; j++)
                line[j] = label;
        }
        BinaryWorkStoreLine(work, k, line);

        BinaryRuns* done = above;
        above = runs;
        runs = done;
    }
    return noErr;
}

#endif /* __cplusplus */

#endif
