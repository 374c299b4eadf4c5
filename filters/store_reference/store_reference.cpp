/*
 * Store Current Image as Reference: copies the current image, line by line
 * as RGB96 pixels, into the reference image file, replacing the one stored
 * before. The host's image is left unchanged (no result lines are written).
 *
 * The new reference image replaces the old one only once every line is in
 * it; a store that fails or is cancelled leaves the old one as it was.
 *
 * The reference image's header holds 16-bit sizes, so an image wider or
 * taller than 65,535 pixels is refused before anything is written.
 */
#include "filter_framework.h"

extern "C" const char gAboutText[] = "Store Current Image as Reference";

/* Largest side the reference image's 16-bit header can hold. */
static constexpr int32_t kMaxReferenceSide = 65535;

extern "C" int32_t MainUserEntry(void)
{
    int32_t width = 0;
    int32_t height = 0;
    GetOriginalDimensions(&width, &height);
    if (width > kMaxReferenceSide || height > kMaxReferenceSide) {
        ErrorMessage("This image is too large to store as the reference image.  "
                     "Its width and height must not exceed 65535 pixels. (MainUserEntry)");
        return userCanceledErr;
    }

    RGB96* line = static_cast<RGB96*>(CreateAPointer(width, sizeof(RGB96)));
    /* Without a line buffer nothing can be copied; the old reference image
     * is kept. */
    if (line == nullptr && width > 0)
        return memFullErr;

    /* Replaces the old reference image by a zero-filled one of this size.
     * When that fails (no Preferences folder, a full disk) there is nothing
     * to store into: the run says so once and fails, rather than reporting
     * every line and then success. */
    OSErr made = InitializeRefImage(static_cast<uint16_t>(width), static_cast<uint16_t>(height));
    if (made != noErr) {
        ErrorMessage("The reference image could not be created. (InitializeRefImage)");
        if (line != nullptr)
            DisposeAPointer(line);
        return made;
    }

    int32_t result = noErr;
    for (int32_t y = 0; y < height; y++) {
        if (TestAbortSetProgressBar(static_cast<float>(y) / static_cast<float>(height))) {
            result = userCanceledErr;
            break;
        }
        ReadOriginalLine(y, line);
        /* A line that cannot be stored (a full disk) ends the run, which the
         * framework has reported: the new reference image is then dropped
         * and the old one kept. */
        OSErr written = WriteRefImageLine(y, line);
        if (written != noErr) {
            result = written;
            break;
        }
    }

    if (line != nullptr)
        DisposeAPointer(line);
    return result;
}
