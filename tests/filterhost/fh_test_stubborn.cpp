/* Test module: announces itself, then ignores cancel for 30 seconds. */
#include <time.h>

#include "filter_framework.h"

const char gAboutText[] = "Ignores cancel (test module)";

int32_t MainUserEntry(void)
{
    ErrorMessage("stubborn");
    const time_t start = time(nullptr);
    while (time(nullptr) - start < 30) {
        (void)TestAbortSetProgressBar(0.5f);
        struct timespec pause = {0, 5000000};
        nanosleep(&pause, nullptr);
    }
    return noErr;
}
