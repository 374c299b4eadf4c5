// The three texts with which cross_correlate refuses an image size; they
// differ only in their capitals.
#pragma once

#include <string>

inline const std::string kMessageFirst =
    "Image must be SQUARE, at least 32x32, a power-of-two in size, and the same size as the "
    "reference image";
inline const std::string kMessageSecond =
    "Image must be SQUARE, at least 32x32, a power-of-two in size, and the SAME SIZE as the "
    "reference image";
inline const std::string kMessageThird =
    "Image must be square, at least 32x32, a power-of-two in size, and the same size as the "
    "reference image";
