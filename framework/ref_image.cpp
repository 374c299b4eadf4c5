/*
 * The reference image and the temporary images.
 *
 * The reference image is the named image "Reference Image.xzy", always a
 * file in the Preferences folder with one RGB96 pixel (12 bytes) a pixel. It
 * is opened on first use in a run and stays open in gRefImage until the
 * shut-down closes it, keeping its file for later runs.
 *
 * Temporary images are named images made to live in memory when they can.
 * Each one is put on gOpenImageFileList as it is made, and the shut-down
 * tosses everything on the list, so no memory or file of a temporary image
 * outlives its run.
 */
#include "ref_image.h"

#include <cstdlib>

#include "messages.h"

/* One RGB96 pixel: three 32-bit floats. */
static constexpr uint16_t kRefBytesPerPixel = 12;

NamedImage* gRefImage = nullptr;

/* Opens the stored reference image unless it is open already. On failure
 * gRefImage stays null, so the next call tries again. */
static OSErr _OpenRefImage(void)
{
    if (gRefImage != nullptr)
        return noErr;
    NamedImage* image = nullptr;
    OSErr result = _OpenNamedImage(kReferenceImageName, &image);
    if (result == noErr)
        gRefImage = image;
    return result;
}

extern "C" OSErr GetRefDimensions(int32_t* width, int32_t* height)
{
    OSErr result = _OpenRefImage();
    if (result != noErr) {
        *width = 0;
        *height = 0;
        return result;
    }
    *width = gRefImage->width;
    *height = gRefImage->height;
    return noErr;
}

extern "C" OSErr InitializeRefImage(uint16_t width, uint16_t height)
{
    if (gRefImage != nullptr)
        _TossNamedImage(gRefImage);
    gRefImage = nullptr;
    NamedImage* image = nullptr;
    OSErr result =
        _MakeNamedImage(kReferenceImageName, 1, width, height, kRefBytesPerPixel, &image);
    if (result == noErr)
        gRefImage = image;
    return result;
}

extern "C" OSErr ReadRefImageLine(int32_t y, void* buffer)
{
    OSErr result = _OpenRefImage();
    if (result != noErr) {
        ErrorMessage("There is no reference image (ReadRefImageLine)");
        return result;
    }
    return _GetLine(gRefImage, y, buffer);
}

extern "C" OSErr WriteRefImageLine(int32_t y, const void* buffer)
{
    OSErr result = _OpenRefImage();
    if (result != noErr) {
        ErrorMessage("There is no reference image (WriteRefImageLine)");
        return result;
    }
    return _PutLine(gRefImage, y, buffer);
}

extern "C" OSErr MakeTemporaryImage(uint16_t width, uint16_t height, uint16_t bytesPerPixel,
                                    const char* name, NamedImage** imageID)
{
    *imageID = nullptr;
    /* The list node is taken first, so that running out of memory for it
     * leaves any file of the name untouched. */
    OpenImageNode* node = static_cast<OpenImageNode*>(std::calloc(1, sizeof(OpenImageNode)));
    if (node == nullptr)
        return memFullErr;
    NamedImage* image = nullptr;
    OSErr result = _MakeNamedImage(name, 0, width, height, bytesPerPixel, &image);
    if (result != noErr) {
        std::free(node);
        return result;
    }
    /* Appended, so the shut-down tosses the images in the order they were made. */
    node->image = image;
    node->next = nullptr;
    OpenImageNode** link = &gOpenImageFileList;
    while (*link != nullptr)
        link = &(*link)->next;
    *link = node;
    *imageID = image;
    return noErr;
}

extern "C" OSErr ReadTempImageLine(NamedImage* imageID, int32_t y, void* buffer)
{
    if (imageID == nullptr) {
        ErrorMessage("imageID is 0.  (ReadTempImageLine)");
        return paramErr;
    }
    return _GetLine(imageID, y, buffer);
}

extern "C" OSErr WriteTempImageLine(NamedImage* imageID, int32_t y, const void* buffer)
{
    if (imageID == nullptr) {
        ErrorMessage("imageID is 0.  (WriteTempImageLine)");
        return paramErr;
    }
    return _PutLine(imageID, y, buffer);
}

extern "C" OSErr ReadTempImageColumn(NamedImage* imageID, int32_t x, void* buffer)
{
    if (imageID == nullptr) {
        ErrorMessage("imageID is 0.  (ReadTempImageColumn)");
        return paramErr;
    }
    return _GetColumn(imageID, x, buffer);
}

extern "C" OSErr WriteTempImageColumn(NamedImage* imageID, int32_t x, const void* buffer)
{
    if (imageID == nullptr) {
        ErrorMessage("imageID is 0.  (WriteTempImageColumn)");
        return paramErr;
    }
    return _PutColumn(imageID, x, buffer);
}

extern "C" void* GetTempImagePixels(NamedImage* imageID)
{
    return imageID == nullptr ? nullptr : imageID->data;
}

/* Shut-down: the reference image's file is closed and kept; the record is
 * released. gRefImage is cleared by the next run's start-up. */
extern "C" void _CloseRefImage(void)
{
    if (gRefImage != nullptr)
        _CloseNamedImage(gRefImage);
}

/* Shut-down: every image on the list is tossed (its file closed and deleted,
 * its memory released) and the list emptied. */
extern "C" void _TossOpenImageFiles(void)
{
    while (gOpenImageFileList != nullptr) {
        OpenImageNode* node = gOpenImageFileList;
        gOpenImageFileList = node->next;
        NamedImage* image = node->image;
        std::free(node);
        _TossNamedImage(image);
    }
}
