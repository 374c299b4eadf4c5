/*
 * rgb_to_ihs: replaces each pixel's red, green and blue by its intensity
 * (channel 0), hue (channel 1) and saturation (channel 2) in the
 * hue-lightness-saturation model, each on the 0 to 255 scale. Greys, which
 * have no saturation, are written back as grey at their intensity.
 *
 * Arithmetic is single precision throughout except the hue scaling, which is
 * done in double and rounded to single. Hue ties between channels go to red,
 * then green, then blue. The conversion itself is ihs_line.cpp's.
 */
#include "filter_framework.h"
#include "ihs_line.h"

extern "C" const char gAboutText[] = "Convert RGB values to Intensity, Hue and Saturation";

extern "C" int32_t MainUserEntry(void)
{
    int32_t width = 0;
    int32_t height = 0;
    GetOriginalDimensions(&width, &height);

    RGB96* line = (RGB96*)CreateAPointer(width, 12);
    /* Without a line buffer every read below would write through null:
     * stop before touching the image. */
    if (line == nullptr)
        return memFullErr;

    int32_t result = noErr;
    for (int32_t y = 0; y < height; y++) {
        if (TestAbortSetProgressBar((float)y / (float)height)) {
            result = userCanceledErr;
            break;
        }
        ReadOriginalLine(y, line);
        ConvertLineToIHS(line, width);
        WriteResultLine(y, line);
    }

    DisposeAPointer(line);
    return result;
}
