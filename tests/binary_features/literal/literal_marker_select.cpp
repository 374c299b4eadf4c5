/*
 * marker_select: keeps the black features of the current image that a dark
 * mark of the reference image touches, and erases the rest.
 *
 * Seeds are the pixels where current and reference are dark together (the
 * two pixel means add up to less than 255). The seeds then grow through the
 * dark pixels of the current image, 8-connected, in repeated raster passes
 * over the work image "Bin" (one 32-bit integer a pixel, 1 = selected).
 * Each pass rewrites the work image line by line in place: a line already
 * rewritten is the upper neighbour of the next, so growth runs downward
 * through a feature in one pass, while it moves sideways and upward by one
 * pixel a pass. Passes stop when one changes nothing, or after 1000.
 *
 * Invariant: the outer lines and columns are never grown into; there only
 * the seeds are selected.
 */
#include "filter_framework.h"
#include "literal_scheme.h"

extern "C" const char gAboutText[] = "Reference Image Markers Select Features";

namespace {

constexpr int32_t kMaxPasses = 1000;

struct MarkerBuffers {
    RGB96* pixels;
    RGB96* refPixels;
    int32_t* previous;
    int32_t* current;
    int32_t* next;
    int32_t* output;
};

void DisposeIfTaken(void* block)
{
    if (block != nullptr)
        DisposeAPointer(block);
}

void FreeMarkerBuffers(MarkerBuffers* b)
{
    DisposeIfTaken(b->pixels);
    DisposeIfTaken(b->refPixels);
    DisposeIfTaken(b->previous);
    DisposeIfTaken(b->current);
    DisposeIfTaken(b->next);
    DisposeIfTaken(b->output);
}

/* Seeds: dark in the current image and in the reference together. */
void WriteSeeds(NamedImage* bin, int32_t width, int32_t height, MarkerBuffers* b)
{
    for (int32_t y = 0; y < height; y++) {
        ReadRefImageLine(y, b->refPixels);
        ReadOriginalLine(y, b->pixels);
        for (int32_t x = 0; x < width; x++) {
            float mc = BinaryPixelMean(&b->pixels[x]);
            float mr = BinaryPixelMean(&b->refPixels[x]);
            b->output[x] = (mc + mr < 255.0f) ? 1 : 0;
        }
        WriteTempImageLine(bin, y, b->output);
    }
}

/* One growth pass over the inner lines and columns; true when any pixel
 * was newly selected. */
bool GrowOnePass(NamedImage* bin, int32_t width, int32_t height, MarkerBuffers* b)
{
    bool changed = false;
    for (int32_t j = 1; j < height - 1; j++) {
        ReadOriginalLine(j, b->pixels);
        ReadTempImageLine(bin, j - 1, b->previous);
        ReadTempImageLine(bin, j, b->current);
        ReadTempImageLine(bin, j + 1, b->next);
        const int32_t* p = b->previous;
        const int32_t* c = b->current;
        const int32_t* n = b->next;
        int32_t* out = b->output;
        for (int32_t x = 0; x < width; x++)
            out[x] = c[x];
        for (int32_t x = 1; x < width - 1; x++) {
            if (c[x] == 1)
                continue;
            bool touched = p[x - 1] == 1 || p[x] == 1 || p[x + 1] == 1 || c[x - 1] == 1 ||
                           c[x + 1] == 1 || n[x - 1] == 1 || n[x] == 1 || n[x + 1] == 1;
            if (!touched)
                continue;
            if (BinaryPixelMean(&b->pixels[x]) < kBinaryThreshold) {
                out[x] = 1;
                changed = true;
            } else {
                out[x] = 0;
            }
        }
        WriteTempImageLine(bin, j, out);
    }
    return changed;
}

/* Selected pixels black, everything else white. */
void WriteSelection(NamedImage* bin, int32_t width, int32_t height, MarkerBuffers* b)
{
    for (int32_t y = 0; y < height; y++) {
        ReadTempImageLine(bin, y, b->current);
        for (int32_t x = 0; x < width; x++) {
            float v = b->current[x] == 1 ? 0.0f : 255.0f;
            b->pixels[x].c[0] = v;
            b->pixels[x].c[1] = v;
            b->pixels[x].c[2] = v;
        }
        WriteResultLine(y, b->pixels);
    }
}

}  // namespace

extern "C" int32_t MainUserEntry(void)
{
    int32_t width = 0, height = 0, refWidth = 0, refHeight = 0;
    GetOriginalDimensions(&width, &height);
    GetRefDimensions(&refWidth, &refHeight);
    if (height != refHeight || width != refWidth) {
        ErrorMessage("Dimensions of current image and reference image do not match.");
        return userCanceledErr;
    }

    MarkerBuffers b;
    b.pixels = static_cast<RGB96*>(CreateAPointer(width, sizeof(RGB96)));
    b.refPixels = static_cast<RGB96*>(CreateAPointer(width, sizeof(RGB96)));
    b.previous = static_cast<int32_t*>(CreateAPointer(width, sizeof(int32_t)));
    b.current = static_cast<int32_t*>(CreateAPointer(width, sizeof(int32_t)));
    b.next = static_cast<int32_t*>(CreateAPointer(width, sizeof(int32_t)));
    b.output = static_cast<int32_t*>(CreateAPointer(width, sizeof(int32_t)));
    if (!b.pixels || !b.refPixels || !b.previous || !b.current || !b.next || !b.output) {
        FreeMarkerBuffers(&b);
        return memFullErr;
    }

    /* Without its work image the filter has nothing to grow in: it writes
     * no result and hands back the creation's code. */
    NamedImage* bin = nullptr;
    OSErr created = MakeTemporaryImage(static_cast<uint16_t>(width), static_cast<uint16_t>(height),
                                       4, "Bin", &bin);
    if (created != noErr) {
        FreeMarkerBuffers(&b);
        return created;
    }

    WriteSeeds(bin, width, height, &b);

    int32_t passes = 0;
    for (;;) {
        bool changed = GrowOnePass(bin, width, height, &b);
        passes++;
        if (TestAbortSetProgressBar(static_cast<float>(passes) / static_cast<float>(kMaxPasses))) {
            FreeMarkerBuffers(&b);
            return userCanceledErr;
        }
        if (!changed || passes >= kMaxPasses)
            break;
    }

    WriteSelection(bin, width, height, &b);
    FreeMarkerBuffers(&b);
    return created;
}
