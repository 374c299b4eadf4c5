/*
 * Colour conversion between RGB96 triples and the framework's own LAB96
 * opponent-colour triples, in place, on the 0 to 255 scale. The two are
 * near inverses, not exact ones.
 */
#ifndef FRAMEWORK_COLOUR_H
#define FRAMEWORK_COLOUR_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* One pixel of a line buffer: three single-precision channels. */
typedef struct RGB96 {
    float c[3];
} RGB96;

typedef RGB96 LAB96;

void _RGB96toLAB96(RGB96* pixels, int32_t count);
void _LAB96toRGB96(LAB96* pixels, int32_t count);

#ifdef __cplusplus
}
#endif

#endif
