/*
 * Fill holes: white regions enclosed by black (not reaching the image edge)
 * are painted 32, 32, 32; every other pixel keeps its exact original value.
 *
 * White is the feature here (mean >= 127.5). White regions are labelled
 * 4-connected in one raster pass; a region that meets the edge dies into
 * -1, so after the pass only enclosed regions hold labels of 2 or more.
 */
#include "binary_features.h"

extern "C" const char gAboutText[] = "Fill Holes in Black Features in Binary Image";

namespace {

const float kFillValue = 32.0f;
const int32_t kEdgeRegion = -1;

/* 4-connected: only left (L) and up (U) are looked at. Labels are compared
 * by their roots; a pixel may carry any label of its set. */
struct FillHolesRule {
    /* A pixel away from the edge. */
    static int32_t Interior(BinaryWork* work, int32_t left, int32_t up)
    {
        if (left == 0 && up == 0)
            return BinaryNewLabel(work);
        if (left == 0 || left == up)
            return up;
        if (up == 0)
            return left;
        int32_t* parent = work->parent;
        int32_t l = BinaryFind(parent, left);
        int32_t u = BinaryFind(parent, up);
        if (l == u)
            return u;
        if (l == kEdgeRegion) {
            parent[u] = kEdgeRegion;
            return kEdgeRegion;
        }
        if (u == kEdgeRegion) {
            parent[l] = kEdgeRegion;
            return kEdgeRegion;
        }
        parent[l] = u;
        return u;
    }

    /* A pixel on the edge: the candidate is L, or U when L is 0 or the edge
     * value; it dies into the edge value. */
    static int32_t Edge(BinaryWork* work, int32_t left, int32_t up)
    {
        int32_t* parent = work->parent;
        int32_t candidate = BinaryFind(parent, left);
        if (candidate == 0 || candidate == kEdgeRegion)
            candidate = BinaryFind(parent, up);
        if (candidate > 0)
            parent[candidate] = kEdgeRegion;
        return kEdgeRegion;
    }

    /* Along a run the left neighbour is the run's own label, so only the
     * first pixel, the first pixel under each further run above, and the
     * edge columns can change anything. */
    int32_t LabelRun(BinaryWork* work, const BinaryRuns* above, int32_t* cursor, int32_t start,
                     int32_t end, Boolean edgeLine)
    {
        int32_t i = *cursor;
        while (i < above->count && above->end[i] < start)
            i++;
        *cursor = i;
        if (edgeLine) {
            /* Every pixel is an edge pixel: each run above dies into the edge. */
            for (; i < above->count && above->start[i] <= end; i++)
                Edge(work, 0, above->label[i]);
            return kEdgeRegion;
        }
        int32_t width = work->width;
        bool covered = i < above->count && above->start[i] <= start;
        int32_t up = covered ? above->label[i] : 0;
        bool edgeStart = start == 1 || start == width;
        int32_t label = edgeStart ? Edge(work, 0, up) : Interior(work, 0, up);
        if (start == end)
            return label;
        int32_t lastInterior = end < width ? end : width - 1;
        if (covered) {
            /* Past an edge pixel, the run above meets the interior rule. */
            if (edgeStart && above->end[i] >= start + 1 && start + 1 <= lastInterior)
                label = Interior(work, label, up);
            i++;
        }
        for (; i < above->count && above->start[i] <= lastInterior; i++)
            label = Interior(work, label, above->label[i]);
        if (end == width) {
            const int32_t last = above->count - 1;
            bool coveredEnd = last >= 0 && above->end[last] == width;
            label = Edge(work, label, coveredEnd ? above->label[last] : 0);
        }
        return label;
    }
};

void WriteFilledLines(BinaryWork* work)
{
    const int32_t* parent = work->parent;
    for (int32_t y = 0; y < work->height; y++) {
        ReadOriginalLine(y, work->pixels);
        const int32_t* line = BinaryWorkLine(work, y + 1, work->current) + 1;
        for (int32_t x = 0; x < work->width; x++) {
            /* Most of the image holds no label: eight entries at a time. */
            if (x + 8 <= work->width) {
                bool labels = false;
                for (int32_t i = 0; i < 8; i++)
                    labels |= line[x + i] > 0;
                if (!labels) {
                    x += 7;
                    continue;
                }
            }
            int32_t v = line[x];
            if (v > 0 && parent[v] > 0) {
                work->pixels[x].c[0] = kFillValue;
                work->pixels[x].c[1] = kFillValue;
                work->pixels[x].c[2] = kFillValue;
            }
        }
        WriteResultLine(y, work->pixels);
    }
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

    FillHolesRule rule;
    OSErr labelled = BinaryWorkLabel(&work, kBinaryWhiteFeature, nullptr, nullptr, rule);
    if (labelled != noErr) {
        BinaryWorkFree(&work);
        return labelled;
    }
    BinaryWorkResolve(&work);
    WriteFilledLines(&work);

    BinaryWorkFree(&work);
    return created;
}
