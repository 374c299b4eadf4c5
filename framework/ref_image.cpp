/*
 * The reference image and the temporary images.
 *
 * The reference image is the named image "Reference Image.xzy", always a
 * file in the Preferences folder with one RGB96 pixel (12 bytes) a pixel. It
 * is opened on first use in a run and stays open in gRefImage until the
 * shut-down closes it, keeping its file for later runs. A file whose header
 * does not describe a 12-byte-a-pixel image with all of its pixels present
 * is refused as damaged, so no reader ever copies more than a line's worth
 * or reads pixels that are not there.
 *
 * A new reference image is made under a name of its own beside the stored
 * one and renamed over it in one step once every line has been written.
 * Until then the stored image stays as it was: a store that fails, is
 * cancelled or is killed leaves it intact, and a plug-in reading the
 * reference at the same time sees the old image or the new one, never a
 * half-written one. A new image that never got all its lines is deleted at
 * the shut-down.
 *
 * Temporary images are named images made to live in memory when they can.
 * Each one is put on gOpenImageFileList as it is made, and the shut-down
 * tosses everything on the list, so no memory or file of a temporary image
 * outlives its run.
 */
#include "ref_image.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "entry.h"
#include "messages.h"

/* One RGB96 pixel: three 32-bit floats. */
static constexpr uint16_t kRefBytesPerPixel = 12;

NamedImage* gRefImage = nullptr;

/* The new reference image being written, when gRefImage is one: a flag for
 * each of its lines written so far, and the number still to write. Null
 * while gRefImage is a stored image (or none). */
static uint8_t* gRefLineWritten = nullptr;
static int32_t gRefLinesToWrite = 0;

static void _ForgetPendingLines(void)
{
    std::free(gRefLineWritten);
    gRefLineWritten = nullptr;
    gRefLinesToWrite = 0;
}

/* Whether the open image is what a reference file must be: 12 bytes a
 * pixel and exactly the header's width x height pixels after the header. */
static OSErr _CheckRefImage(const NamedImage* image)
{
    if (image->bytesPerPixel != kRefBytesPerPixel)
        return paramErr;
    int64_t size = 0;
    OSErr result = GetEOF(image->fileRef, &size);
    if (result != noErr)
        return result;
    uint64_t expected = kNamedImageHeaderBytes +
                        static_cast<uint64_t>(image->width) * image->height * kRefBytesPerPixel;
    if (static_cast<uint64_t>(size) < expected)
        return eofErr;
    return static_cast<uint64_t>(size) == expected ? noErr : paramErr;
}

/* Opens the stored reference image unless it is open already. On failure
 * gRefImage stays null, so the next call tries again. A damaged file is
 * said so and left alone: storing a new reference replaces it. */
static OSErr _OpenRefImage(void)
{
    if (gRefImage != nullptr)
        return noErr;
    NamedImage* image = nullptr;
    OSErr result = _OpenNamedImage(kReferenceImageName, &image);
    if (result == noErr) {
        result = _CheckRefImage(image);
        if (result != noErr)
            _CloseNamedImage(image);
    }
    if (result == noErr)
        gRefImage = image;
    else if (result == eofErr || result == paramErr)
        ErrorMessage("The reference image is damaged.  Store it again. (_OpenRefImage)");
    return result;
}

/* A line or column transfer's result, noted as a data failure when it is
 * one: a read or write that failed on a valid index (an index out of range
 * has shown its own message). */
static OSErr _Noted(OSErr result, int32_t index, int32_t count, const char* function)
{
    if (result != noErr && index >= 0 && index < count)
        _NoteDataFailure(result, function);
    return result;
}

/* Puts the new reference image in the place of the stored one. On failure
 * the new one is deleted and the stored one stays. */
static OSErr _CommitRefImage(void)
{
    Str255 from, to;
    from[0] = static_cast<unsigned char>(std::strlen(gRefImage->name));
    std::memcpy(from + 1, gRefImage->name, from[0]);
    to[0] = static_cast<unsigned char>(std::strlen(kReferenceImageName));
    std::memcpy(to + 1, kReferenceImageName, to[0]);
    int16_t vRefNum = 0;
    int32_t dirID = 0;
    OSErr result =
        FindFolder(kOnSystemDisk, kPreferencesFolderType, kDontCreateFolder, &vRefNum, &dirID);
    if (result == noErr)
        result = HRenameOver(vRefNum, dirID, from, to);
    _ForgetPendingLines();
    if (result != noErr) {
        _NoteDataFailure(result, "_CommitRefImage");
        _TossNamedImage(gRefImage);
        gRefImage = nullptr;
        return result;
    }
    std::strcpy(gRefImage->name, kReferenceImageName);
    return noErr;
}

/* Ends the reference image of this run: a new one not yet complete is
 * deleted, a stored one closed and kept. */
static void _EndRefImage(void)
{
    if (gRefImage != nullptr && gRefLineWritten != nullptr)
        _TossNamedImage(gRefImage);
    else if (gRefImage != nullptr)
        _CloseNamedImage(gRefImage);
    _ForgetPendingLines();
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
    _EndRefImage();
    gRefImage = nullptr;
    /* One flag a line (at least one byte, so that null keeps meaning "no
     * new image"). */
    gRefLineWritten = static_cast<uint8_t*>(std::calloc(height > 0 ? height : 1, 1));
    if (gRefLineWritten == nullptr)
        return memFullErr;
    /* The process number keeps two stores at the same time apart. */
    char name[64];
    std::snprintf(name, sizeof name, ".%s.%ld", kReferenceImageName, static_cast<long>(getpid()));
    NamedImage* image = nullptr;
    OSErr result = _MakeNamedImage(name, 1, width, height, kRefBytesPerPixel, &image);
    if (result != noErr) {
        _ForgetPendingLines();
        return result;
    }
    gRefImage = image;
    gRefLinesToWrite = height;
    return height == 0 ? _CommitRefImage() : static_cast<OSErr>(noErr);
}

extern "C" OSErr ReadRefImageLine(int32_t y, void* buffer)
{
    OSErr result = _OpenRefImage();
    if (result != noErr) {
        ErrorMessage("There is no reference image (ReadRefImageLine)");
        return result;
    }
    return _Noted(_GetLine(gRefImage, y, buffer), y, gRefImage->height, "ReadRefImageLine");
}

extern "C" OSErr WriteRefImageLine(int32_t y, const void* buffer)
{
    OSErr result = _OpenRefImage();
    if (result != noErr) {
        ErrorMessage("There is no reference image (WriteRefImageLine)");
        return result;
    }
    result = _Noted(_PutLine(gRefImage, y, buffer), y, gRefImage->height, "WriteRefImageLine");
    if (result != noErr || gRefLineWritten == nullptr || gRefLineWritten[y])
        return result;
    gRefLineWritten[y] = 1;
    return --gRefLinesToWrite == 0 ? _CommitRefImage() : static_cast<OSErr>(noErr);
}

/* Makes a temporary image and puts it on the open-image list. */
static OSErr _MakeListedImage(uint16_t width, uint16_t height, uint16_t bytesPerPixel,
                              const char* name, bool clearMemory, NamedImage** imageID)
{
    *imageID = nullptr;
    /* The list node is taken first, so that running out of memory for it
     * leaves any file of the name untouched. */
    OpenImageNode* node = static_cast<OpenImageNode*>(std::calloc(1, sizeof(OpenImageNode)));
    if (node == nullptr)
        return memFullErr;
    NamedImage* image = nullptr;
    OSErr result =
        _MakeNamedImageCleared(name, 0, width, height, bytesPerPixel, clearMemory, &image);
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

extern "C" OSErr MakeTemporaryImage(uint16_t width, uint16_t height, uint16_t bytesPerPixel,
                                    const char* name, NamedImage** imageID)
{
    return _MakeListedImage(width, height, bytesPerPixel, name, true, imageID);
}

extern "C" OSErr MakeUnclearedTemporaryImage(uint16_t width, uint16_t height,
                                             uint16_t bytesPerPixel, const char* name,
                                             NamedImage** imageID)
{
    return _MakeListedImage(width, height, bytesPerPixel, name, false, imageID);
}

extern "C" OSErr ReadTempImageLine(NamedImage* imageID, int32_t y, void* buffer)
{
    if (imageID == nullptr) {
        ErrorMessage("imageID is 0.  (ReadTempImageLine)");
        return paramErr;
    }
    return _Noted(_GetLine(imageID, y, buffer), y, imageID->height, "ReadTempImageLine");
}

extern "C" OSErr WriteTempImageLine(NamedImage* imageID, int32_t y, const void* buffer)
{
    if (imageID == nullptr) {
        ErrorMessage("imageID is 0.  (WriteTempImageLine)");
        return paramErr;
    }
    return _Noted(_PutLine(imageID, y, buffer), y, imageID->height, "WriteTempImageLine");
}

extern "C" OSErr ReadTempImageColumn(NamedImage* imageID, int32_t x, void* buffer)
{
    if (imageID == nullptr) {
        ErrorMessage("imageID is 0.  (ReadTempImageColumn)");
        return paramErr;
    }
    return _Noted(_GetColumn(imageID, x, buffer), x, imageID->width, "ReadTempImageColumn");
}

extern "C" OSErr WriteTempImageColumn(NamedImage* imageID, int32_t x, const void* buffer)
{
    if (imageID == nullptr) {
        ErrorMessage("imageID is 0.  (WriteTempImageColumn)");
        return paramErr;
    }
    return _Noted(_PutColumn(imageID, x, buffer), x, imageID->width, "WriteTempImageColumn");
}

extern "C" void* GetTempImagePixels(NamedImage* imageID)
{
    return imageID == nullptr ? nullptr : imageID->data;
}

/* Shut-down: the reference image's file is closed and kept, or deleted when
 * it is a new image that never got all its lines; the record is released.
 * gRefImage is cleared by the next run's start-up. */
extern "C" void _CloseRefImage(void)
{
    _EndRefImage();
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
