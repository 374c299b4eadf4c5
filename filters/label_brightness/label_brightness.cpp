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

/* Host pixels of recently painted feature numbers, so a feature met on
 * many lines is coloured and converted once, not once per line. */
struct ColourCache {
    static constexpr int32_t kSlots = 256;
    int32_t number[kSlots];
    HostPixel colour[kSlots];
};

const HostPixel& NumberColour(ColourCache* cache, int32_t number)
{
    int32_t slot = number & (ColourCache::kSlots - 1);
    if (cache->number[slot] != number) {
        cache->number[slot] = number;
        RGB96 colour;
        if (number != 0) {
            FeatureColour(number, &colour);
        } else { /* edge features and background */
            colour.c[0] = 255.0f;
            colour.c[1] = 255.0f;
            colour.c[2] = 255.0f;
        }
        ResultPixel(&colour, &cache->colour[slot]);
    }
    return cache->colour[slot];
}

/* A line of labels (from work column 1) as runs of one colour: stretches of
 * one label, background included, found from where the label changes. A
 * line has at most `width` runs. Returns their count. */
int32_t LineRuns(const int32_t* line, int32_t width, const int32_t* numbers, ColourCache* cache,
                 uint64_t* changes, HostPixel* colours, int32_t* ends)
{
    if (width <= 0)
        return 0;
    BinaryLabelChanges(line, width, changes);
    changes[0] &= ~uint64_t{1}; /* the line's first pixel starts its run anyway */
    int32_t count = 0;
    int32_t start = 0;
    for (int32_t w = 0; w * 64 < width; w++) {
        for (uint64_t word = changes[w]; word != 0; word &= word - 1) {
            int32_t x = w * 64 + __builtin_ctzll(word);
            colours[count] = NumberColour(cache, numbers[line[start]]);
            ends[count++] = x;
            start = x;
        }
    }
    if (start < width) {
        colours[count] = NumberColour(cache, numbers[line[start]]);
        ends[count++] = width;
    }
    return count;
}

/* Writes every line; false when cancelled. The pixel line and the spare
 * label line hold the runs. */
bool WriteNumberedLines(BinaryWork* work, const int32_t* numbers)
{
    int32_t height = work->height;
    int32_t width = work->width;
    static_assert(sizeof(HostPixel) <= sizeof(RGB96), "a run's colour fits a pixel's place");
    HostPixel* colours = reinterpret_cast<HostPixel*>(work->pixels);
    int32_t* ends = work->previous;
    ColourCache cache;
    for (int32_t i = 0; i < ColourCache::kSlots; i++)
        cache.number[i] = -1;
    for (int32_t y = 0; y < height; y++) {
        if (TestAbortSetProgressBar((float)(y + height) / (float)(2 * height)))
            return false;
        const int32_t* line = BinaryWorkLine(work, y + 1, work->current) + 1;
        int32_t count = LineRuns(line, width, numbers, &cache, work->bits, colours, ends);
        WriteResultLineRuns(y, colours, ends, count);
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
