/*
 * total_perimeter: measures the summed boundary length of the black
 * features of a binary image and shows it in a message. No result line is
 * written, so the image itself is left as it was.
 *
 * The image is binarised line by line (black, mean <= 127.5, is 1), with
 * white all round it. One raster pass adds, for every image pixel, a weight looked
 * up from its own value and its four neighbours already passed (left,
 * up-left, up, up-right). Summed over a feature, the weights give the length
 * of the closed path through the centres of its boundary pixels, 1 for a
 * straight step and 1.414 for a diagonal one, plus the same for each hole.
 *
 * Invariant: only image pixels are visited as the current pixel; the white
 * line above and the white column to the left serve as neighbours, the
 * line below and the column to the right are never visited, so
 * boundary steps along the bottom and right image edges are not counted.
 */
#include <string.h>

#include "binary_features.h"
#include "filter_framework.h"

extern "C" const char gAboutText[] = "Measure Total Perimeter of Black Features";

namespace {

/* Indexed by the neighbourhood code 8·left + 4·upLeft + 2·up + upRight;
 * single-precision values of these decimals, not of √2 and its multiples. */
const float kBlackWeight[16] = {0.0f, 1.414f, 1.0f, 1.0f, 2.828f, 4.243f, 1.414f, 1.414f,
                                1.0f, 2.414f, 0.0f, 0.0f, 1.414f, 2.828f, 0.0f,   0.0f};
const float kWhiteWeight[16] = {0.0f, 0.0f, 0.0f,   0.0f, 0.0f, 0.0f, 1.0f,   1.0f,
                                0.0f, 0.0f, 1.414f, 0.0f, 1.0f, 0.0f, 1.414f, 1.414f};

const char kReportTail[] = " pixels = total perimeter.";
constexpr uint32_t kReportBytes = 256;

/* Adds the weights of one work line, in order; weights of 0 leave the
 * total as it is, so only boundary pixels add. */
float MeasureLine(const int32_t* current, const int32_t* previous, int32_t width, float total)
{
    for (int32_t j = 1; j <= width; j++) {
        int32_t code = 8 * (current[j - 1] != 0) + 4 * (previous[j - 1] != 0) +
                       2 * (previous[j] != 0) + (previous[j + 1] != 0);
        float weight = current[j] != 0 ? kBlackWeight[code] : kWhiteWeight[code];
        if (weight != 0.0f)
            total += weight;
    }
    return total;
}

/* Binarises each line and measures it against the line above in the same
 * pass; the two lines take turns in the line buffers. */
float MeasureImage(BinaryWork* work)
{
    int32_t width = work->width;
    int32_t* previous = work->previous;
    int32_t* current = work->current;
    memset(previous, 0, sizeof(int32_t) * (size_t)(width + 2));
    current[0] = 0;
    current[width + 1] = 0;
    float total = 0.0f;
    for (int32_t y = 0; y < work->height; y++) {
        ReadOriginalLine(y, work->pixels);
        BinaryBinariseLine(work->pixels, width, kBinaryBlackFeature, current + 1);
        total = MeasureLine(current, previous, width, total);
        int32_t* done = previous;
        previous = current;
        current = done;
        current[0] = 0;
        current[width + 1] = 0;
    }
    return total;
}

}  // namespace

extern "C" int32_t MainUserEntry(void)
{
    BinaryWork work;
    OSErr created = BinaryWorkSetUp(&work);
    /* Without the work image there is nothing to measure, and a total of 0
     * would be a wrong answer: skip the report and hand back the code. */
    if (created != noErr) {
        BinaryWorkFree(&work);
        return created;
    }

    float total = MeasureImage(&work);

    OSErr result = created;
    char* text = static_cast<char*>(CreateAPointerClear(1, kReportBytes));
    if (text != nullptr) {
        _RealToString(total, text);
        strncat(text, kReportTail, kReportBytes - 1 - strlen(text));
        ErrorMessage(text);
        DisposeAPointer(text);
    } else {
        result = memFullErr; /* the measurement could not be shown */
    }

    BinaryWorkFree(&work);
    return result;
}
