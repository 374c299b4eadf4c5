// The opening and closing made line by line; see rank_stream.h.
#include "rank_stream.h"

#include "rank_kernels.h"

namespace {

int32_t Clamp(int32_t v, int32_t low, int32_t high)
{
    return v < low ? low : (v > high ? high : v);
}

/* Half-width of the disc's run on each window line, -1 where the disc does
 * not reach the line: the cells of rank below n. */
void DiscRuns(int32_t n, int32_t halfWidth[kWindowRows])
{
    for (int32_t r = 0; r < kWindowRows; ++r) {
        int32_t cells = 0;
        for (int32_t c = 0; c < kWindowRows; ++c)
            cells += kDistanceRank[r][c] < n ? 1 : 0;
        halfWidth[r] = cells > 0 ? (cells - 1) / 2 : -1;
    }
}

/* Hands out the lines of one RankLines from *next on. */
void Carve(RankLines* lines, bool ownLines, int32_t width, float** next)
{
    const int32_t padded = width + 2 * kRankPad;
    for (int32_t s = 0; s < kWindowRows; ++s) {
        lines->line[s] = nullptr;
        if (ownLines) {
            lines->line[s] = *next;
            *next += width;
        }
        for (int32_t w = 0; w < 4; ++w) {
            lines->runs[s][w] = *next;
            *next += padded;
        }
    }
}

/* The extreme over the disc around line y from the run extremes of the
 * lines y - 3 … y + 3 (clamped to the image), with line y's own value where
 * that is a NaN. */
void CombineDisc(const RankStream* s, const RankLines* runs, const float* centre, int32_t y,
                 bool maximum, float* out)
{
    const float* rows[kWindowRows];
    int32_t count = 0;
    for (int32_t r = 0; r < kWindowRows; ++r) {
        if (s->halfWidth[r] < 0)
            continue;
        const int32_t slot = Clamp(y + r - kReach, 0, s->height - 1) % kWindowRows;
        rows[count++] = runs->runs[slot][s->halfWidth[r]] + kRankPad;
    }
    CombineRuns(rows, count, centre, s->width, maximum, out);
}

void ReadSourceLine(RankStream* s)
{
    const int32_t y = s->linesRead++;
    const int32_t slot = y % kWindowRows;
    const float* line = s->lowRuns.line[slot];
    if (s->sourcePixels != nullptr)
        line = s->sourcePixels + static_cast<int64_t>(y) * s->width;
    else
        ReadTempImageLine(s->source, y, s->lowRuns.line[slot]);
    s->centre[slot] = line;
    HorizontalRuns(line, s->width, false, s->widest, s->lowRuns.runs[slot]);
    HorizontalRuns(line, s->width, true, s->widest, s->highRuns.runs[slot]);
}

/* Eroded and dilated line y, once the brightness lines up to y + 3 are in. */
void MakeFirstLines(RankStream* s)
{
    const int32_t y = s->linesMade++;
    const int32_t slot = y % kWindowRows;
    const float* centre = s->centre[slot];
    CombineDisc(s, &s->lowRuns, centre, y, false, s->eroded.line[slot]);
    CombineDisc(s, &s->highRuns, centre, y, true, s->dilated.line[slot]);
    HorizontalRuns(s->eroded.line[slot], s->width, true, s->widest, s->eroded.runs[slot]);
    HorizontalRuns(s->dilated.line[slot], s->width, false, s->widest, s->dilated.runs[slot]);
}

}  // namespace

bool OpenRankStream(RankStream* s, NamedImage* source, int32_t width, int32_t height,
                    int32_t discSize)
{
    *s = RankStream{};
    s->source = source;
    s->sourcePixels = static_cast<const float*>(GetTempImagePixels(source));
    s->width = width;
    s->height = height;
    DiscRuns(discSize, s->halfWidth);
    for (int32_t hw : s->halfWidth)
        s->widest = hw > s->widest ? hw : s->widest;
    const int32_t padded = width + 2 * kRankPad;
    /* Three sets with lines of their own and run extremes, one without. */
    const int64_t floats = int64_t{kWindowRows} * (3 * width + 16 * padded);
    if (floats > 0x7fffffff / 4)
        return false;
    s->block = static_cast<float*>(CreateAPointer(static_cast<int32_t>(floats), 4));
    if (s->block == nullptr)
        return false;
    float* next = s->block;
    Carve(&s->lowRuns, true, width, &next);
    Carve(&s->highRuns, false, width, &next);
    Carve(&s->eroded, true, width, &next);
    Carve(&s->dilated, true, width, &next);
    return true;
}

void CloseRankStream(RankStream* s)
{
    if (s->block != nullptr)
        DisposeAPointer(s->block);
    s->block = nullptr;
}

void StartRankStreamAt(RankStream* s, int32_t y)
{
    /* Line y's opening needs the eroded and dilated lines from y - 3, and
     * those the brightness lines from y - 6. */
    s->linesMade = y - kReach > 0 ? y - kReach : 0;
    s->linesRead = y - 2 * kReach > 0 ? y - 2 * kReach : 0;
}

void OpeningAndClosing(RankStream* s, int32_t y, float* opening, float* closing)
{
    const int32_t lastFirst = y + kReach < s->height ? y + kReach : s->height - 1;
    while (s->linesMade <= lastFirst) {
        const int32_t needed =
            s->linesMade + kReach < s->height ? s->linesMade + kReach : s->height - 1;
        while (s->linesRead <= needed)
            ReadSourceLine(s);
        MakeFirstLines(s);
    }
    const int32_t slot = y % kWindowRows;
    CombineDisc(s, &s->eroded, s->eroded.line[slot], y, true, opening);
    CombineDisc(s, &s->dilated, s->dilated.line[slot], y, false, closing);
}
