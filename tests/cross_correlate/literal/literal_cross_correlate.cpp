/*
 * The literal cross_correlate filter body, kept unchanged as the oracle of
 * the differential tests: one line or column at a time through the
 * temporary-image calls.
 *
 * Cross-correlation of each colour channel of the current image with the
 * same channel of the stored reference image, by two-dimensional FFT.
 *
 * The N x N complex data lives in six temporary images (three channels of
 * the image, three of the reference); the filter itself holds only three
 * lines. The result is the circular cross-correlation surface, shifted so
 * that zero displacement lies at the centre and mapped by one min and max,
 * shared by the three channels, onto 0 to 255. The temporary images are
 * released by the framework's shut-down, never here.
 */
#include "filter_framework.h"
#include "literal_fft.h"

const char gAboutText[] = "Cross-Correlate Current Image with Reference Image";

enum { kChannels = 3, kSmallestSize = 32, kLargestSize = 32768 };
enum { kUserCancelled = -128 };

static const char* const kTempImageNames[2 * kChannels] = {
    "Red FFT", "Green FFT", "Blue FFT", "ref Red FFT", "ref Green FFT", "ref Blue FFT",
};

// The transform size: the smallest power of two from 32 up that holds the
// largest dimension, 32768 at most.
static int32_t TransformSize(int32_t largest)
{
    int32_t n = kSmallestSize;
    while (n < largest && n < kLargestSize)
        n *= 2;
    return n;
}

static void ClearLine(COMPLEX64* line, int32_t n)
{
    for (int32_t x = 0; x < n; x++) {
        line[x].re = 0.0f;
        line[x].im = 0.0f;
    }
}

// Splits one RGB96 line into the real parts of the three channels' images.
static void StoreChannels(NamedImage* const* images, int32_t y, const RGB96* pixels, int32_t width,
                          COMPLEX64* work)
{
    for (int c = 0; c < kChannels; c++) {
        for (int32_t x = 0; x < width; x++)
            work[x].re = pixels[x].c[c];
        WriteTempImageLine(images[c], y, work);
    }
}

// Forward 2-D transform of one image: every line, then every column.
static void ForwardTransform(NamedImage* image, int32_t n, COMPLEX64* work)
{
    for (int32_t y = 0; y < n; y++) {
        ReadTempImageLine(image, y, work);
        FFT_CT(1, work, n);
        WriteTempImageLine(image, y, work);
    }
    for (int32_t x = 0; x < n; x++) {
        ReadTempImageColumn(image, x, work);
        FFT_CT(1, work, n);
        WriteTempImageColumn(image, x, work);
    }
}

// Inverse 2-D transform of one image; the real parts of the first `width`
// samples of every column widen [*min, *max].
static void InverseTransform(NamedImage* image, int32_t n, int32_t width, COMPLEX64* work,
                             float* min, float* max)
{
    for (int32_t y = 0; y < n; y++) {
        ReadTempImageLine(image, y, work);
        FFT_CT(0, work, n);
        WriteTempImageLine(image, y, work);
    }
    for (int32_t x = 0; x < n; x++) {
        ReadTempImageColumn(image, x, work);
        FFT_CT(0, work, n);
        for (int32_t i = 0; i < width; i++) {
            if (work[i].re < *min)
                *min = work[i].re;
            if (work[i].re > *max)
                *max = work[i].re;
        }
        WriteTempImageColumn(image, x, work);
    }
}

int32_t MainUserEntry(void)
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
        return kUserCancelled;
    }
    if (refWidth != refHeight) {
        ErrorMessage("Image must be SQUARE, at least 32x32, a power-of-two in size, and the SAME "
                     "SIZE as the reference image");
        return kUserCancelled;
    }
    if (height != n || refWidth != width) {
        ErrorMessage("Image must be square, at least 32x32, a power-of-two in size, and the same "
                     "size as the reference image");
        return kUserCancelled;
    }

    RGB96* pixels = (RGB96*)CreateAPointer(n, 12);
    COMPLEX64* work = (COMPLEX64*)CreateAPointer(n, 8);
    COMPLEX64* partner = (COMPLEX64*)CreateAPointer(n, 8);
    int32_t result = kUserCancelled;
    NamedImage* images[2 * kChannels] = {};
    NamedImage** refImages = images + kChannels;
    float min = 1e38f, max = -1e38f;
    float scale;
    int32_t half;

    if (pixels == nullptr || work == nullptr || partner == nullptr)
        goto done;
    for (int i = 0; i < 2 * kChannels; i++) {
        if (MakeTemporaryImage((uint16_t)n, (uint16_t)n, 8, kTempImageNames[i], &images[i]) != 0)
            goto done;
    }

    // The image's channels, as real samples.
    ClearLine(work, n);
    for (int32_t y = 0; y < height; y++) {
        if (TestAbortSetProgressBar((float)y / (float)height / 10.0f))
            goto done;
        ReadOriginalLine(y, pixels);
        StoreChannels(images, y, pixels, width, work);
    }

    // The reference's channels likewise.
    ClearLine(work, n);
    for (int32_t y = 0; y < height; y++) {
        ReadRefImageLine(y, pixels);
        StoreChannels(refImages, y, pixels, refWidth, work);
    }

    for (int i = 0; i < 2 * kChannels; i++)
        ForwardTransform(images[i], n, work);

    // Cross-power spectrum: the image's spectrum times the conjugate of the
    // reference's, left in the image's temporary images.
    for (int c = 0; c < kChannels; c++) {
        for (int32_t y = 0; y < n; y++) {
            ReadTempImageLine(images[c], y, work);
            ReadTempImageLine(refImages[c], y, partner);
            for (int32_t x = 0; x < n; x++) {
                float a = work[x].re, b = work[x].im;
                float r = partner[x].re, s = partner[x].im;
                work[x].re = a * r + b * s;
                work[x].im = b * r - a * s;
            }
            WriteTempImageLine(images[c], y, work);
        }
    }

    for (int c = 0; c < kChannels; c++)
        InverseTransform(images[c], n, width, work, &min, &max);

    // A flat surface (an all-black image or reference) has max equal to min:
    // every value maps to 0 rather than through a division by zero.
    scale = max > min ? 255.0f / (max - min) : 0.0f;

    // Write the surface with zero displacement moved to the centre: line y
    // comes from line y + N/2 (cyclically), and the two halves of each line
    // are exchanged.
    half = n / 2;
    for (int32_t y = 0; y < height; y++) {
        if (TestAbortSetProgressBar((float)y / (float)height / 10.0f + 0.9f))
            goto done;
        int32_t sy = y + half;
        if (sy >= n)
            sy -= n;
        for (int c = 0; c < kChannels; c++) {
            ReadTempImageLine(images[c], sy, work);
            for (int32_t x = 0; x < width; x++)
                pixels[x].c[c] = (work[x].re - min) * scale;
        }
        for (int32_t x = 0; x < half; x++) {
            RGB96 swap = pixels[x];
            pixels[x] = pixels[x + half];
            pixels[x + half] = swap;
        }
        WriteResultLine(y, pixels);
    }
    result = 0;

done:
    if (partner != nullptr)
        DisposeAPointer(partner);
    if (work != nullptr)
        DisposeAPointer(work);
    if (pixels != nullptr)
        DisposeAPointer(pixels);
    return result;
}
