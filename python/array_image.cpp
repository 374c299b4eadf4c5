#include "array_image.h"

#include <cstring>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "image_file.h"

namespace py = pybind11;

namespace filterkit {
namespace {

std::string Text(py::handle object)
{
    return py::str(object).cast<std::string>();
}

struct Layout {
    int32_t height = 0;
    int32_t width = 0;
    int16_t planes = 1;
};

int16_t DepthForDtype(const py::dtype& dtype)
{
    const char kind = dtype.kind();
    const auto size = dtype.itemsize();
    if (kind == 'u' && size == 1)
        return 8;
    if (kind == 'u' && size == 2)
        return 16;
    if (kind == 'f' && size == 4)
        return 32;
    throw py::type_error("image dtype must be uint8, uint16 or float32, not " + Text(dtype));
}

Layout LayoutForShape(const py::array& array)
{
    const auto ndim = array.ndim();
    if (ndim != 2 && !(ndim == 3 && array.shape(2) == 3))
        throw py::value_error("image shape must be (height, width) or (height, width, 3), not " +
                              Text(array.attr("shape")));
    constexpr auto kLimit = static_cast<py::ssize_t>(std::numeric_limits<int32_t>::max());
    const py::ssize_t height = array.shape(0), width = array.shape(1);
    if (height < 1 || width < 1)
        throw py::value_error("image must be at least 1 x 1 pixels");
    if (height > kLimit || width > kLimit)
        throw py::value_error("image sides must fit in 32 bits");
    return Layout{static_cast<int32_t>(height), static_cast<int32_t>(width),
                  static_cast<int16_t>(ndim == 3 ? 3 : 1)};
}

int16_t ModeFor(int16_t depth, int16_t planes, bool lab)
{
    if (lab && (planes != 3 || depth == 32))
        throw py::value_error("a Lab image must be (height, width, 3) of uint8 or uint16");
    if (depth == 8)
        return planes == 1 ? plugInModeGrayScale : lab ? plugInModeLabColor : plugInModeRGBColor;
    if (depth == 16)
        return planes == 1 ? plugInModeGray16 : lab ? plugInModeLab48 : plugInModeRGB48;
    return planes == 1 ? plugInModeGrayScale : plugInModeRGB96;
}

// A C-contiguous, native-order view of the samples (a copy only when the
// array is not one already).
template <typename T> py::array_t<T, py::array::c_style> Contiguous(const py::array& array)
{
    return py::array_t<T, py::array::c_style | py::array::forcecast>::ensure(array);
}

// The samples into the image's pixel vector in one pass (no zero fill
// first: for large images that pass costs as much as the copy).
template <typename T> void TakeSamples(const py::array& array, host::Image& image)
{
    const auto samples = Contiguous<T>(array);
    const auto* bytes = reinterpret_cast<const uint8_t*>(samples.data());
    image.pixels.resize(static_cast<size_t>(samples.nbytes()));
    if (!image.pixels.empty())
        std::memcpy(image.pixels.data(), bytes, image.pixels.size());
}

void TakeFileScaleSamples(const py::array& array, host::Image& image)
{
    const auto samples = Contiguous<uint16_t>(array);
    image.pixels.resize(static_cast<size_t>(samples.nbytes()));
    const uint16_t* from = samples.data();
    auto* to = reinterpret_cast<uint16_t*>(image.pixels.data());
    const auto count = static_cast<size_t>(samples.size());
    for (size_t i = 0; i < count; ++i)
        to[i] = host::FileToHost16(from[i]);
}

void TakeSamples(const py::array& array, host::Image& image)
{
    if (image.depth == 16)
        TakeFileScaleSamples(array, image);
    else if (image.depth == 8)
        TakeSamples<uint8_t>(array, image);
    else
        TakeSamples<float>(array, image);
}

std::vector<py::ssize_t> ShapeOf(const host::Image& image)
{
    if (image.planes == 1)
        return {image.height, image.width};
    return {image.height, image.width, image.planes};
}

// An array that owns the image's pixel vector: no copy.
template <typename T> py::array AdoptPixels(host::Image&& image)
{
    auto pixels = std::make_unique<host::PixelBuffer>(std::move(image.pixels));
    py::capsule owner(pixels.get(), [](void* p) { delete static_cast<host::PixelBuffer*>(p); });
    auto* data = reinterpret_cast<T*>(pixels.release()->data());
    return py::array_t<T>(ShapeOf(image), data, owner);
}

py::array FileScaleArray(const host::Image& image)
{
    py::array_t<uint16_t> array(ShapeOf(image));
    const auto* from = reinterpret_cast<const uint16_t*>(image.pixels.data());
    uint16_t* to = array.mutable_data();
    const size_t count = image.pixels.size() / 2;
    for (size_t i = 0; i < count; ++i)
        to[i] = host::HostToFile16(from[i]);
    return array;
}

}  // namespace

bool IsLab(const host::Image& image)
{
    return image.mode == plugInModeLabColor || image.mode == plugInModeLab48;
}

host::Image ImageFromArray(const py::handle& object, bool lab)
{
    if (!py::isinstance<py::array>(object))
        throw py::type_error("image must be a numpy array, not " +
                             Text(py::type::handle_of(object).attr("__name__")));
    const auto array = py::reinterpret_borrow<py::array>(object);
    const int16_t depth = DepthForDtype(array.dtype());
    const Layout layout = LayoutForShape(array);
    host::Image image;
    image.width = layout.width;
    image.height = layout.height;
    image.mode = ModeFor(depth, layout.planes, lab);
    image.depth = depth;
    image.planes = layout.planes;
    TakeSamples(array, image);
    return image;
}

py::array ArrayFromImage(host::Image&& image)
{
    if (image.depth == 16)
        return FileScaleArray(image);
    if (image.depth == 8)
        return AdoptPixels<uint8_t>(std::move(image));
    return AdoptPixels<float>(std::move(image));
}

}  // namespace filterkit
