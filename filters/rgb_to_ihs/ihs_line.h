/*
 * The pixel conversion of rgb_to_ihs over a whole line, vectorised over x
 * with run-time choice of the instruction set; every lane does the
 * single-precision steps of the per-pixel formula in their order, and the
 * hue scaling in double precision, so the bytes are those of the plain loop.
 */
#ifndef FILTERS_RGB_TO_IHS_IHS_LINE_H
#define FILTERS_RGB_TO_IHS_IHS_LINE_H

#include <stdint.h>

#include "colour.h"

/* Each pixel's red, green, blue replaced, in place, by its intensity, hue
 * and saturation on the 0 to 255 scale; greys become grey at their
 * intensity. */
void ConvertLineToIHS(RGB96* pixels, int32_t width);

#endif
