// Test-only plug-in: reads the stored reference image back in its own run.
// It reports the reference size and result as a message, writes reference
// line y into result line y (zero beyond the reference), and makes one
// temporary image that the run's shut-down must release.
#include <algorithm>
#include <cstdio>
#include <cstring>

#include "filter_framework.h"

extern "C" const char gAboutText[] = "Reference Reader";

extern "C" int32_t MainUserEntry(void)
{
    int32_t refWidth = 0, refHeight = 0, width = 0, height = 0;
    OSErr result = GetRefDimensions(&refWidth, &refHeight);
    char text[96];
    std::snprintf(text, sizeof text, "reference %d x %d (%d)", static_cast<int>(refWidth),
                  static_cast<int>(refHeight), static_cast<int>(result));
    ErrorMessage(text);

    NamedImage* scratch = nullptr;
    MakeTemporaryImage(2, 2, 4, "Reader Scratch", &scratch);

    GetOriginalDimensions(&width, &height);
    int32_t count = std::max(std::max(refWidth, width), 1);
    RGB96* line = static_cast<RGB96*>(CreateAPointer(count, sizeof(RGB96)));
    for (int32_t y = 0; y < std::min(height, refHeight); y++) {
        std::memset(line, 0, static_cast<size_t>(count) * sizeof(RGB96));
        ReadRefImageLine(y, line);
        WriteResultLine(y, line);
    }
    DisposeAPointer(line);
    return 0;
}
