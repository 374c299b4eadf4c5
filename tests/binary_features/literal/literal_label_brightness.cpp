/*
 * Label numbers as brightness: black features (mean <= 127.5, 8-connected)
 * that do not touch the image edge are numbered 1, 2, 3, ... in increasing
 * order of their label value, and each is painted red = n,
 * green = blue = ((n - 1) mod 100) + 1; the background becomes white.
 * When no feature is numbered, no result line is written.
 *
 * The number table has one entry per label value 0 .. last label. While
 * features are sorted out it holds -1 for a label seen on the edge and the
 * pixel count otherwise; afterwards the feature number (0 = none).
 */
#include "literal_scheme.h"

#include <math.h>

extern "C" {

const char gAboutText[] = "Set Feature Brightness to Label Numbers";

static const int32_t kEdgeLabel = -1;

/* 8-connected rule on the code left, up-left, up, up-right. */
static int32_t LabelBrightnessRule(BinaryWork* work, const BinaryNeighbours* n, int32_t* dying,
                                   int32_t* survivor, void*)
{
    int32_t code = 8 * (n->left != 0) + 4 * (n->upLeft != 0) + 2 * (n->up != 0) + (n->upRight != 0);
    switch (code) {
    case 0:
        return BinaryNewLabel(work);
    case 1:
    case 3:
    case 7:
    case 11:
    case 15:
        return n->upRight;
    case 2:
    case 6:
    case 10:
    case 14:
        return n->up;
    case 4:
    case 12:
        return n->upLeft;
    case 8:
        return n->left;
    case 5:
        if (n->upLeft != n->upRight) {
            *dying = n->upLeft;
            *survivor = n->upRight;
        }
        return n->upRight;
    default: /* 9, 13 */
        if (n->left != n->upRight) {
            *dying = n->left;
            *survivor = n->upRight;
        }
        return n->upRight;
    }
}

static Boolean BinariseProgress(int32_t y, int32_t height, void*)
{
    return TestAbortSetProgressBar((float)y / (float)height);
}

static void MarkEdge(int32_t* numbers, int32_t value)
{
    if (value != 0)
        numbers[value] = kEdgeLabel;
}

/* Drops the features touching the edge (their entries become 0) and gives
 * the others their numbers in increasing order of label value. Same result
 * as testing and counting label by label, in two passes over the image.
 * Returns the count of features numbered. */
static int32_t NumberFeatures(BinaryWork* work, int32_t* numbers)
{
    int32_t width = work->width;
    int32_t height = work->height;
    for (int32_t m = 0; m <= work->lastLabel; m++)
        numbers[m] = 0;

    for (int32_t k = 1; k <= height; k++) {
        ReadTempImageLine(work->image, k, work->current);
        if (k == 1 || k == height) {
            for (int32_t j = 1; j <= width; j++)
                MarkEdge(numbers, work->current[j]);
        } else {
            MarkEdge(numbers, work->current[1]);
            MarkEdge(numbers, work->current[width]);
        }
    }

    for (int32_t k = 1; k <= height; k++) {
        ReadTempImageLine(work->image, k, work->current);
        Boolean changed = false;
        for (int32_t j = 1; j <= width; j++) {
            int32_t v = work->current[j];
            if (v == 0)
                continue;
            if (numbers[v] == kEdgeLabel) {
                work->current[j] = 0;
                changed = true;
            } else {
                numbers[v]++;
            }
        }
        if (changed)
            WriteTempImageLine(work->image, k, work->current);
    }

    int32_t count = 0;
    for (int32_t m = 0; m <= work->lastLabel; m++)
        numbers[m] = numbers[m] > 0 ? ++count : 0;
    return count;
}

static void FeatureColour(int32_t number, RGB96* pixel)
{
    float n = (float)number;
    float cycle = n - 100.0f * floorf((n - 1.0f) / 100.0f);
    pixel->c[0] = n;
    pixel->c[1] = cycle;
    pixel->c[2] = cycle;
}

int32_t MainUserEntry(void)
{
    BinaryWork work;
    OSErr created = BinaryWorkSetUp(&work);
    if (created != noErr) {
        /* Without the work image nothing can be labelled: no result line. */
        BinaryWorkFree(&work);
        return created;
    }

    if (BinaryWorkBinarise(&work, kBinaryBlackFeature, BinariseProgress, nullptr)) {
        BinaryWorkFree(&work);
        return userCanceledErr;
    }
    BinaryWorkLabel(&work, LabelBrightnessRule, nullptr);

    int32_t* numbers = (int32_t*)CreateAPointer(work.lastLabel + 1, sizeof(int32_t));
    if (!numbers) {
        BinaryWorkFree(&work);
        return memFullErr;
    }
    if (NumberFeatures(&work, numbers) == 0) {
        DisposeAPointer(numbers);
        BinaryWorkFree(&work);
        return created;
    }

    int32_t height = work.height;
    for (int32_t y = 0; y < height; y++) {
        if (TestAbortSetProgressBar((float)(y + height) / (float)(2 * height))) {
            DisposeAPointer(numbers);
            BinaryWorkFree(&work);
            return userCanceledErr;
        }
        ReadTempImageLine(work.image, y + 1, work.current);
        for (int32_t x = 0; x < work.width; x++) {
            int32_t v = work.current[x + 1];
            if (v != 0) {
                FeatureColour(numbers[v], &work.pixels[x]);
            } else {
                work.pixels[x].c[0] = 255.0f;
                work.pixels[x].c[1] = 255.0f;
                work.pixels[x].c[2] = 255.0f;
            }
        }
        WriteResultLine(y, work.pixels);
    }

    DisposeAPointer(numbers);
    BinaryWorkFree(&work);
    return created;
}

}  // extern "C"
