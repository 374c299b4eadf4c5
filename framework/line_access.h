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

/* ReadOriginalLine with the conversion left to the caller when `convert`
 * is false: the host's own samples of the line (gPrimaryImage.imageMode's
 * layout, valid until the next line access) are handed back and `pixels`
 * is left alone. Otherwise it is ReadOriginalLine and hands back null:
 * where ReadOriginalLine fails, with the same messages, host calls and
 * pixels; with `convert` true; and while a result line waits to be
 * delivered, since the host may put it where the samples are. */
const void* ReadOriginalSamples(int32_t line, RGB96* pixels, bool convert);
void WriteResultLine(int32_t line, RGB96* pixels);

/* One pixel in the host's layout: up to three samples of up to 4 bytes. */
typedef struct HostPixel {
    uint8_t bytes[12];
} HostPixel;

/* The host bytes WriteResultLine writes for `pixel` in the running image's
 * mode (the pixel itself is left as it is); false, with the bytes zero,
 * when there is no run or its mode is not handled. */
bool ResultPixel(const RGB96* pixel, HostPixel* hostPixel);

/* WriteResultLine for a line made of runs of one colour each, converted
 * beforehand with ResultPixel: run i covers pixels runEnds[i - 1] to
 * runEnds[i] - 1 (from 0 for the first) and the runs end at the width. The
 * host sees the same calls, and the same messages are given, as with
 * WriteResultLine. */
void WriteResultLineRuns(int32_t line, const HostPixel* colours, const int32_t* runEnds,
                         int32_t runCount);

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
