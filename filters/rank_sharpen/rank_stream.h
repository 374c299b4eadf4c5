/*
 * The opening and closing of the brightness over the disc, made line by
 * line as the filter asks for them, from the brightness image alone.
 *
 * The disc is a stack of horizontal runs, one per line of the 7 × 7 window,
 * so its minimum or maximum is the extreme of a few run extremes. Each
 * brightness line is read once; its run minima and maxima are kept while the
 * seven eroded and dilated lines that need them are made, and those in turn
 * (with their own run extremes) while the seven opening and closing lines
 * that need them are made. A value replaces the running extreme only when
 * strictly smaller or larger: a NaN never replaces and a NaN centre stays.
 * Equal values must be interchangeable, which holds unless the image holds
 * both +0 and -0; the caller checks that.
 */
#ifndef FILTERS_RANK_SHARPEN_RANK_STREAM_H
#define FILTERS_RANK_SHARPEN_RANK_STREAM_H

#include <stdint.h>

#include "filter_framework.h"

constexpr int32_t kWindowRows = 7;
constexpr int32_t kReach = 3;

/* The place of each offset (row dy = -3 … 3, column dx = -3 … 3) when the 49
 * offsets are ordered by dx² + dy²: the first N places form the disc. */
constexpr int32_t kDistanceRank[kWindowRows][kWindowRows] = {
    {48, 44, 36, 25, 29, 37, 45}, {43, 24, 20, 9, 13, 21, 38}, {35, 19, 8, 1, 5, 14, 30},
    {28, 12, 4, 0, 2, 10, 26},    {34, 18, 7, 3, 6, 15, 31},   {42, 23, 17, 11, 16, 22, 39},
    {47, 41, 33, 27, 32, 40, 46},
};

/* Seven lines of one image in the slots of their line numbers modulo 7,
 * each with its horizontal run extremes of half-width 0 … 3. */
struct RankLines {
    float* line[kWindowRows];
    float* runs[kWindowRows][4];
};

struct RankStream {
    NamedImage* source;
    const float* sourcePixels;        /* the source's pixels when held in memory, else null */
    const float* centre[kWindowRows]; /* each brightness line, wherever it is */
    int32_t width;
    int32_t height;
    int32_t halfWidth[kWindowRows]; /* the disc's run on each window line, -1: none */
    int32_t widest;                 /* the largest of them */
    float* block;
    RankLines lowRuns;  /* brightness lines with their run minima */
    RankLines highRuns; /* the same lines' run maxima (no lines of their own) */
    RankLines eroded;   /* minimum over the disc, with run maxima */
    RankLines dilated;  /* maximum over the disc, with run minima */
    int32_t linesRead;
    int32_t linesMade;
};

/* False when the stream's lines cannot be had; nothing is held then. */
bool OpenRankStream(RankStream* s, NamedImage* source, int32_t width, int32_t height,
                    int32_t discSize);
void CloseRankStream(RankStream* s);

/* Makes a fresh stream start at line y, as if the lines above had been
 * asked for: a line's opening and closing depend on the brightness alone. */
void StartRankStreamAt(RankStream* s, int32_t y);

/* Opening and closing of line y; lines are asked for from the stream's
 * first line (0 unless started elsewhere) upward. A stream on a source held
 * in memory reads it straight from there, and may then be used by a thread
 * of its own while nothing writes the source. */
void OpeningAndClosing(RankStream* s, int32_t y, float* opening, float* closing);

#endif
