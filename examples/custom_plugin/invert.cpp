/*
 * invert: a plug-in of your own, built against an installed filterkit.
 * Every sample v becomes 255 - v on the framework's 0 to 255 scale, whatever
 * the host's mode and depth; the framework converts each line to and from
 * the host's layout.
 *
 * A plug-in supplies its About text and MainUserEntry; the framework does
 * the rest of the host protocol.
 */
#include "filter_framework.h"

const char gAboutText[] = "Invert every channel of the image";

int32_t MainUserEntry(void)
{
    int32_t width = 0;
    int32_t height = 0;
    GetOriginalDimensions(&width, &height);

    RGB96* line = (RGB96*)CreateAPointer(width, sizeof(RGB96));
    if (line == nullptr)
        return memFullErr;

    int32_t result = noErr;
    for (int32_t y = 0; y < height; y++) {
        /* Lets the user cancel and keeps the host's progress bar moving. */
        if (TestAbortSetProgressBar((float)y / (float)height)) {
            result = userCanceledErr;
            break;
        }
        ReadOriginalLine(y, line);
        for (int32_t x = 0; x < width; x++)
            for (int c = 0; c < 3; c++)
                line[x].c[c] = 255.0f - line[x].c[c];
        WriteResultLine(y, line);
    }

    DisposeAPointer(line);
    return result;
}
