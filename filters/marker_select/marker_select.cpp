/*
 * marker_select: keeps the black features of the current image that a dark
 * mark of the reference image touches, and erases the rest.
 *
 * Seeds are the pixels where current and reference are dark together (the
 * two pixel means add up to less than 255). The seeds grow through the dark
 * pixels of the current image, 8-connected, in raster passes that rewrite
 * the work image line by line in place: a line already rewritten is the
 * upper neighbour of the next, so growth runs downward through a feature
 * within a pass, while it moves sideways and upward by one pixel a pass.
 * Passes stop when one changes nothing, or after 1000. The outer lines and
 * columns are never grown into; there only the seeds are selected.
 *
 * The pass in which each pixel is selected follows from that order alone:
 * a step from a selected pixel to a dark neighbour below it costs no pass,
 * a step sideways or upward costs one, and so does any step out of a seed
 * (seeds are there before the first pass). So the filter computes that
 * pass directly, as a shortest path from the seeds with steps of 0 and 1,
 * in breadth-first layers: layer p holds the pixels selected in pass p. It
 * then reports the progress of every pass the passes would have run (one
 * more than the last layer, at most 1000) and writes the pixels of layers
 * 0 to 1000.
 *
 * The work image "Bin" (one 32-bit integer a pixel) holds each pixel's
 * layer, or kUnreached / kClosed.
 */
#include <string.h>

#include "binary_features.h"
#include "filter_framework.h"

extern "C" const char gAboutText[] = "Reference Image Markers Select Features";

namespace {

constexpr int32_t kMaxPasses = 1000;
constexpr int32_t kUnreached = -1; /* dark, inside the outer lines, not selected yet */
constexpr int32_t kClosed = -2;    /* never selected by growth */

struct MarkerBuffers {
    RGB96* pixels;
    RGB96* refPixels;
    int32_t* layers; /* the work image's pixels, or a block standing in for its file */
    bool layersTaken;
    uint32_t* queue; /* selected pixels in order of their layer */
    uint32_t queueCapacity;
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
    if (b->layersTaken)
        DisposeIfTaken(b->layers);
    DisposeIfTaken(b->queue);
}

/* Seeds are layer 0; dark pixels inside the outer lines and columns may be
 * reached; the rest is closed. */
void MarkSeeds(int32_t width, int32_t height, MarkerBuffers* b)
{
    for (int32_t y = 0; y < height; y++) {
        ReadRefImageLine(y, b->refPixels);
        ReadOriginalLine(y, b->pixels);
        int32_t* line = b->layers + static_cast<size_t>(y) * static_cast<size_t>(width);
        bool innerLine = y > 0 && y < height - 1;
        for (int32_t x = 0; x < width; x++) {
            float mc = BinaryPixelMean(&b->pixels[x]);
            float mr = BinaryPixelMean(&b->refPixels[x]);
            bool inner = innerLine && x > 0 && x < width - 1;
            if (mc + mr < 255.0f)
                line[x] = 0;
            else
                line[x] = inner && mc < kBinaryThreshold ? kUnreached : kClosed;
        }
    }
}

/* Appends a pixel to the queue, growing it; false when it cannot grow. */
bool Enqueue(MarkerBuffers* b, uint32_t* count, uint32_t pixel)
{
    if (*count == b->queueCapacity) {
        uint64_t capacity = b->queueCapacity ? 2ull * b->queueCapacity : 4096;
        if (capacity > 0x7FFFFFFFull)
            capacity = 0x7FFFFFFF;
        if (capacity <= *count)
            return false;
        uint32_t* larger = static_cast<uint32_t*>(
            CreateAPointer(static_cast<int32_t>(capacity), sizeof(uint32_t)));
        if (larger == nullptr)
            return false;
        if (b->queue != nullptr) {
            memcpy(larger, b->queue, sizeof(uint32_t) * *count);
            DisposeAPointer(b->queue);
        }
        b->queue = larger;
        b->queueCapacity = static_cast<uint32_t>(capacity);
    }
    b->queue[(*count)++] = pixel;
    return true;
}

/* Puts a reachable neighbour into layer p. */
inline bool Reach(MarkerBuffers* b, uint32_t* count, uint32_t pixel, int32_t p)
{
    if (b->layers[pixel] != kUnreached)
        return true;
    b->layers[pixel] = p;
    return Enqueue(b, count, pixel);
}

/* Layer 0 to layer 1: one step in any direction out of a seed. Seeds may
 * lie on the outer lines and columns, so their neighbours are checked for
 * the image's sides. */
bool StepOutOfSeeds(int32_t width, int32_t height, MarkerBuffers* b, uint32_t seeds,
                    uint32_t* count)
{
    uint32_t w = static_cast<uint32_t>(width);
    for (uint32_t i = 0; i < seeds; i++) {
        uint32_t q = b->queue[i];
        int32_t x = static_cast<int32_t>(q % w), y = static_cast<int32_t>(q / w);
        for (int32_t ny = y - 1; ny <= y + 1; ny++)
            for (int32_t nx = x - 1; nx <= x + 1; nx++) {
                if (ny < 0 || ny >= height || nx < 0 || nx >= width)
                    continue;
                if (!Reach(b, count, static_cast<uint32_t>(ny) * w + static_cast<uint32_t>(nx), 1))
                    return false;
            }
    }
    return true;
}

/* Layer p - 1 to layer p: one step in any direction. Pixels of layers from
 * 1 up lie inside the outer lines and columns, so all eight neighbours
 * exist. */
bool StepOutOfLayer(int32_t width, MarkerBuffers* b, uint32_t start, uint32_t end, int32_t p,
                    uint32_t* count)
{
    uint32_t w = static_cast<uint32_t>(width);
    for (uint32_t i = start; i < end; i++) {
        uint32_t q = b->queue[i];
        const uint32_t neighbours[8] = {q - w - 1, q - w,     q - w + 1, q - 1,
                                        q + 1,     q + w - 1, q + w,     q + w + 1};
        for (uint32_t n : neighbours)
            if (!Reach(b, count, n, p))
                return false;
    }
    return true;
}

/* Grows layer by layer; returns the number of passes the raster passes run
 * (one past the last layer, at most 1000), or -1 when the queue cannot grow.
 * Only pixels marked kUnreached are ever reached. */
int32_t GrowLayers(int32_t width, int32_t height, MarkerBuffers* b)
{
    uint32_t count = 0;
    uint32_t total = static_cast<uint32_t>(width) * static_cast<uint32_t>(height);
    for (uint32_t i = 0; i < total; i++)
        if (b->layers[i] == 0 && !Enqueue(b, &count, i))
            return -1;

    uint32_t w = static_cast<uint32_t>(width);
    uint32_t layerStart = 0;
    for (int32_t p = 1; p <= kMaxPasses; p++) {
        uint32_t layerEnd = count;
        bool stepped = p == 1 ? StepOutOfSeeds(width, height, b, layerEnd, &count)
                              : StepOutOfLayer(width, b, layerStart, layerEnd, p, &count);
        if (!stepped)
            return -1;
        /* Then downward within the pass, from every pixel of layer p. */
        for (uint32_t i = layerEnd; i < count; i++) {
            uint32_t below = b->queue[i] + w;
            if (!Reach(b, &count, below - 1, p) || !Reach(b, &count, below, p) ||
                !Reach(b, &count, below + 1, p))
                return -1;
        }
        if (count == layerEnd)
            return p; /* this pass changed nothing */
        layerStart = layerEnd;
    }
    return kMaxPasses;
}

/* Selected pixels black, everything else white. */
void WriteSelection(int32_t width, int32_t height, MarkerBuffers* b)
{
    for (int32_t y = 0; y < height; y++) {
        const int32_t* line = b->layers + static_cast<size_t>(y) * static_cast<size_t>(width);
        for (int32_t x = 0; x < width; x++) {
            float v = line[x] >= 0 ? 0.0f : 255.0f;
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

    MarkerBuffers b = {};
    b.pixels = static_cast<RGB96*>(CreateAPointer(width, sizeof(RGB96)));
    b.refPixels = static_cast<RGB96*>(CreateAPointer(width, sizeof(RGB96)));
    if (!b.pixels || !b.refPixels) {
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
    /* The layers are worked on in place in a work image held in memory; a
     * work image in a file is stood in for by a block of its size. */
    b.layers = static_cast<int32_t*>(bin->data);
    if (b.layers == nullptr) {
        b.layers = static_cast<int32_t*>(CreateAPointer(height, width * 4));
        b.layersTaken = true;
        if (b.layers == nullptr) {
            FreeMarkerBuffers(&b);
            return memFullErr;
        }
    }

    MarkSeeds(width, height, &b);
    int32_t passes = GrowLayers(width, height, &b);
    if (passes < 0) {
        FreeMarkerBuffers(&b);
        return memFullErr;
    }
    for (int32_t pass = 1; pass <= passes; pass++) {
        if (TestAbortSetProgressBar(static_cast<float>(pass) / static_cast<float>(kMaxPasses))) {
            FreeMarkerBuffers(&b);
            return userCanceledErr;
        }
    }

    WriteSelection(width, height, &b);
    FreeMarkerBuffers(&b);
    return created;
}
