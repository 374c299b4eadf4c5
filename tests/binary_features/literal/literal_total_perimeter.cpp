/*
 * total_perimeter: measures the summed boundary length of the black
 * features of a binary image and shows it in a message. No result line is
 * written, so the image itself is left as it was.
 *
 * The image is binarised into the bordered work image (black, mean <= 127.5,
 * is 1). One raster pass then adds, for every image pixel, a weight looked
 * up from its own value and its four neighbours already passed (left,
 * up-left, up, up-right). Summed over a feature, the weights give the length
 * of the closed path through the centres of its boundary pixels, 1 for a
 * straight step and 1.414 for a diagonal one, plus the same for each hole.
 *
 * Invariant: only image pixels are visited as the current pixel; the border
 * line above and the border column to the left serve as neighbours, the
 * border line below and the column to the right are never visited, so
 * boundary steps along the bottom and right image edges are not counted.
 */
#include <string.h>

#include "filter_framework.h"
#include "literal_scheme.h"

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

float MeasureWorkImage(BinaryWork* work)
{
    float total = 0.0f;
    for (int32_t k = 1; k <= work->height; k++) {
        BinaryWorkReadLines(work, k);
        const int32_t* current = work->current;
        const int32_t* previous = work->previous;
        for (int32_t j = 1; j <= work->width; j++) {
            int32_t code = 8 * (current[j - 1] != 0) + 4 * (previous[j - 1] != 0) +
                           2 * (previous[j] != 0) + (previous[j + 1] != 0);
            total += current[j] != 0 ? kBlackWeight[code] : kWhiteWeight[code];
        }
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

    BinaryWorkBinarise(&work, kBinaryBlackFeature, nullptr, nullptr);
    float total = MeasureWorkImage(&work);

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
