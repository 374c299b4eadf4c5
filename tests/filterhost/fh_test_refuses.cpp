/* Test module: shows one message and refuses the image, touching no line. */
#include "filter_framework.h"

const char gAboutText[] = "Refuses every image (test module)";

int32_t MainUserEntry(void)
{
    ErrorMessage("Refused \"image\"\\\tfor testing.@Second line (MainUserEntry)");
    return userCanceledErr;
}
