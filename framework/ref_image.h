/*
 * The reference image ("Reference Image.xzy", RGB96 pixels, always a file in
 * the Preferences folder, kept between runs) and the temporary images a
 * filter makes for one run. Every temporary image is put on
 * gOpenImageFileList, so the run's shut-down tosses it: no file or memory of
 * a temporary image outlives the run.
 */
#ifndef FRAMEWORK_REF_IMAGE_H
#define FRAMEWORK_REF_IMAGE_H

#include <stdint.h>

#include "named_image.h"

#ifdef __cplusplus
extern "C" {
#endif

extern NamedImage* gRefImage;

#define kReferenceImageName "Reference Image.xzy"

OSErr GetRefDimensions(int32_t* width, int32_t* height);
OSErr InitializeRefImage(uint16_t width, uint16_t height);
OSErr ReadRefImageLine(int32_t y, void* buffer);
OSErr WriteRefImageLine(int32_t y, const void* buffer);

OSErr MakeTemporaryImage(uint16_t width, uint16_t height, uint16_t bytesPerPixel, const char* name,
                         NamedImage** imageID);
/* A temporary image like MakeTemporaryImage's, except that when it is held
 * in memory its pixels are not cleared: for a filter that writes every line
 * before reading it, which then skips clearing the whole image. */
OSErr MakeUnclearedTemporaryImage(uint16_t width, uint16_t height, uint16_t bytesPerPixel,
                                  const char* name, NamedImage** imageID);
OSErr ReadTempImageLine(NamedImage* imageID, int32_t y, void* buffer);
OSErr WriteTempImageLine(NamedImage* imageID, int32_t y, const void* buffer);
OSErr ReadTempImageColumn(NamedImage* imageID, int32_t x, void* buffer);
OSErr WriteTempImageColumn(NamedImage* imageID, int32_t x, const void* buffer);
/* The pixels of a temporary image held in memory, line 0 first, for callers
 * that work on them in place; null for an image held in a file (or none). */
void* GetTempImagePixels(NamedImage* imageID);

/* Shut-down steps: close the reference image (its file stays), then toss
 * every image on the open-image list. */
void _CloseRefImage(void);
void _TossOpenImageFiles(void);

#ifdef __cplusplus
}
#endif

#endif
