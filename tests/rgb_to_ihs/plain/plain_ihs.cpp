/*
 * The reference version of rgb_to_ihs, built as a test module: the filter as
 * first written, one pixel at a time, against which the fast filter is
 * compared byte for byte.
 *
 * rgb_to_ihs: replaces each pixel's red, green and blue by its intensity
 * (channel 0), hue (channel 1) and saturation (channel 2) in the
 * hue-lightness-saturation model, each on the 0 to 255 scale. Greys, which
 * have no saturation, are written back as grey at their intensity.
 *
 * Arithmetic is single precision throughout except the hue scaling, which is
 * done in double and rounded to single. Hue ties between channels go to red,
 * then green, then blue.
 */
#include "filter_framework.h"

const char gAboutText[] = "Convert RGB values to Intensity, Hue and Saturation";

static void _ConvertPixelToIHS(RGB96* pixel)
{
    const float r = pixel->c[0] / 255.0f;
    const float g = pixel->c[1] / 255.0f;
    const float b = pixel->c[2] / 255.0f;

    float max = r;
    if (g > max)
        max = g;
    if (b > max)
        max = b;
    float min = r;
    if (g < min)
        min = g;
    if (b < min)
        min = b;
    const float lightness = 0.5f * (max + min);

    float hue = 0.0f;
    float saturation = 0.0f;
    if (max != min) {
        const float d = max - min;
        if (lightness <= 0.5f)
            saturation = d / (max + min);
        else
            saturation = d / (2.0f - max - min);
        const float rc = (max - r) / d;
        const float gc = (max - g) / d;
        const float bc = (max - b) / d;
        if (r == max)
            hue = bc - gc;
        else if (g == max)
            hue = 2.0f + rc - bc;
        else
            hue = 4.0f + gc - rc;
        if (hue < 0.0f)
            hue += 6.0f;
        if (hue >= 6.0f)
            hue -= 6.0f;
    }

    const float intensity = lightness * 255.0f;
    const float saturationOut = saturation * 255.0f;
    const float hueOut = (float)((double)hue * 255.0 / 6.0);
    if (saturationOut > 0.0f) {
        pixel->c[0] = intensity;
        pixel->c[1] = hueOut;
        pixel->c[2] = saturationOut;
    } else {
        pixel->c[0] = pixel->c[1] = pixel->c[2] = intensity;
    }
}

int32_t MainUserEntry(void)
{
    int32_t width = 0;
    int32_t height = 0;
    GetOriginalDimensions(&width, &height);

    RGB96* line = (RGB96*)CreateAPointer(width, 12);
    /* Without a line buffer every read below would write through null:
     * stop before touching the image. */
    if (line == nullptr)
        return memFullErr;

    int32_t result = noErr;
    for (int32_t y = 0; y < height; y++) {
        if (TestAbortSetProgressBar((float)y / (float)height)) {
            result = userCanceledErr;
            break;
        }
        ReadOriginalLine(y, line);
        for (int32_t x = 0; x < width; x++)
            _ConvertPixelToIHS(&line[x]);
        WriteResultLine(y, line);
    }

    DisposeAPointer(line);
    return result;
}
