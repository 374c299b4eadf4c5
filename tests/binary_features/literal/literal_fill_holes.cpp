/*
 * Fill holes: white regions enclosed by black (not reaching the image edge)
 * are painted 32, 32, 32; every other pixel keeps its exact original value.
 *
 * White is the feature here (mean >= 127.5). White regions are labelled
 * 4-connected in one raster pass; a region that meets the edge dies into
 * -1, so after the pass only enclosed regions hold labels of 2 or more.
 */
#include "literal_scheme.h"

extern "C" {

const char gAboutText[] = "Fill Holes in Black Features in Binary Image";

static const float kFillValue = 32.0f;

/* 4-connected: only left (L) and up (U) are looked at. */
static int32_t FillHolesRule(BinaryWork* work, const BinaryNeighbours* n, int32_t* dying,
                             int32_t* survivor, void*)
{
    int32_t left = n->left;
    int32_t up = n->up;
    if (n->edge) {
        int32_t candidate;
        if (left == 0)
            candidate = up;
        else
            candidate = (left == -1) ? up : left;
        if (candidate > 0) {
            *dying = candidate;
            *survivor = -1;
        }
        return -1;
    }
    if (left == 0 && up == 0)
        return BinaryNewLabel(work);
    if (left == 0)
        return up;
    if (up == 0)
        return left;
    if (left == up)
        return up;
    if (left == -1) {
        *dying = up;
        *survivor = -1;
        return -1;
    }
    if (up == -1) {
        *dying = left;
        *survivor = -1;
        return -1;
    }
    *dying = left;
    *survivor = up;
    return up;
}

int32_t MainUserEntry(void)
{
    BinaryWork work;
    OSErr created = BinaryWorkSetUp(&work);
    if (created != noErr) {
        /* Without the work image nothing can be labelled: no result line. */
        BinaryWorkFree(&work);
        return created;
    }

    BinaryWorkBinarise(&work, kBinaryWhiteFeature, nullptr, nullptr);
    BinaryWorkLabel(&work, FillHolesRule, nullptr);

    for (int32_t y = 0; y < work.height; y++) {
        ReadOriginalLine(y, work.pixels);
        ReadTempImageLine(work.image, y + 1, work.current);
        for (int32_t x = 0; x < work.width; x++) {
            if (work.current[x + 1] > 0) {
                work.pixels[x].c[0] = kFillValue;
                work.pixels[x].c[1] = kFillValue;
                work.pixels[x].c[2] = kFillValue;
            }
        }
        WriteResultLine(y, work.pixels);
    }

    BinaryWorkFree(&work);
    return created;
}

}  // extern "C"
