/* Test module for batches: how it ends depends on the image's width.
 * Width 3 crashes (SIGSEGV), width 4 aborts, width 5 hangs without ever
 * testing for cancel; any other image is inverted line by line, with a
 * message giving the number of pixels. */
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include "filter_framework.h"

const char gAboutText[] = "Crashes, aborts, hangs or inverts (test module)";

static void Invert(int32_t width, int32_t height)
{
    RGB96* line = static_cast<RGB96*>(CreateAPointer(width, 12));
    for (int32_t y = 0; y < height; ++y) {
        (void)TestAbortSetProgressBar(static_cast<float>(y) / static_cast<float>(height));
        ReadOriginalLine(y, line);
        for (int32_t x = 0; x < width; ++x)
            for (int c = 0; c < 3; ++c)
                line[x].c[c] = 255.0f - line[x].c[c];
        WriteResultLine(y, line);
    }
    DisposeAPointer(line);
}

int32_t MainUserEntry(void)
{
    int32_t width = 0, height = 0;
    GetOriginalDimensions(&width, &height);
    if (width == 3)
        raise(SIGSEGV);
    if (width == 4)
        abort();
    while (width == 5) {
        struct timespec pause = {0, 50000000};
        nanosleep(&pause, nullptr);
    }
    Invert(width, height);
    char text[64];
    _Num2String(width * height, text);
    strcat(text, " pixels inverted.");
    ErrorMessage(text);
    return noErr;
}
