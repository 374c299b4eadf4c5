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
    int32_t Pixel(BinaryWork* work, int32_t left, const int32_t* previous, int32_t j, bool edge)
    {
        int32_t up = previous[j];
        if (left == up)
            return left == 0 ? (edge ? kEdgeRegion : BinaryNewLabel(work)) : Join(work, up, edge);
        if (left == 0)
            return Join(work, up, edge);
        if (up == 0)
            return Join(work, left, edge);
        int32_t* parent = work->parent;
        int32_t l = BinaryFind(parent, left);
        int32_t u = BinaryFind(parent, up);
        if (edge) {
            /* The candidate is L, or U when L is the edge value. */
            int32_t candidate = l == kEdgeRegion ? u : l;
            if (candidate > 0)
                parent[candidate] = kEdgeRegion;
            return kEdgeRegion;
        }
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

    /* Four white pixels under four pixels of the left neighbour's label
     * each take that label. */
    static bool CopiesUp(int32_t left, const int32_t* current, const int32_t* previous)
    {
        bool white = (current[0] != 0) & (current[1] != 0) & (current[2] != 0) & (current[3] != 0);
        bool same = (previous[0] == left) & (previous[1] == left) & (previous[2] == left) &
                    (previous[3] == left);
        return white & same & (left != 0);
    }

    /* One labelled neighbour (or two of one set): the pixel joins it; on
     * the edge it takes the neighbour's region with it to the edge. */
    static int32_t Join(BinaryWork* work, int32_t label, bool edge)
    {
        if (!edge)
            return label;
        int32_t root = BinaryFind(work->parent, label);
        if (root > 0)
            work->parent[root] = kEdgeRegion;
        return kEdgeRegion;
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
