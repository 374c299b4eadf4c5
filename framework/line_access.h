/*
 * Host image line access: lines of the original image as RGB96 pixels on a
 * 0 to 255 scale whatever the host mode, and result lines staged in host
 * layout and delivered with the next line access or at shut-down.
 *
 * Invariant: at most one output line is staged; the host's rectangles are
 * one line high; reads always return the original image.
 */
#ifndef FRAMEWORK_LINE_ACCESS_H
#define FRAMEWORK_LINE_ACCESS_H

#include <stdint.h>

#include "colour.h"

#ifdef __cplusplus
extern "C" {
#endif

void ReadOriginalLine(int32_t line, RGB96* pixels);
void WriteResultLine(int32_t line, RGB96* pixels);

#ifdef __cplusplus
}
#endif

#endif
