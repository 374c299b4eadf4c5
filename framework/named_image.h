/*
 * Named images: auxiliary images of any size and pixel width, held in locked
 * temporary memory or in a file of their name in the Preferences folder, and
 * read and written a whole line or column at a time.
 *
 * File format: a 6-byte header (width, height, bytes per pixel, unsigned
 * 16-bit, in the processor's byte order), then the pixels, line 0 first.
 * Sizes and file offsets are 64-bit so large images address the right bytes.
 */
#ifndef FRAMEWORK_NAMED_IMAGE_H
#define FRAMEWORK_NAMED_IMAGE_H

#include <stdint.h>

#include "platform.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct NamedImage {
    int16_t fileRef; /* open file, 0 when the image has none */
    uint16_t width;  /* width, height and bytesPerPixel are the */
    uint16_t height; /*   file header byte for byte */
    uint16_t bytesPerPixel;
    Boolean keepOnDisk; /* storage asked for at creation */
    uint64_t byteCount; /* width x bytesPerPixel x height */
    void* data;         /* pixels in memory, or null for a file */
    Handle dataHandle;  /* temporary-memory handle holding them, or null */
    char name[1032];
} NamedImage;

/* The images a run has open. The run's shut-down tosses everything on the
 * list, and tossing an image takes it off, so no record is released twice. */
typedef struct OpenImageNode {
    NamedImage* image;
    struct OpenImageNode* next;
} OpenImageNode;

extern OpenImageNode* gOpenImageFileList;

enum { kNamedImageHeaderBytes = 6 };
enum { kNamedImageZeroChunk = 524288 };
#define kNamedImageMemoryLimit 536870920ULL

OSErr _MakeNamedImage(const char* name, Boolean keepOnDisk, uint16_t width, uint16_t height,
                      uint16_t bytesPerPixel, NamedImage** image);
/* The same, but an image held in memory starts with undefined pixels when
 * clearMemory is false (one in a file is always cleared): for callers that
 * write every line before they read it. */
OSErr _MakeNamedImageCleared(const char* name, Boolean keepOnDisk, uint16_t width, uint16_t height,
                             uint16_t bytesPerPixel, Boolean clearMemory, NamedImage** image);
OSErr _OpenNamedImage(const char* name, NamedImage** image);
void _TossNamedImage(NamedImage* image);
void _CloseNamedImage(NamedImage* image);
OSErr _GetLine(NamedImage* image, int32_t y, void* buffer);
OSErr _PutLine(NamedImage* image, int32_t y, const void* buffer);
OSErr _GetColumn(NamedImage* image, int32_t x, void* buffer);
OSErr _PutColumn(NamedImage* image, int32_t x, const void* buffer);
void _CStringToFSSpec(const char* name, FSSpec* spec);

#ifdef __cplusplus
}
#endif

#endif
