/* Test module: reports some progress, then crashes the process it runs in,
 * as a faulty plug-in would. */
#include <stdlib.h>

#include "filter_framework.h"

const char gAboutText[] = "Crashes (test module)";

int32_t MainUserEntry(void)
{
    TestAbortSetProgressBar(0.25f);
    abort();
}
