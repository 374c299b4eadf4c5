/*
 * Label numbers as brightness: black features (mean <= 127.5, 8-connected)
 * that do not touch the image edge are numbered 1, 2, 3, ... in increasing
 * order of their label value, and each is painted red = n,
 * green = blue = ((n - 1) mod 100) + 1; the background becomes white.
 * When no feature is numbered, no result line is written.
 *
 * The number table has one entry per label value 0 .. last label. It is
 * built from the label table in one pass: edge features are marked on
 * their root, roots are numbered in increasing order, and every other label
 * takes its root's number, so a pixel's number is numbers[its label].
 */
#include "binary_features.h"

#include <math.h>

extern "C" const char gAboutText[] = "Set Feature Brightness to Label Numbers";

namespace {

const int32_t kEdgeLabel = -1;

/* 8-connected on left, up-left, up and up-right. Pixel by pixel: a pixel
 * with a labelled pixel above takes it; else one with an up-right neighbour
 * takes that, and a labelled up-left or left neighbour dies into it; else it
 * takes up-left, then left, then a new label. Along a run that is: a new
 * label when nothing above touches the run's first pixel, then, for each
 * run above that the run touches (columns start - 1 .. end + 1) in order,
 * the label so far dies into that run's label. */
struct LabelBrightnessRule {
    int32_t LabelRun(BinaryWork* work, const BinaryRuns* above, int32_t* cursor, int32_t start,
                     int32_t end, Boolean)
    {
        int32_t i = *cursor;
        while (i < above->count && above->end[i] < start - 1)
            i++;
        *cursor = i;
        int32_t label = 0;
        if (i == above->count || above->start[i] > start + 1)
            label = BinaryNewLabel(work);
        for (; i < above->count && above->start[i] <= end + 1; i++) {
            int32_t next = above->label[i];
            if (label != 0 && label != next)
                BinaryMeet(work->parent, label, next);
            label = next;
        }
        return label;
    }
};

Boolean BinariseProgress(int32_t y, int32_t height, void*)
{
    return TestAbortSetProgressBar((float)y / (float)height);
}

/* Marks the root of every label on the image edge. */
void MarkEdgeFeatures(BinaryWork* work, int32_t* numbers)
{
    const int32_t* parent = work->parent;
    int32_t width = work->width;
    for (int32_t k = 1; k <= work->height; k++) {
        const int32_t* line = BinaryWorkLine(work, k, work->current);
        if (k == 1 || k == work->height) {
            for (int32_t j = 1; j <= width; j++)
                if (line[j] != 0)
                    numbers[parent[line[j]]] = kEdgeLabel;
        } else {
            if (line[1] != 0)
                numbers[parent[line[1]]] = kEdgeLabel;
            if (line[width] != 0)
                numbers[parent[line[width]]] = kEdgeLabel;
        }
    }
}

/* Numbers the surviving labels away from the edge in increasing order and
 * gives every label its root's number (0 = none). Every root labels at least
 * one pixel. Returns the count of features numbered. */
int32_t NumberFeatures(BinaryWork* work, int32_t* numbers)
{
    const int32_t* parent = work->parent;
    for (int32_t m = 0; m <= work->lastLabel; m++)
        numbers[m] = 0;
    MarkEdgeFeatures(work, numbers);
    int32_t count = 0;
    for (int32_t m = 2; m <= work->lastLabel; m++)
        if (parent[m] == m)
            numbers[m] = numbers[m] == kEdgeLabel ? 0 : ++count;
    for (int32_t m = 2; m <= work->lastLabel; m++)
        if (parent[m] != m)
            numbers[m] = numbers[parent[m]];
    return count;
}

void FeatureColour(int32_t number, RGB96* pixel)
{
    float n = (float)number;
    float cycle = n - 100.0f * floorf((n - 1.0f) / 100.0f);
    pixel->c[0] = n;
    pixel->c[1] = cycle;
    pixel->c[2] = cycle;
}

/* Colours of recently painted feature numbers, so a feature met on many
 * lines is coloured once, not once per line. */
struct ColourCache {
    static constexpr int32_t kSlots = 256;
    int32_t number[kSlots];
    RGB96 colour[kSlots];
};

const RGB96& NumberColour(ColourCache* cache, int32_t number)
{
    int32_t slot = number & (ColourCache::kSlots - 1);
    if (cache->number[slot] != number) {
        cache->number[slot] = number;
        if (number != 0) {
            FeatureColour(number, &cache->colour[slot]);
        } else { /* edge features and background */
            cache->colour[slot].c[0] = 255.0f;
            cache->colour[slot].c[1] = 255.0f;
            cache->colour[slot].c[2] = 255.0f;
        }
    }
    return cache->colour[slot];
}

/* Background stretches are filled as plain floats, each run of one label
 * with its feature's colour. */
void PaintLine(const int32_t* line, int32_t width, const int32_t* numbers, ColourCache* cache,
               RGB96* pixels)
{
    int32_t x = 0;
    while (x < width) {
        int32_t end = x;
        while (end + 8 <= width &&
               (line[end] | line[end + 1] | line[end + 2] | line[end + 3] | line[end + 4] |
                line[end + 5] | line[end + 6] | line[end + 7]) == 0)
            end += 8;
        while (end < width && line[end] == 0)
            end++;
        float* background = pixels[x].c;
        for (int32_t i = 0; i < 3 * (end - x); i++)
            background[i] = 255.0f;
        x = end;
        if (x == width)
            break;
        int32_t v = line[x];
        while (end < width && line[end] == v)
            end++;
        const RGB96 colour = NumberColour(cache, numbers[v]);
        for (; x < end; x++)
            pixels[x] = colour;
    }
}

/* Writes every line; false when cancelled. */
bool WriteNumberedLines(BinaryWork* work, const int32_t* numbers)
{
    int32_t height = work->height;
    int32_t width = work->width;
    ColourCache cache;
    for (int32_t i = 0; i < ColourCache::kSlots; i++)
        cache.number[i] = -1;
    for (int32_t y = 0; y < height; y++) {
        if (TestAbortSetProgressBar((float)(y + height) / (float)(2 * height)))
            return false;
        const int32_t* line = BinaryWorkLine(work, y + 1, work->current) + 1;
        PaintLine(line, width, numbers, &cache, work->pixels);
        WriteResultLine(y, work->pixels);
    }
    return true;
}

}  // namespace

extern "C" int32_t MainUserEntry(void)
{
    BinaryWork work;
    OSErr created = BinaryWorkSetUp(&work);
    if (created != noErr) {
        /* Without the work image nothing can be labelled: no result line. */
        BinaryWorkFree(&work);
        return created;
    }

    LabelBrightnessRule rule;
    OSErr labelled = BinaryWorkLabel(&work, kBinaryBlackFeature, BinariseProgress, nullptr, rule);
    if (labelled != noErr) {
        BinaryWorkFree(&work);
        return labelled;
    }
    BinaryWorkResolve(&work);

    int32_t* numbers = (int32_t*)CreateAPointer(work.lastLabel + 1, sizeof(int32_t));
    if (!numbers) {
        BinaryWorkFree(&work);
        return memFullErr;
    }
    OSErr result = created;
    if (NumberFeatures(&work, numbers) > 0 && !WriteNumberedLines(&work, numbers))
        result = userCanceledErr;

    DisposeAPointer(numbers);
    BinaryWorkFree(&work);
    return result;
}
