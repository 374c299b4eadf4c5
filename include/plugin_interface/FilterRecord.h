/*
 * The host–plug-in contract: the filter record a host fills for a plug-in
 * module, the selectors it calls the module's `main` with, the image modes
 * and the result codes.
 *
 * Layout is this project's own (32-bit rectangles and sizes so that images
 * above 32,767 pixels a side work); only this project's host and modules
 * exchange it. The header is plain C so that both sides see one layout.
 */
#ifndef PLUGIN_INTERFACE_FILTER_RECORD_H
#define PLUGIN_INTERFACE_FILTER_RECORD_H

#include <stdint.h>

#include "plugin_interface/PluginTypes.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Rectangle of lines [top, bottom) and columns [left, right). */
typedef struct Rect32 {
    int32_t top;
    int32_t left;
    int32_t bottom;
    int32_t right;
} Rect32;

/* v is the vertical extent (height), h the horizontal one (width). */
typedef struct Point32 {
    int32_t v;
    int32_t h;
} Point32;

/* Host callbacks. advanceState serves the rectangles currently set in the
 * record and returns 0 or an error; progressProc reports done of total;
 * abortProc answers non-zero when the user asked to cancel. */
typedef OSErr (*AdvanceStateProc)(void);
typedef void (*ProgressProc)(int32_t done, int32_t total);
typedef Boolean (*TestAbortProc)(void);

typedef struct FilterRecord {
    int32_t serialNumber;
    TestAbortProc abortProc;
    ProgressProc progressProc;
    void* parameters;

    Point32 imageSize; /* whole image: h = width, v = height */
    int16_t planes;    /* planes the image holds */
    Rect32 filterRect; /* bounds of the selection (not used by the framework) */

    int32_t maxSpace;
    int32_t bufferSpace; /* set by the plug-in on prepare */

    Rect32 inRect; /* requested input area */
    int16_t inLoPlane;
    int16_t inHiPlane;
    Rect32 outRect; /* requested output area */
    int16_t outLoPlane;
    int16_t outHiPlane;
    Rect32 maskRect; /* requested mask area */

    void* inData; /* first requested input pixel, planes interleaved */
    int32_t inRowBytes;
    void* outData; /* first requested output pixel, planes interleaved */
    int32_t outRowBytes;
    void* maskData;
    int32_t maskRowBytes;

    Boolean isFloating;
    Boolean haveMask;
    Boolean autoMask;

    Fixed inputRate;
    Fixed maskRate;
    int16_t inputPadding;
    int16_t outputPadding;
    int16_t maskPadding;

    int16_t imageMode; /* one of the mode numbers below */
    int16_t depth;     /* bits per channel: 8, 16 or 32 */

    AdvanceStateProc advanceState;
} FilterRecord;

/* Selectors. */
enum {
    filterSelectorAbout = 0,
    filterSelectorParameters = 1,
    filterSelectorPrepare = 2,
    filterSelectorStart = 3,
    filterSelectorContinue = 4,
    filterSelectorFinish = 5
};

/* Image modes, by the host's numbers. */
enum {
    plugInModeBitmap = 0,
    plugInModeGrayScale = 1,
    plugInModeIndexedColor = 2,
    plugInModeRGBColor = 3,
    plugInModeCMYKColor = 4,
    plugInModeHSLColor = 5,
    plugInModeHSBColor = 6,
    plugInModeMultichannel = 7,
    plugInModeDuotone = 8,
    plugInModeLabColor = 9,
    plugInModeGray16 = 10,
    plugInModeRGB48 = 11,
    plugInModeLab48 = 12,
    plugInModeCMYK64 = 13,
    plugInModeDeepMultichannel = 14,
    plugInModeDuotone16 = 15,
    plugInModeRGB96 = 16,
    plugInModeGray32 = 17
};

/* The module's one entry point, exported under the name "main". */
typedef void (*PluginEntryProc)(int16_t selector, FilterRecord* filterRecord, int32_t* data,
                                int16_t* result);

#ifdef __cplusplus
}
#endif

#endif
