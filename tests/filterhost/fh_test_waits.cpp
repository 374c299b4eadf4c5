/* Test module: announces itself, then tests for cancel until the host
 * answers it (or 30 seconds pass). */
#include <time.h>

#include "filter_framework.h"

const char gAboutText[] = "Waits for cancel (test module)";

int32_t MainUserEntry(void)
{
    ErrorMessage("waiting");
    const time_t start = time(nullptr);
    while (time(nullptr) - start < 30) {
        if (TestAbortSetProgressBar(0.5f))
            return userCanceledErr;
        struct timespec pause = {0, 5000000};
        nanosleep(&pause, nullptr);
    }
    return noErr;
}
