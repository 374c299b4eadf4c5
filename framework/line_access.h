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

#include <stdbool.h>
#include <stdint.h>

#include "colour.h"

#ifdef __cplusplus
extern "C" {
#endif

void ReadOriginalLine(int32_t line, RGB96* pixels);
void WriteResultLine(int32_t line, RGB96* pixels);

/* The conversions behind the two calls, for the framework's own use: one
 * line of `width` pixels between the host layout of `imageMode` and RGB96.
 * False, with nothing converted, for a mode the framework does not handle.
 * Writing a Lab mode leaves the Lab values in the caller's pixels. */
bool _HostLineToRGB96(int32_t imageMode, const void* hostLine, RGB96* pixels, int32_t width);
bool _RGB96ToHostLine(int32_t imageMode, RGB96* pixels, void* hostLine, int32_t width);

#ifdef __cplusplus
}
#endif

#endif
