/*
 * Cross-correlation of each colour channel of the current image with the
 * same channel of the stored reference image, by two-dimensional FFT.
 *
 * The N x N complex data lives in six temporary images (three channels of
 * the image, three of the reference). The result is the circular
 * cross-correlation surface, shifted so that zero displacement lies at the
 * centre and mapped by one min and max, shared by the three channels, onto
 * 0 to 255. The temporary images are released by the framework's shut-down,
 * never here.
 *
 * Lines and columns are transformed kFFTBatchLines at a time, one per SIMD
 * lane, every value through the same operations as FFT_CT on its own line
 * or column, so the bytes are those of one line or column at a time:
 * - the image's and the reference's lines are transformed as they are read,
 *   sixteen lines of each channel at once, and stored transformed;
 * - per channel, the reference's columns are transformed, then the image's,
 *   each block of them multiplied by the conjugate of the reference's at
 *   once; then the inverse, lines first, columns with the extremes taken in
 *   column order;
 * - images held in memory are worked on where they lie (lines transposed
 *   into batches and back, columns as runs of neighbouring samples on every
 *   line); images held in files go through the line and column calls.
 */
#include "fft.h"
#include "filter_framework.h"

const char gAboutText[] = "Cross-Correlate Current Image with Reference Image";

enum { kChannels = 3, kSmallestSize = 32, kLargestSize = 32768 };
enum { kUserCancelled = -128 };
enum { kLanes = kFFTBatchLines, kMostBatches = 4 };

static const char* const kTempImageNames[2 * kChannels] = {
    "Red FFT", "Green FFT", "Blue FFT", "ref Red FFT", "ref Green FFT", "ref Blue FFT",
};

/* A temporary image and, when it is held in memory, its pixels. */
typedef struct TempImage {
    NamedImage* id;
    COMPLEX64* pixels;
} TempImage;

/* Everything a run holds: line buffers, batches and the six images (the
 * current image's channels first, then the reference's). */
typedef struct Workspace {
    int32_t n;
    int32_t batches;    /* batches in a block: up to kMostBatches */
    size_t batchFloats; /* floats in a batch: 2 * n * kLanes */
    RGB96* pixels;      /* one line of the host image or the reference */
    COMPLEX64* line;    /* one line of an image held in a file */
    COMPLEX64* staging; /* a block's lines or columns of an image in a file */
    float* block;       /* the batches being transformed */
    float* partner;     /* the reference's spectrum for the same columns */
    float* channels;    /* kLanes lines of the three channels, a batch each */
    TempImage images[2 * kChannels];
} Workspace;

/* The running extremes of the correlation surface, shared by the channels. */
typedef struct Range {
    float min;
    float max;
} Range;

// ---- Sizes ---------------------------------------------------------------

// The transform size: the smallest power of two from 32 up that holds the
// largest dimension, 32768 at most.
static int32_t TransformSize(int32_t largest)
{
    int32_t n = kSmallestSize;
    while (n < largest && n < kLargestSize)
        n *= 2;
    return n;
}

// The transform size, or 0 after the message that refuses the sizes.
static int32_t CheckedSize(void)
{
    int32_t width = 0, height = 0, refWidth = 0, refHeight = 0;
    GetOriginalDimensions(&width, &height);
    GetRefDimensions(&refWidth, &refHeight);

    int32_t largest = width;
    if (height > largest)
        largest = height;
    if (refWidth > largest)
        largest = refWidth;
    if (refHeight > largest)
        largest = refHeight;
    int32_t n = TransformSize(largest);

    if (width != height) {
        ErrorMessage("Image must be SQUARE, at least 32x32, a power-of-two in size, and the same "
                     "size as the reference image");
        return 0;
    }
    if (refWidth != refHeight) {
        ErrorMessage("Image must be SQUARE, at least 32x32, a power-of-two in size, and the SAME "
                     "SIZE as the reference image");
        return 0;
    }
    if (height != n || refWidth != width) {
        ErrorMessage("Image must be square, at least 32x32, a power-of-two in size, and the same "
                     "size as the reference image");
        return 0;
    }
    return n;
}

// ---- Buffers and images --------------------------------------------------

static void* Allocate(int32_t count, int32_t elementSize, bool* ok)
{
    void* block = CreateAPointer(count, elementSize);
    if (block == nullptr)
        *ok = false;
    return block;
}

// A block is as many batches as fit the size, up to kMostBatches: columns
// are then read a few cache lines a line at a time rather than one.
static bool AllocateBuffers(Workspace* w)
{
    const int32_t n = w->n;
    w->batches = n / kLanes < kMostBatches ? n / kLanes : kMostBatches;
    w->batchFloats = (size_t)2 * n * kLanes;
    const int32_t blockSamples = n * kLanes * w->batches;
    bool ok = true;
    w->pixels = (RGB96*)Allocate(n, sizeof(RGB96), &ok);
    w->line = (COMPLEX64*)Allocate(n, sizeof(COMPLEX64), &ok);
    w->staging = (COMPLEX64*)Allocate(blockSamples, sizeof(COMPLEX64), &ok);
    w->block = (float*)Allocate(blockSamples, sizeof(COMPLEX64), &ok);
    w->partner = (float*)Allocate(blockSamples, sizeof(COMPLEX64), &ok);
    w->channels = (float*)Allocate(n * kLanes * kChannels, sizeof(COMPLEX64), &ok);
    return ok;
}

static void FreeBuffers(Workspace* w)
{
    void* blocks[] = {w->channels, w->partner, w->block, w->staging, w->line, w->pixels};
    for (void* block : blocks) {
        if (block != nullptr)
            DisposeAPointer(block);
    }
}

// Makes the six images in order; a failure leaves the rest unmade.
static bool MakeImages(Workspace* w)
{
    for (int i = 0; i < 2 * kChannels; i++) {
        TempImage* image = &w->images[i];
        if (MakeTemporaryImage((uint16_t)w->n, (uint16_t)w->n, 8, kTempImageNames[i], &image->id) !=
            0)
            return false;
        image->pixels = (COMPLEX64*)GetTempImagePixels(image->id);
    }
    return true;
}

// ---- Lines and batches of an image ----------------------------------------

static const COMPLEX64* ReadLine(Workspace* w, const TempImage* image, int32_t y)
{
    if (image->pixels != nullptr)
        return image->pixels + (size_t)y * w->n;
    ReadTempImageLine(image->id, y, w->line);
    return w->line;
}

// A block's lines, each kLanes of them n samples from first + l * n on,
// into the block's batches in bit-reversed order.
static void TransposeBlockIn(const Workspace* w, const COMPLEX64* first, float* block)
{
    for (int32_t b = 0; b < w->batches; b++)
        FFTBatchLoadLines(first + (size_t)b * kLanes * w->n, w->n, w->n, 1,
                          block + b * w->batchFloats);
}

static void TransposeBlockOut(const Workspace* w, const float* block, COMPLEX64* first)
{
    for (int32_t b = 0; b < w->batches; b++)
        FFTBatchStoreLines(block + b * w->batchFloats, w->n, first + (size_t)b * kLanes * w->n,
                           w->n);
}

static int32_t BlockLines(const Workspace* w)
{
    return w->batches * kLanes;
}

// Lines y0 .. y0 + BlockLines - 1 into a block, in bit-reversed order.
static void LoadLines(Workspace* w, const TempImage* image, int32_t y0, float* block)
{
    if (image->pixels != nullptr) {
        TransposeBlockIn(w, image->pixels + (size_t)y0 * w->n, block);
        return;
    }
    for (int32_t l = 0; l < BlockLines(w); l++)
        ReadTempImageLine(image->id, y0 + l, w->staging + (size_t)l * w->n);
    TransposeBlockIn(w, w->staging, block);
}

static void StoreLines(Workspace* w, const TempImage* image, int32_t y0, const float* block)
{
    if (image->pixels != nullptr) {
        TransposeBlockOut(w, block, image->pixels + (size_t)y0 * w->n);
        return;
    }
    TransposeBlockOut(w, block, w->staging);
    for (int32_t l = 0; l < BlockLines(w); l++)
        WriteTempImageLine(image->id, y0 + l, w->staging + (size_t)l * w->n);
}

// Columns x0 .. x0 + BlockLines - 1 into a block, in bit-reversed order
// for a transform or in natural order for the reference's spectrum.
static void LoadColumns(Workspace* w, const TempImage* image, int32_t x0, uint8_t reordered,
                        float* block)
{
    if (image->pixels != nullptr) {
        FFTBatchLoadRuns(image->pixels + x0, w->n, w->n, w->batches, reordered, block);
        return;
    }
    for (int32_t l = 0; l < BlockLines(w); l++)
        ReadTempImageColumn(image->id, x0 + l, w->staging + (size_t)l * w->n);
    for (int32_t b = 0; b < w->batches; b++)
        FFTBatchLoadLines(w->staging + (size_t)b * kLanes * w->n, w->n, w->n, reordered,
                          block + b * w->batchFloats);
}

static void StoreColumns(Workspace* w, const TempImage* image, int32_t x0, const float* block)
{
    if (image->pixels != nullptr) {
        FFTBatchStoreRuns(block, w->n, w->batches, image->pixels + x0, w->n);
        return;
    }
    TransposeBlockOut(w, block, w->staging);
    for (int32_t l = 0; l < BlockLines(w); l++)
        WriteTempImageColumn(image->id, x0 + l, w->staging + (size_t)l * w->n);
}

// Every batch of a block, loaded in bit-reversed order, through the rest of
// FFT_CT's transform.
static void TransformBlock(const Workspace* w, uint8_t forward, float* block)
{
    for (int32_t b = 0; b < w->batches; b++)
        FFTBatchReordered(forward, block + b * w->batchFloats, w->n);
}

// ---- Steps ---------------------------------------------------------------

// Puts the three channels of the pixel line into lane `lane` of the
// channels' batches, as real samples: the imaginary parts are 0.
static void SpreadChannels(Workspace* w, int32_t lane)
{
    for (int c = 0; c < kChannels; c++) {
        float* re = w->channels + c * w->batchFloats + lane;
        for (int32_t x = 0; x < w->n; x++) {
            re[2 * x * kLanes] = w->pixels[x].c[c];
            re[(2 * x + 1) * kLanes] = 0.0f;
        }
    }
}

// Transforms the kLanes lines y0 .. y0 + kLanes - 1 gathered in the
// channels' batches and stores them as those lines of the three images.
static void TransformChannelLines(Workspace* w, const TempImage* images, int32_t y0)
{
    const int32_t n = w->n;
    for (int c = 0; c < kChannels; c++) {
        float* batch = w->channels + c * w->batchFloats;
        FFTBatch(1, batch, n);
        if (images[c].pixels != nullptr) {
            FFTBatchStoreLines(batch, n, images[c].pixels + (size_t)y0 * n, n);
            continue;
        }
        FFTBatchStoreLines(batch, n, w->staging, n);
        for (int32_t l = 0; l < kLanes; l++)
            WriteTempImageLine(images[c].id, y0 + l, w->staging + (size_t)l * n);
    }
}

// The current image's channels, as real samples, every line already
// through the forward transform; false when cancelled.
static bool StoreImage(Workspace* w)
{
    const int32_t n = w->n;
    for (int32_t y = 0; y < n; y++) {
        if (TestAbortSetProgressBar((float)y / (float)n / 10.0f))
            return false;
        ReadOriginalLine(y, w->pixels);
        SpreadChannels(w, y % kLanes);
        if (y % kLanes == kLanes - 1)
            TransformChannelLines(w, w->images, y - (kLanes - 1));
    }
    return true;
}

// The reference's channels likewise, without progress or cancel.
static void StoreReference(Workspace* w)
{
    const int32_t n = w->n;
    for (int32_t y = 0; y < n; y++) {
        ReadRefImageLine(y, w->pixels);
        SpreadChannels(w, y % kLanes);
        if (y % kLanes == kLanes - 1)
            TransformChannelLines(w, w->images + kChannels, y - (kLanes - 1));
    }
}

// Every line of the image through FFT_CT's transform, a block at a time.
static void TransformLines(Workspace* w, const TempImage* image, uint8_t forward)
{
    for (int32_t y0 = 0; y0 < w->n; y0 += BlockLines(w)) {
        LoadLines(w, image, y0, w->block);
        TransformBlock(w, forward, w->block);
        StoreLines(w, image, y0, w->block);
    }
}

// The forward transform of every column of an image whose lines are
// transformed already.
static void ForwardColumns(Workspace* w, const TempImage* image)
{
    for (int32_t x0 = 0; x0 < w->n; x0 += BlockLines(w)) {
        LoadColumns(w, image, x0, 1, w->block);
        TransformBlock(w, 1, w->block);
        StoreColumns(w, image, x0, w->block);
    }
}

// The forward transform of the columns of the image's channel (its lines
// are transformed already); each column then becomes the cross-power
// spectrum with the reference's transformed channel: each sample times the
// conjugate of the reference's.
static void ForwardCrossPower(Workspace* w, const TempImage* image, const TempImage* reference)
{
    for (int32_t x0 = 0; x0 < w->n; x0 += BlockLines(w)) {
        LoadColumns(w, image, x0, 1, w->block);
        TransformBlock(w, 1, w->block);
        LoadColumns(w, reference, x0, 0, w->partner);
        for (int32_t b = 0; b < w->batches; b++)
            FFTBatchConjugateProduct(w->block + b * w->batchFloats, w->partner + b * w->batchFloats,
                                     w->n);
        StoreColumns(w, image, x0, w->block);
    }
}

// Widens the range by the real parts of the first `count` samples of each
// column of a batch, column by column and from the top, so the first of
// equal extremes (+0 before -0, say) is the one kept.
static void WidenRange(const float* batch, int32_t count, Range* range)
{
    float min[kLanes], max[kLanes];
    for (int32_t l = 0; l < kLanes; l++) {
        min[l] = range->min;
        max[l] = range->max;
    }
    for (int32_t p = 0; p < count; p++) {
        const float* re = batch + (size_t)2 * p * kLanes;
        for (int32_t l = 0; l < kLanes; l++) {
            min[l] = re[l] < min[l] ? re[l] : min[l];
            max[l] = re[l] > max[l] ? re[l] : max[l];
        }
    }
    for (int32_t l = 0; l < kLanes; l++) {
        if (min[l] < range->min)
            range->min = min[l];
        if (max[l] > range->max)
            range->max = max[l];
    }
}

// Inverse 2-D transform of one image; the real parts of every column's
// samples widen the range, columns in order.
static void InverseTransform(Workspace* w, const TempImage* image, Range* range)
{
    TransformLines(w, image, 0);
    for (int32_t x0 = 0; x0 < w->n; x0 += BlockLines(w)) {
        LoadColumns(w, image, x0, 1, w->block);
        TransformBlock(w, 0, w->block);
        for (int32_t b = 0; b < w->batches; b++)
            WidenRange(w->block + b * w->batchFloats, w->n, range);
        StoreColumns(w, image, x0, w->block);
    }
}

// The correlation surface of each channel, left in the image's channels.
static void CorrelateChannels(Workspace* w, Range* range)
{
    for (int c = 0; c < kChannels; c++) {
        const TempImage* reference = &w->images[kChannels + c];
        ForwardColumns(w, reference);
        ForwardCrossPower(w, &w->images[c], reference);
        InverseTransform(w, &w->images[c], range);
    }
}

// Writes the surface with zero displacement moved to the centre: line y
// comes from line y + N/2 (cyclically), and the two halves of each line are
// exchanged. False when cancelled.
static bool WriteSurface(Workspace* w, Range range)
{
    const int32_t n = w->n;
    const int32_t half = n / 2;
    // A flat surface (an all-black image or reference) has max equal to min:
    // every value maps to 0 rather than through a division by zero.
    const float scale = range.max > range.min ? 255.0f / (range.max - range.min) : 0.0f;
    for (int32_t y = 0; y < n; y++) {
        if (TestAbortSetProgressBar((float)y / (float)n / 10.0f + 0.9f))
            return false;
        int32_t sy = y + half;
        if (sy >= n)
            sy -= n;
        for (int c = 0; c < kChannels; c++) {
            const COMPLEX64* line = ReadLine(w, &w->images[c], sy);
            for (int32_t x = 0; x < n; x++) {
                int32_t target = x < half ? x + half : x - half;
                w->pixels[target].c[c] = (line[x].re - range.min) * scale;
            }
        }
        WriteResultLine(y, w->pixels);
    }
    return true;
}

int32_t MainUserEntry(void)
{
    Workspace w = {};
    w.n = CheckedSize();
    if (w.n == 0)
        return kUserCancelled;

    int32_t result = kUserCancelled;
    Range range = {1e38f, -1e38f};
    if (AllocateBuffers(&w) && MakeImages(&w) && StoreImage(&w)) {
        StoreReference(&w);
        CorrelateChannels(&w, &range);
        if (WriteSurface(&w, range))
            result = 0;
    }
    FreeBuffers(&w);
    return result;
}
