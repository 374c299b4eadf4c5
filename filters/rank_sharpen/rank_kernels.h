/*
 * Line kernels of the rank-based sharpening filter, vectorised over x with
 * run-time choice of the instruction set. Every kernel does, lane by lane,
 * the single-precision operations of the per-pixel formula in the same
 * order, so its bytes are those of the plain loop on every target.
 */
#ifndef FILTERS_RANK_SHARPEN_RANK_KERNELS_H
#define FILTERS_RANK_SHARPEN_RANK_KERNELS_H

#include <stdint.h>

#include "colour.h"

/* Columns a rank line carries beyond each end, the reach of the 7 x 7 window. */
constexpr int32_t kRankPad = 3;

/* out[x] = (R + G + B) / 3; true when some out[x] is a negative zero. */
bool BrightnessLine(const RGB96* pixels, float* out, int32_t width);

/* From one source line (width values), the line's extremes over the
 * horizontal runs of half-width 0 to widest (at most 3): runs[w][kRankPad +
 * x] is the minimum (or maximum) of the source over columns x - w ... x + w,
 * the border column repeated outward. Each runs[w] holds width + 2 *
 * kRankPad floats. A NaN source value counts as +infinity for a minimum and
 * -infinity for a maximum, so it never wins against a number. */
void HorizontalRuns(const float* source, int32_t width, bool maximum, int32_t widest,
                    float* const runs[4]);

/* out[x] = the extreme of rows[0][x] ... rows[count - 1][x]; where centre[x]
 * is a NaN the result is centre[x] itself, since a NaN start value stays. */
void CombineRuns(const float* const* rows, int32_t count, const float* centre, int32_t width,
                 bool maximum, float* out);

/* g = (R + G + B) / 3 into a, g - b into b, g - c into c. */
void DetailLine(const RGB96* pixels, float* a, float* b, float* c, int32_t width);

/* The sharpened brightness v into a, from g in a and the details in b, c. */
void SharpenLine(float* a, const float* b, const float* c, int32_t width, int32_t mode,
                 float amount);

/* Running extremes: a value replaces *minimum (*maximum) only when strictly
 * smaller (larger). Equal values are taken to be identical, so the order in
 * which lanes meet does not matter; lines holding negative zeros must use
 * the plain loop. */
void LineExtremes(const float* v, int32_t width, float* minimum, float* maximum);

/* Histogram bin of each value: (v - minimum) / range * 1000 truncated,
 * 0 when not above 0, 999 when above 999. */
void HistogramBins(const float* v, int32_t width, float minimum, float range, int32_t* bins);

/* OutputLine's new brightness in place: v stretched, then clamped to
 * 0 ... 255. OutputLine without the stretch takes such a line to the same
 * pixels as OutputLine with it takes v. */
void StretchLine(float* v, int32_t width, float lowValue, float stretchRange);

/* New brightness n from v, stretched when stretch is set, clamped to
 * 0 ... 255, put into every pixel with its colour differences kept. */
void OutputLine(RGB96* pixels, const float* v, int32_t width, bool stretch, float lowValue,
                float stretchRange);

#endif
