// numpy arrays ⇄ host images.
//
// An array is H×W (grey) or H×W×3 (RGB, or Lab when asked), of uint8,
// uint16 or float32. uint16 arrays hold the file scale 0..65535 (what image
// files and other Python libraries use); the host's 0..32768 scale is
// reached with the same rounding the image-file readers and writers use, so
// an array read from a file and run here meets the filter with exactly the
// samples filterhost would give it. Lab arrays hold L, a and b unsigned with
// neutral a and b in the middle of the range (128, or 32768 for uint16).
#pragma once

#include <pybind11/numpy.h>

#include "host.h"

namespace filterkit {

// The host image holding a copy of `array`. Throws pybind11::type_error for
// a wrong dtype or a non-array and pybind11::value_error for a wrong shape
// or size (or Lab asked of a grey or float array).
host::Image ImageFromArray(const pybind11::handle& array, bool lab);

// The array for a host image: H×W for one plane, H×W×3 for three. Takes
// the image's pixels over without copying where the sample types agree.
pybind11::array ArrayFromImage(host::Image&& image);

// Whether the host image is Lab (mode 9 or 12).
bool IsLab(const host::Image& image);

}  // namespace filterkit
