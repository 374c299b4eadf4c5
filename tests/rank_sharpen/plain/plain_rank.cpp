/*
 * The reference version of rank_sharpen, built as a test module: the filter
 * as first written, step by step and pixel by pixel, against which the fast
 * filter is compared byte for byte.
 *
 * Rank-based sharpening of the image's brightness.
 *
 * The brightness g (mean of R, G, B) is opened (minimum then maximum) and
 * closed (maximum then minimum) over a disc of N pixels; the bright detail
 * g - opening and the dark detail g - closing are added back to g with a
 * strength factor, the result is stretched onto 0 … 255 after clipping a
 * fraction of the darkest and brightest pixels, and put back into every
 * pixel with its two colour differences kept.
 *
 * Parameters come from "ranksharp.txt" on the Desktop (radius, mode, amount
 * in percent, clip fraction), with defaults when the file is missing.
 * Whole-image data lives in three temporary float images; the filter holds
 * only eight float lines, one pixel line and a 1000-bin histogram. The
 * neighbourhood passes read every source line seven times and gather the
 * 7 × 7 window in distance-rank order, so every disc size is the first N
 * entries of the gather array. All pixel arithmetic is single precision.
 */
#include <math.h>

#include "filter_framework.h"

extern "C" const char gAboutText[] = "Rank-Based Sharpening Filter";

namespace {

constexpr int32_t kWindowRows = 7;
constexpr int32_t kReach = 3;
constexpr int32_t kHistogramBins = 1000;

/* A neighbourhood of size[i] offsets is chosen when the radius reaches
 * threshold[i]; the thresholds are these decimals, not exact roots. */
constexpr int32_t kSizeRows = 9;
constexpr float kSizeThreshold[kSizeRows] = {1.0f, 1.414f, 2.0f,   2.236f, 2.828f,
                                             3.0f, 3.162f, 3.606f, 4.0f};
constexpr int32_t kSizeCount[kSizeRows] = {5, 9, 13, 21, 25, 29, 37, 45, 49};

/* The place of each offset (row dy = -3 … 3, column dx = -3 … 3) when the 49
 * offsets are ordered by dx² + dy²: the first N places form the disc. */
constexpr int32_t kDistanceRank[kWindowRows][kWindowRows] = {
    {48, 44, 36, 25, 29, 37, 45}, {43, 24, 20, 9, 13, 21, 38}, {35, 19, 8, 1, 5, 14, 30},
    {28, 12, 4, 0, 2, 10, 26},    {34, 18, 7, 3, 6, 15, 31},   {42, 23, 17, 11, 16, 22, 39},
    {47, 41, 33, 27, 32, 40, 46},
};

struct Buffers {
    RGB96* pixelLine;
    float* window[kWindowRows];
    float* outRow;
    int32_t* histogram;
};

void FreeBuffers(Buffers* b)
{
    if (b->pixelLine)
        DisposeAPointer(b->pixelLine);
    if (b->outRow)
        DisposeAPointer(b->outRow);
    if (b->histogram)
        DisposeAPointer(b->histogram);
    for (float* row : b->window)
        if (row)
            DisposeAPointer(row);
}

/* All buffers or none: on a failure what was taken is freed. */
bool AllocateBuffers(Buffers* b, int32_t width)
{
    *b = Buffers{};
    bool ok = true;
    b->histogram = static_cast<int32_t*>(CreateAPointerClear(kHistogramBins, 4));
    ok = ok && b->histogram;
    if (ok)
        b->pixelLine = static_cast<RGB96*>(CreateAPointer(width, 12));
    ok = ok && b->pixelLine;
    /* Float rows start cleared, so a refused temporary-image read never
     * leaves undefined values behind. */
    for (int32_t r = 0; ok && r < kWindowRows; ++r) {
        b->window[r] = static_cast<float*>(CreateAPointerClear(static_cast<uint32_t>(width), 4));
        ok = b->window[r] != nullptr;
    }
    if (ok)
        b->outRow = static_cast<float*>(CreateAPointerClear(static_cast<uint32_t>(width), 4));
    ok = ok && b->outRow;
    if (!ok)
        FreeBuffers(b);
    return ok;
}

int32_t Clamp(int32_t v, int32_t low, int32_t high)
{
    return v < low ? low : (v > high ? high : v);
}

/* The brightness the filter works on: the mean of the three channels. */
float Brightness(const RGB96& p)
{
    return (p.c[0] + p.c[1] + p.c[2]) / 3.0f;
}

/* Minimum or maximum over the first n places of the disc, from image
 * source to image dest; lines and columns beyond the border repeat the
 * border. Strict comparisons: the first of equal values stays. */
void NeighbourhoodPass(NamedImage* source, NamedImage* dest, bool maximum, int32_t n, int32_t width,
                       int32_t height, Buffers* b)
{
    float gather[kWindowRows * kWindowRows];
    for (int32_t y = 0; y < height; ++y) {
        for (int32_t r = 0; r < kWindowRows; ++r)
            ReadTempImageLine(source, Clamp(y + r - kReach, 0, height - 1), b->window[r]);
        for (int32_t x = 0; x < width; ++x) {
            for (int32_t r = 0; r < kWindowRows; ++r) {
                const float* row = b->window[r];
                for (int32_t dx = -kReach; dx <= kReach; ++dx)
                    gather[kDistanceRank[r][dx + kReach]] = row[Clamp(x + dx, 0, width - 1)];
            }
            float result = gather[0];
            if (maximum) {
                for (int32_t i = 1; i < n; ++i)
                    if (gather[i] > result)
                        result = gather[i];
            } else {
                for (int32_t i = 1; i < n; ++i)
                    if (gather[i] < result)
                        result = gather[i];
            }
            b->outRow[x] = result;
        }
        WriteTempImageLine(dest, y, b->outRow);
    }
}

bool Cancelled(int32_t y, int32_t height)
{
    return TestAbortSetProgressBar(static_cast<float>(y) / static_cast<float>(height)) != 0;
}

/* The mode number read from the file, truncated toward zero; values that
 * are no integer at all fall to the weighted mode. */
int32_t ModeFromNumber(float value)
{
    if (!(value > -2147483648.0f && value < 2147483648.0f))
        return 0;
    return static_cast<int32_t>(value);
}

}  // namespace

extern "C" int32_t MainUserEntry(void)
{
    float radius = 2.9f;
    int32_t mode = 3;
    float amount = 100.0f;
    float clipFraction = 0.005f;

    int32_t width = 0;
    int32_t height = 0;
    GetOriginalDimensions(&width, &height);

    /* The working images have 16-bit sides: a larger image would get
     * wrapped, too small ones, so it is refused. */
    if (width > 65535 || height > 65535) {
        ErrorMessage("Image is too large for the working images.  "
                     "Width and height must not exceed 65535 pixels. (MainUserEntry)");
        return userCanceledErr;
    }

    /* A missing working image would leave every pass refused line by line
     * and the result undefined, so the run stops at the first failure. */
    NamedImage* tempOpen = nullptr;
    NamedImage* tempClose = nullptr;
    NamedImage* temp2 = nullptr;
    OSErr made = MakeTemporaryImage(static_cast<uint16_t>(width), static_cast<uint16_t>(height), 4,
                                    "TempOpen", &tempOpen);
    if (made == noErr)
        made = MakeTemporaryImage(static_cast<uint16_t>(width), static_cast<uint16_t>(height), 4,
                                  "TempClose", &tempClose);
    if (made == noErr)
        made = MakeTemporaryImage(static_cast<uint16_t>(width), static_cast<uint16_t>(height), 4,
                                  "Temp2", &temp2);
    if (made != noErr)
        return made;

    Buffers b;
    if (!AllocateBuffers(&b, width))
        return memFullErr;
    int32_t result = noErr;

    TextFileNode* file = nullptr;
    if (OpenTextFileToRead("ranksharp.txt", &file) == noErr) {
        float modeValue = static_cast<float>(mode);
        ReadANumber(file, &radius);
        ReadANumber(file, &modeValue);
        ReadANumber(file, &amount);
        ReadANumber(file, &clipFraction);
        mode = ModeFromNumber(modeValue);
        CloseTextFile(file);
    }
    int32_t discSize = kSizeCount[0];
    for (int32_t i = 1; i < kSizeRows; ++i)
        if (kSizeThreshold[i] <= radius)
            discSize = kSizeCount[i];
    amount = amount / 100.0f;

    float* rowA = b.window[0];
    float* rowB = b.window[1];
    float* rowC = b.window[2];
    float minimum = 1e20f;
    float maximum = -1e20f;
    float range = 0.0f;
    float lowValue = 0.0f;
    float stretchRange = 0.0f;

    /* Brightness into "TempOpen" and "TempClose". */
    for (int32_t y = 0; y < height; ++y) {
        if (Cancelled(y, height))
            goto cancelled;
        ReadOriginalLine(y, b.pixelLine);
        for (int32_t x = 0; x < width; ++x)
            b.outRow[x] = Brightness(b.pixelLine[x]);
        WriteTempImageLine(tempOpen, y, b.outRow);
        WriteTempImageLine(tempClose, y, b.outRow);
    }

    /* Opening into "TempOpen", closing into "TempClose". */
    NeighbourhoodPass(tempOpen, temp2, false, discSize, width, height, &b);
    NeighbourhoodPass(temp2, tempOpen, true, discSize, width, height, &b);
    NeighbourhoodPass(tempClose, temp2, true, discSize, width, height, &b);
    NeighbourhoodPass(temp2, tempClose, false, discSize, width, height, &b);

    /* Detail: g into "Temp2", g - opening into "TempOpen", g - closing into
     * "TempClose". */
    for (int32_t y = 0; y < height; ++y) {
        if (Cancelled(y, height))
            goto cancelled;
        ReadOriginalLine(y, b.pixelLine);
        ReadTempImageLine(tempOpen, y, rowB);
        ReadTempImageLine(tempClose, y, rowC);
        for (int32_t x = 0; x < width; ++x) {
            float g = Brightness(b.pixelLine[x]);
            rowA[x] = g;
            rowB[x] = g - rowB[x];
            rowC[x] = g - rowC[x];
        }
        WriteTempImageLine(temp2, y, rowA);
        WriteTempImageLine(tempOpen, y, rowB);
        WriteTempImageLine(tempClose, y, rowC);
    }

    /* Sharpened brightness v into "Temp2", with its extremes. */
    for (int32_t y = 0; y < height; ++y) {
        if (Cancelled(y, height))
            goto cancelled;
        ReadTempImageLine(temp2, y, rowA);
        ReadTempImageLine(tempOpen, y, rowB);
        ReadTempImageLine(tempClose, y, rowC);
        for (int32_t x = 0; x < width; ++x) {
            float g = rowA[x];
            float bright = rowB[x];
            float dark = rowC[x];
            float v;
            if (mode == 1) {
                v = bright * amount + g;
            } else if (mode == 2) {
                v = dark * amount + g;
            } else if (fabsf(bright) > fabsf(dark)) {
                /* Bright detail weighs 2 at black down to 0 at 255. */
                v = bright * (2.0f - g / 127.5f) * amount + g;
            } else {
                /* Dark detail weighs 0 at black up to 2 at 255. */
                v = (g / 127.5f) * dark * amount + g;
            }
            if (v > maximum)
                maximum = v;
            if (v < minimum)
                minimum = v;
            rowA[x] = v;
        }
        WriteTempImageLine(temp2, y, rowA);
    }

    if (clipFraction >= 0.0f) {
        range = maximum - minimum;
        if (range <= 0.0f) {
            /* No spread to stretch: the image stays as it is. */
            result = userCanceledErr;
            goto done;
        }
        for (int32_t y = 0; y < height; ++y) {
            if (Cancelled(y, height))
                goto cancelled;
            ReadTempImageLine(temp2, y, rowA);
            for (int32_t x = 0; x < width; ++x) {
                float scaled = (rowA[x] - minimum) / range * 1000.0f;
                int32_t bin =
                    scaled > 999.0f ? 999 : (scaled > 0.0f ? static_cast<int32_t>(scaled) : 0);
                b.histogram[bin] += 1;
            }
        }
        float total = static_cast<float>(width) * static_cast<float>(height);
        int32_t lowBin = 0;
        int32_t highBin = kHistogramBins - 1;
        float runningSum = 0.0f;
        for (int32_t i = 0; i < kHistogramBins; ++i) {
            runningSum += static_cast<float>(b.histogram[i]);
            float f = runningSum / total;
            if (f <= clipFraction)
                lowBin = i;
            if (f < 1.0f - clipFraction)
                highBin = i;
        }
        lowValue = minimum + range * static_cast<float>(lowBin) / 1000.0f;
        float highValue = minimum + range * static_cast<float>(highBin) / 1000.0f;
        stretchRange = highValue - lowValue;
        if (stretchRange == 0.0f) {
            /* Both clip points in one bin: stretch over the whole range,
             * which is known to be non-zero here. */
            lowValue = minimum;
            stretchRange = range;
        }
    }

    /* New brightness into every pixel, colour differences kept. */
    for (int32_t y = 0; y < height; ++y) {
        if (Cancelled(y, height))
            goto cancelled;
        ReadOriginalLine(y, b.pixelLine);
        ReadTempImageLine(temp2, y, rowA);
        for (int32_t x = 0; x < width; ++x) {
            float n = rowA[x];
            if (clipFraction >= 0.0f)
                n = (rowA[x] - lowValue) * 255.0f / stretchRange;
            if (n < 0.0f)
                n = 0.0f;
            if (n > 255.0f)
                n = 255.0f;
            RGB96& p = b.pixelLine[x];
            float c1 = p.c[0] - p.c[1];
            float c2 = (p.c[0] + p.c[1]) * 0.5f - p.c[2];
            p.c[0] = n + 0.5f * c1 + c2 / 3.0f;
            p.c[1] = n - 0.5f * c1 + c2 / 3.0f;
            p.c[2] = n - 2.0f * c2 / 3.0f;
        }
        WriteResultLine(y, b.pixelLine);
    }
    goto done;

cancelled:
    result = userCanceledErr;
done:
    FreeBuffers(&b);
    return result;
}
