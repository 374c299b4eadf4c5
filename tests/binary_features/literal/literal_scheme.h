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
 *   labels proper from 2 upward (a filter may also use negative values,
 *   fill_holes uses -1).
 *
 * Use
 *   BinaryWork work;
 *   OSErr err = BinaryWorkSetUp(&work);     // buffers + "Binary", borders 0
 *   if (err == noErr) {
 *       if (BinaryWorkBinarise(&work, kBinaryBlackFeature, hook, ctx)) ...;
 *       BinaryWorkLabel(&work, MyRule, ctx);  // optional
 *       BinaryWorkReadLines(&work, k);        // previous = k - 1, current = k
 *   }
 *   BinaryWorkFree(&work);                  // always; frees only what exists
 *
 *   The caller owns the BinaryWork record (usually on its stack). Its
 *   buffers are taken with CreateAPointer and released by BinaryWorkFree;
 *   the work image itself is never closed here (the run's shut-down tosses
 *   it). All buffers hold width + 2 entries; `pixels` holds width RGB96
 *   pixels and may be used by the caller for its own reading and writing of
 *   host lines once binarising is done.
 *
 * Labelling
 *   BinaryWorkLabel makes one raster pass over work lines k = 1 .. height:
 *   work line k - 1 (labelled) goes to `previous`, work line k (binary) to
 *   `current`, which is labelled in place for j = 1 .. width and written
 *   back. Entries that are 0 stay 0 and the rule is not asked; for every
 *   other entry the filter's rule sees the neighbours left (current[j - 1],
 *   already labelled), up-left, up and up-right (previous[j - 1 .. j + 1])
 *   and whether the pixel is an edge pixel of the image (image column 0 or
 *   width - 1, image line 0 or height - 1). It returns the pixel's new value
 *   and may ask for one meeting: "label *dying dies into label *survivor".
 *   New labels come from BinaryNewLabel (the counter starts at 1, so the
 *   first label is 2). A meeting is carried out at once, before the pixel
 *   gets its value: every earlier work line 1 .. k - 1 has each entry equal
 *   to the dying label replaced by the survivor, so do entries 1 .. j - 1 of
 *   `current`, and `previous` is read again. No equivalence table is kept;
 *   the surviving label values are exactly those the rules name.
 */
#ifndef LITERAL_SCHEME_H
#define LITERAL_SCHEME_H

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

typedef struct BinaryWork {
    int32_t width; /* image size; the work image is 2 larger each way */
    int32_t height;
    NamedImage* image;  /* the "Binary" work image, null if not created */
    OSErr createResult; /* MakeTemporaryImage's code (-108 if buffers failed) */
    int32_t* current;   /* width + 2 entries each */
    int32_t* previous;
    int32_t* scratch;
    RGB96* pixels;     /* width pixels */
    int32_t lastLabel; /* label counter: the last label given (starts at 1) */
} BinaryWork;

/* The pixel mean ((R + G) + B) / 3.0 in single precision. */
float BinaryPixelMean(const RGB96* pixel);

/* 1 when the pixel is on the feature side of the threshold, else 0. */
int32_t BinaryPixelValue(const RGB96* pixel, BinaryFeatureSide side);

/* Reads the image size, allocates the buffers, creates the work image and
 * writes work lines 0 and height + 1 as zeros. Returns the creation code of
 * the work image (0 when created), or -108 when a buffer could not be had
 * (the work image is then not created), or -128 with a message when a side
 * exceeds kBinaryLargestSide. Call BinaryWorkFree in every case. */
OSErr BinaryWorkSetUp(BinaryWork* work);

/* Called before image line y is read; a nonzero answer cancels. */
typedef Boolean (*BinaryLineHook)(int32_t y, int32_t height, void* context);

/* For each image line y: hook (if given), ReadOriginalLine into `pixels`,
 * current[x + 1] = binary value of pixel x (ends 0), written as work line
 * y + 1. Returns true when the hook cancelled (later lines not written). */
Boolean BinaryWorkBinarise(BinaryWork* work, BinaryFeatureSide side, BinaryLineHook hook,
                           void* context);

/* What the labelling rule sees at one feature pixel. */
typedef struct BinaryNeighbours {
    int32_t value; /* the pixel's own (binary) value, never 0 */
    int32_t left;
    int32_t upLeft;
    int32_t up;
    int32_t upRight;
    Boolean edge; /* pixel on the image's first/last line or column */
} BinaryNeighbours;

/* Returns the pixel's new value. To make label A die into label B, set
 * *dying = A and *survivor = B (both start 0 = no meeting; a meeting of a
 * label with itself is ignored). */
typedef int32_t (*BinaryLabelRule)(BinaryWork* work, const BinaryNeighbours* n, int32_t* dying,
                                   int32_t* survivor, void* context);

/* Hands out the next label: lastLabel + 1. */
int32_t BinaryNewLabel(BinaryWork* work);

/* The single raster pass with immediate relabelling (see above). */
void BinaryWorkLabel(BinaryWork* work, BinaryLabelRule rule, void* context);

/* Reads work line k - 1 into `previous` and work line k into `current`
 * (1 <= k <= height + 1). */
void BinaryWorkReadLines(BinaryWork* work, int32_t k);

/* Frees whatever buffers exist and clears the record's pointers; the work
 * image stays open. */
void BinaryWorkFree(BinaryWork* work);

#ifdef __cplusplus
}
#endif

#endif
