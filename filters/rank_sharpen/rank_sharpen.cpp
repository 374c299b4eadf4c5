/*
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
 * float lines, one pixel line and a 1000-bin histogram, all bounded by the
 * width. All pixel arithmetic is single precision, done by the line kernels
 * of rank_kernels.h.
 *
 * The opening and closing come line by line from rank_stream.h, so the
 * detail and the sharpened brightness are worked out in one sweep; the
 * sharpening pass then only reports its progress, as it always did. On
 * large images held in memory a second thread makes the opening and closing
 * of the lower lines meanwhile (LowerBand); progress, cancels and every
 * host call stay on the filter's own thread, in their order. Images
 * whose brightness holds a negative zero, where +0 and -0 tie and the first
 * in distance-rank order must win, and runs short of memory take the plain
 * passes: the window gathered pixel by pixel in rank order.
 */
#include <string.h>

#include <atomic>
#include <thread>

#include "filter_framework.h"
#include "rank_kernels.h"
#include "rank_stream.h"

extern "C" const char gAboutText[] = "Rank-Based Sharpening Filter";

namespace {

constexpr int32_t kHistogramBins = 1000;

/* A neighbourhood of size[i] offsets is chosen when the radius reaches
 * threshold[i]; the thresholds are these decimals, not exact roots. */
constexpr int32_t kSizeRows = 9;
constexpr float kSizeThreshold[kSizeRows] = {1.0f, 1.414f, 2.0f,   2.236f, 2.828f,
                                             3.0f, 3.162f, 3.606f, 4.0f};
constexpr int32_t kSizeCount[kSizeRows] = {5, 9, 13, 21, 25, 29, 37, 45, 49};

struct Parameters {
    float radius = 2.9f;
    int32_t mode = 3;
    float amount = 100.0f;
    float clipFraction = 0.005f;
};

struct WorkImages {
    NamedImage* open = nullptr;
    NamedImage* close = nullptr;
    NamedImage* temp2 = nullptr;
};

struct Buffers {
    RGB96* pixelLine;
    float* window[kWindowRows];
    float* outRow;
    int32_t* histogram;
};

/* The stretch of step 12: n = (v - lowValue) * 255 / range when on. */
struct Stretch {
    bool on = false;
    float lowValue = 0.0f;
    float range = 0.0f;
};

/* What a run works with. */
struct Run {
    int32_t width = 0;
    int32_t height = 0;
    Parameters params;
    int32_t discSize = 5;
    WorkImages images;
    Buffers b{};
    /* The brightness holds a negative zero: extremes are taken in the
     * order the plain passes take them. */
    bool exactOrder = false;
    float minimum = 1e20f;
    float maximum = -1e20f;
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

/* The working images have 16-bit sides: a larger image would get wrapped,
 * too small ones, so it is refused. */
bool RefuseOversizedImage(int32_t width, int32_t height)
{
    if (width <= 65535 && height <= 65535)
        return false;
    ErrorMessage("Image is too large for the working images.  "
                 "Width and height must not exceed 65535 pixels. (MainUserEntry)");
    return true;
}

/* A missing working image would leave every pass refused line by line and
 * the result undefined, so the run stops at the first failure. Every pass
 * writes each line of its destination before any later pass reads it, so
 * images held in memory are not cleared first. */
OSErr MakeWorkImages(int32_t width, int32_t height, WorkImages* images)
{
    const auto w = static_cast<uint16_t>(width);
    const auto h = static_cast<uint16_t>(height);
    OSErr made = MakeUnclearedTemporaryImage(w, h, 4, "TempOpen", &images->open);
    if (made == noErr)
        made = MakeUnclearedTemporaryImage(w, h, 4, "TempClose", &images->close);
    if (made == noErr)
        made = MakeUnclearedTemporaryImage(w, h, 4, "Temp2", &images->temp2);
    return made;
}

void ReadParameters(Parameters* p)
{
    TextFileNode* file = nullptr;
    if (OpenTextFileToRead("ranksharp.txt", &file) != noErr)
        return;
    float modeValue = static_cast<float>(p->mode);
    ReadANumber(file, &p->radius);
    ReadANumber(file, &modeValue);
    ReadANumber(file, &p->amount);
    ReadANumber(file, &p->clipFraction);
    p->mode = ModeFromNumber(modeValue);
    CloseTextFile(file);
}

int32_t DiscSize(float radius)
{
    int32_t discSize = kSizeCount[0];
    for (int32_t i = 1; i < kSizeRows; ++i)
        if (kSizeThreshold[i] <= radius)
            discSize = kSizeCount[i];
    return discSize;
}

/* Line y of a work image: the image's own row when it is held in memory,
 * else `buffer` filled from its file. */
float* WorkLine(NamedImage* image, int32_t y, int32_t width, float* buffer)
{
    auto* pixels = static_cast<float*>(GetTempImagePixels(image));
    if (pixels != nullptr)
        return pixels + int64_t{y} * width;
    ReadTempImageLine(image, y, buffer);
    return buffer;
}

/* Where line y of a work image is made whole: its own row in memory, else
 * `buffer`, which StoreWorkLine then writes to the file. */
float* NewWorkLine(NamedImage* image, int32_t y, int32_t width, float* buffer)
{
    auto* pixels = static_cast<float*>(GetTempImagePixels(image));
    return pixels != nullptr ? pixels + int64_t{y} * width : buffer;
}

void StoreWorkLine(NamedImage* image, int32_t y, const float* line)
{
    if (GetTempImagePixels(image) == nullptr)
        WriteTempImageLine(image, y, line);
}

/* Brightness into "TempOpen"; both the opening and the closing start
 * from there. */
bool BrightnessPass(Run* run)
{
    for (int32_t y = 0; y < run->height; ++y) {
        if (Cancelled(y, run->height))
            return false;
        ReadOriginalLine(y, run->b.pixelLine);
        float* g = NewWorkLine(run->images.open, y, run->width, run->b.outRow);
        if (BrightnessLine(run->b.pixelLine, g, run->width))
            run->exactOrder = true;
        StoreWorkLine(run->images.open, y, g);
    }
    return true;
}

/* Minimum or maximum over the first n places of the disc, gathered pixel by
 * pixel in distance-rank order; lines and columns beyond the border repeat
 * the border. Strict comparisons: the first of equal values stays. */
void GatheringPass(NamedImage* source, NamedImage* dest, bool maximum, int32_t n, const Run& run)
{
    const Buffers& b = run.b;
    float gather[kWindowRows * kWindowRows];
    for (int32_t y = 0; y < run.height; ++y) {
        for (int32_t r = 0; r < kWindowRows; ++r)
            ReadTempImageLine(source, Clamp(y + r - kReach, 0, run.height - 1), b.window[r]);
        for (int32_t x = 0; x < run.width; ++x) {
            for (int32_t r = 0; r < kWindowRows; ++r) {
                const float* row = b.window[r];
                for (int32_t dx = -kReach; dx <= kReach; ++dx)
                    gather[kDistanceRank[r][dx + kReach]] = row[Clamp(x + dx, 0, run.width - 1)];
            }
            float result = gather[0];
            for (int32_t i = 1; i < n; ++i)
                if (maximum ? gather[i] > result : gather[i] < result)
                    result = gather[i];
            b.outRow[x] = result;
        }
        WriteTempImageLine(dest, y, b.outRow);
    }
}

/* Closing into "TempClose", then opening into "TempOpen", by gathering;
 * no progress reports. */
void GatheringPasses(const Run& run)
{
    const WorkImages& im = run.images;
    const int32_t n = run.discSize;
    GatheringPass(im.open, im.temp2, true, n, run);
    GatheringPass(im.temp2, im.close, false, n, run);
    GatheringPass(im.open, im.temp2, false, n, run);
    GatheringPass(im.temp2, im.open, true, n, run);
}

/* Detail: g into "Temp2", g - opening into "TempOpen", g - closing into
 * "TempClose". */
bool DetailPass(const Run& run)
{
    const Buffers& b = run.b;
    for (int32_t y = 0; y < run.height; ++y) {
        if (Cancelled(y, run.height))
            return false;
        ReadOriginalLine(y, b.pixelLine);
        ReadTempImageLine(run.images.open, y, b.window[1]);
        ReadTempImageLine(run.images.close, y, b.window[2]);
        DetailLine(b.pixelLine, b.window[0], b.window[1], b.window[2], run.width);
        WriteTempImageLine(run.images.temp2, y, b.window[0]);
        WriteTempImageLine(run.images.open, y, b.window[1]);
        WriteTempImageLine(run.images.close, y, b.window[2]);
    }
    return true;
}

/* Running extremes value by value, in scan order. */
void ExtremesInOrder(const float* v, int32_t width, float* minimum, float* maximum)
{
    for (int32_t x = 0; x < width; ++x) {
        if (v[x] > *maximum)
            *maximum = v[x];
        if (v[x] < *minimum)
            *minimum = v[x];
    }
}

/* Sharpened brightness v into "Temp2", with its extremes. */
bool SharpeningPass(Run* run)
{
    const Buffers& b = run->b;
    const float amount = run->params.amount / 100.0f;
    for (int32_t y = 0; y < run->height; ++y) {
        if (Cancelled(y, run->height))
            return false;
        ReadTempImageLine(run->images.temp2, y, b.window[0]);
        ReadTempImageLine(run->images.open, y, b.window[1]);
        ReadTempImageLine(run->images.close, y, b.window[2]);
        SharpenLine(b.window[0], b.window[1], b.window[2], run->width, run->params.mode, amount);
        ExtremesInOrder(b.window[0], run->width, &run->minimum, &run->maximum);
        WriteTempImageLine(run->images.temp2, y, b.window[0]);
    }
    return true;
}

/* The opening and closing of the lower lines, made by a second thread
 * while the filter works down the upper ones: the opening into "Temp2" and
 * the closing into "TempClose" (which the streamed passes leave unused),
 * line by line from `first` on. Each line is handed over once made; the
 * filter still does everything else, progress and host calls included, on
 * its own thread in the usual order, so nothing it reports changes. */
struct LowerBand {
    RankStream stream{};
    float* opening = nullptr;
    float* closing = nullptr;
    int32_t first = 0;
    int32_t height = 0;
    std::atomic<int32_t> made{0}; /* lines from `first` made so far */
    std::atomic<bool> stop{false};
    std::thread thread;
};

/* The share of the lines the filter's own thread makes: it also does the
 * detail and sharpening of every line, so it takes fewer. */
constexpr float kUpperShare = 0.3f;
/* Below this many pixels a second thread is not worth starting. */
constexpr int64_t kBandMinimumPixels = 1 << 18;

void MakeLowerBand(LowerBand* band)
{
    const int64_t width = band->stream.width;
    for (int32_t y = band->first; y < band->height; ++y) {
        if (band->stop.load(std::memory_order_relaxed))
            return;
        OpeningAndClosing(&band->stream, y, band->opening + y * width, band->closing + y * width);
        band->made.store(y - band->first + 1, std::memory_order_release);
    }
}

/* Starts the second thread when every image it touches is held in memory
 * and its stream can be had; false (nothing held) otherwise. */
bool StartLowerBand(const Run& run, LowerBand* band)
{
    auto* opening = static_cast<float*>(GetTempImagePixels(run.images.temp2));
    auto* closing = static_cast<float*>(GetTempImagePixels(run.images.close));
    const int64_t pixels = int64_t{run.width} * run.height;
    if (opening == nullptr || closing == nullptr ||
        GetTempImagePixels(run.images.open) == nullptr || pixels < kBandMinimumPixels)
        return false;
    if (!OpenRankStream(&band->stream, run.images.open, run.width, run.height, run.discSize))
        return false;
    band->opening = opening;
    band->closing = closing;
    band->height = run.height;
    band->first = static_cast<int32_t>(static_cast<float>(run.height) * kUpperShare);
    StartRankStreamAt(&band->stream, band->first);
    try {
        band->thread = std::thread(MakeLowerBand, band);
    } catch (...) { /* no thread to be had: the filter makes every line */
        CloseRankStream(&band->stream);
        return false;
    }
    return true;
}

void StopLowerBand(LowerBand* band)
{
    band->stop.store(true, std::memory_order_relaxed);
    band->thread.join();
    CloseRankStream(&band->stream);
}

/* Opening and closing of line y into the two window lines: made here above
 * the lower band, taken from it (once made) below. */
void LineOpeningAndClosing(RankStream* stream, LowerBand* band, int32_t y, int32_t width,
                           float* opening, float* closing)
{
    if (band == nullptr || y < band->first) {
        OpeningAndClosing(stream, y, opening, closing);
        return;
    }
    while (band->made.load(std::memory_order_acquire) <= y - band->first)
        std::this_thread::yield();
    const int64_t at = int64_t{y} * width;
    memcpy(opening, band->opening + at, sizeof(float) * static_cast<size_t>(width));
    memcpy(closing, band->closing + at, sizeof(float) * static_cast<size_t>(width));
}

/* Detail and sharpened brightness in one sweep, with the opening and
 * closing made line by line: v into "Temp2", with its extremes. */
bool StreamedDetailPass(Run* run, RankStream* stream, LowerBand* band)
{
    const Buffers& b = run->b;
    const float amount = run->params.amount / 100.0f;
    for (int32_t y = 0; y < run->height; ++y) {
        if (Cancelled(y, run->height))
            return false;
        ReadOriginalLine(y, b.pixelLine);
        /* The band's opening of line y sits where v goes: taken out first. */
        LineOpeningAndClosing(stream, band, y, run->width, b.window[1], b.window[2]);
        float* v = NewWorkLine(run->images.temp2, y, run->width, b.window[0]);
        DetailLine(b.pixelLine, v, b.window[1], b.window[2], run->width);
        SharpenLine(v, b.window[1], b.window[2], run->width, run->params.mode, amount);
        LineExtremes(v, run->width, &run->minimum, &run->maximum);
        StoreWorkLine(run->images.temp2, y, v);
    }
    return true;
}

/* The sharpening pass after a streamed detail pass: its work is done, its
 * progress reports and chances to cancel remain. */
bool ReportingPass(const Run& run)
{
    for (int32_t y = 0; y < run.height; ++y)
        if (Cancelled(y, run.height))
            return false;
    return true;
}

/* Opening, closing, detail and sharpened brightness, streamed where the
 * values allow it. */
bool OpenCloseAndSharpen(Run* run)
{
    RankStream stream;
    if (run->exactOrder ||
        !OpenRankStream(&stream, run->images.open, run->width, run->height, run->discSize)) {
        GatheringPasses(*run);
        return DetailPass(*run) && SharpeningPass(run);
    }
    LowerBand band;
    const bool banded = StartLowerBand(*run, &band);
    const bool done = StreamedDetailPass(run, &stream, banded ? &band : nullptr);
    if (banded)
        StopLowerBand(&band);
    CloseRankStream(&stream);
    return done && ReportingPass(*run);
}

/* Neighbouring pixels fall into the same bin a lot: four counters per bin,
 * one for each column modulo 4, keep the counts from waiting on one
 * another. Their sums are the counts. */
constexpr int32_t kWays = 4;
using BinCounts = int32_t[kWays][kHistogramBins];

/* Adds the bins of one line of v to the counts; `bins` holds a line. */
void CountLine(const float* v, const Run& run, float range, int32_t* bins, BinCounts& counts)
{
    HistogramBins(v, run.width, run.minimum, range, bins);
    int32_t x = 0;
    for (; x + kWays <= run.width; x += kWays)
        for (int32_t w = 0; w < kWays; ++w)
            counts[w][bins[x + w]] += 1;
    for (; x < run.width; ++x)
        counts[0][bins[x]] += 1;
}

/* The lower half of "Temp2" counted by a second thread, when the image is
 * held in memory and large enough; integer counts add up the same in any
 * order. */
struct LowerCounts {
    BinCounts counts = {};
    int32_t* bins = nullptr;
    int32_t first = 0; /* the first line counted here; the height when none */
    std::atomic<bool> stop{false};
    std::thread thread;
};

void StartLowerCounts(const Run& run, float range, LowerCounts* lower)
{
    lower->first = run.height;
    const auto* pixels = static_cast<const float*>(GetTempImagePixels(run.images.temp2));
    if (pixels == nullptr || int64_t{run.width} * run.height < kBandMinimumPixels)
        return;
    lower->bins = static_cast<int32_t*>(CreateAPointer(run.width, 4));
    if (lower->bins == nullptr)
        return;
    const int32_t first = run.height / 2;
    try {
        lower->thread = std::thread([&run, range, lower, pixels, first] {
            for (int32_t y = first; y < run.height; ++y) {
                if (lower->stop.load(std::memory_order_relaxed))
                    return;
                CountLine(pixels + int64_t{y} * run.width, run, range, lower->bins, lower->counts);
            }
        });
        lower->first = first;
    } catch (...) { /* no thread to be had: the filter counts every line */
    }
}

/* Counts of the sharpened brightness in 1000 bins over min … max. */
bool HistogramPass(const Run& run, float range)
{
    const Buffers& b = run.b;
    /* The output row is free here; its bits hold the bin numbers. */
    auto* bins = reinterpret_cast<int32_t*>(b.outRow);
    BinCounts partial = {};
    LowerCounts lower;
    StartLowerCounts(run, range, &lower);
    bool done = true;
    for (int32_t y = 0; y < run.height; ++y) {
        if (Cancelled(y, run.height)) {
            done = false;
            break;
        }
        if (y < lower.first)
            CountLine(WorkLine(run.images.temp2, y, run.width, b.window[0]), run, range, bins,
                      partial);
    }
    if (lower.thread.joinable()) {
        lower.stop.store(!done, std::memory_order_relaxed);
        lower.thread.join();
    }
    if (lower.bins != nullptr)
        DisposeAPointer(lower.bins);
    if (!done)
        return false;
    for (int32_t i = 0; i < kHistogramBins; ++i) {
        for (const auto& counts : partial)
            b.histogram[i] += counts[i];
        for (const auto& counts : lower.counts)
            b.histogram[i] += counts[i];
    }
    return true;
}

/* The clip points: the last bins whose running share stays within the clip
 * fraction from either end. */
Stretch ClipPoints(const Run& run, float range)
{
    const float clipFraction = run.params.clipFraction;
    const float total = static_cast<float>(run.width) * static_cast<float>(run.height);
    int32_t lowBin = 0;
    int32_t highBin = kHistogramBins - 1;
    float runningSum = 0.0f;
    for (int32_t i = 0; i < kHistogramBins; ++i) {
        runningSum += static_cast<float>(run.b.histogram[i]);
        float f = runningSum / total;
        if (f <= clipFraction)
            lowBin = i;
        if (f < 1.0f - clipFraction)
            highBin = i;
    }
    Stretch s;
    s.on = true;
    s.lowValue = run.minimum + range * static_cast<float>(lowBin) / 1000.0f;
    float highValue = run.minimum + range * static_cast<float>(highBin) / 1000.0f;
    s.range = highValue - s.lowValue;
    if (s.range == 0.0f) {
        /* Both clip points in one bin: stretch over the whole range, which
         * is known to be non-zero here. */
        s.lowValue = run.minimum;
        s.range = range;
    }
    return s;
}

/* "Temp2" stretched in place, line by line, by a second thread ahead of
 * the output pass, when the image is held in memory and large enough. */
struct StretchAhead {
    std::atomic<int32_t> made{0}; /* lines stretched so far */
    std::atomic<bool> stop{false};
    std::thread thread;
};

bool StartStretchAhead(const Run& run, const Stretch& stretch, StretchAhead* ahead)
{
    auto* pixels = static_cast<float*>(GetTempImagePixels(run.images.temp2));
    if (!stretch.on || pixels == nullptr || int64_t{run.width} * run.height < kBandMinimumPixels)
        return false;
    try {
        ahead->thread = std::thread([&run, stretch, ahead, pixels] {
            for (int32_t y = 0; y < run.height; ++y) {
                if (ahead->stop.load(std::memory_order_relaxed))
                    return;
                StretchLine(pixels + int64_t{y} * run.width, run.width, stretch.lowValue,
                            stretch.range);
                ahead->made.store(y + 1, std::memory_order_release);
            }
        });
    } catch (...) { /* no thread to be had: each line is stretched as it is output */
        return false;
    }
    return true;
}

/* New brightness into every pixel, colour differences kept. */
bool OutputPass(const Run& run, const Stretch& stretch)
{
    const Buffers& b = run.b;
    StretchAhead ahead;
    const bool stretchedAhead = StartStretchAhead(run, stretch, &ahead);
    bool done = true;
    for (int32_t y = 0; y < run.height; ++y) {
        if (Cancelled(y, run.height)) {
            done = false;
            break;
        }
        ReadOriginalLine(y, b.pixelLine);
        const float* v = WorkLine(run.images.temp2, y, run.width, b.window[0]);
        if (stretchedAhead) {
            while (ahead.made.load(std::memory_order_acquire) <= y)
                std::this_thread::yield();
            OutputLine(b.pixelLine, v, run.width, false, 0.0f, 0.0f);
        } else {
            OutputLine(b.pixelLine, v, run.width, stretch.on, stretch.lowValue, stretch.range);
        }
        WriteResultLine(y, b.pixelLine);
    }
    if (stretchedAhead) {
        ahead.stop.store(true, std::memory_order_relaxed);
        ahead.thread.join();
    }
    return done;
}

/* Steps after the set-up: brightness, opening and closing, detail,
 * sharpening, stretch and output. */
int32_t Sharpen(Run* run)
{
    if (!BrightnessPass(run) || !OpenCloseAndSharpen(run))
        return userCanceledErr;
    Stretch stretch;
    if (run->params.clipFraction >= 0.0f) {
        const float range = run->maximum - run->minimum;
        /* No spread to stretch: the image stays as it is. */
        if (range <= 0.0f)
            return userCanceledErr;
        if (!HistogramPass(*run, range))
            return userCanceledErr;
        stretch = ClipPoints(*run, range);
    }
    return OutputPass(*run, stretch) ? noErr : userCanceledErr;
}

}  // namespace

extern "C" int32_t MainUserEntry(void)
{
    Run run;
    GetOriginalDimensions(&run.width, &run.height);
    if (RefuseOversizedImage(run.width, run.height))
        return userCanceledErr;
    OSErr made = MakeWorkImages(run.width, run.height, &run.images);
    if (made != noErr)
        return made;
    if (!AllocateBuffers(&run.b, run.width))
        return memFullErr;
    ReadParameters(&run.params);
    run.discSize = DiscSize(run.params.radius);
    int32_t result = Sharpen(&run);
    FreeBuffers(&run.b);
    return result;
}
