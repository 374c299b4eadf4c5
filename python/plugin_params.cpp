#include "plugin_params.h"

#include <pybind11/stl.h>
#include <stdlib.h>

#include <cerrno>
#include <system_error>
#include <vector>

#include "plugin_description.h"

namespace py = pybind11;
namespace fs = std::filesystem;

namespace filterkit {
namespace {

py::dict ParameterDict(const host::ParameterDescription& p)
{
    py::dict d;
    d["name"] = p.name;
    d["meaning"] = p.meaning;
    d["type"] = p.integer ? "integer" : "float";
    d["unit"] = p.unit;
    d["default"] = p.defaultValue;
    d["minimum"] = p.minimum;
    d["maximum"] = p.maximum;
    return d;
}

py::dict ParameterFileDict(const host::ParameterFileDescription& file)
{
    py::list parameters;
    for (const auto& p : file.parameters)
        parameters.append(ParameterDict(p));
    py::dict d;
    d["file"] = file.fileName;
    d["folder"] = file.folder;
    d["format"] = file.format;
    d["parameters"] = parameters;
    return d;
}

std::optional<host::PluginDescription> Load(const fs::path& module)
{
    try {
        return host::LoadPluginDescription(module);
    } catch (const host::DescriptionError& e) {
        throw py::value_error(e.what());
    }
}

// A parameter value as the text the description checks: ints as they
// are, floats in their shortest round-trip form, strings unchanged.
std::string ValueText(const std::string& name, const py::handle& value)
{
    if (py::isinstance<py::bool_>(value) ||
        !(py::isinstance<py::int_>(value) || py::isinstance<py::float_>(value) ||
          py::isinstance<py::str>(value)))
        throw py::type_error(
            "parameter '" + name + "' must be a number, not " +
            py::str(py::type::handle_of(value).attr("__name__")).cast<std::string>());
    if (py::isinstance<py::str>(value))
        return value.cast<std::string>();
    return py::repr(value).cast<std::string>();
}

fs::path MakePrivateFolder()
{
    std::string pattern = (fs::temp_directory_path() / "filterkit-desktop-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr)
        throw std::system_error(errno, std::generic_category(),
                                "cannot make a Desktop folder for the parameters");
    return pattern;
}

}  // namespace

py::object DescriptionDict(const fs::path& module)
{
    const auto description = Load(module);
    if (!description)
        return py::none();
    py::dict d;
    d["name"] = description->name;
    d["menu_name"] = description->menuName;
    d["category"] = description->category;
    d["about"] = description->about;
    d["summary"] = description->summary;
    d["image_modes"] = description->imageModes;
    d["reference_image"] = host::ReferenceUseName(description->reference);
    d["parameter_file"] = description->parameterFile
                              ? py::object(ParameterFileDict(*description->parameterFile))
                              : py::object(py::none());
    return d;
}

void CheckOffersMode(const fs::path& module, const host::Image& image)
{
    const auto description = Load(module);
    if (description && !host::OffersMode(*description, image))
        throw py::value_error(description->name + " does not take " +
                              host::ModeName(image.mode, image.depth) + " images; it takes " +
                              host::OfferedModesText(*description));
}

ParameterDesktop::ParameterDesktop(const fs::path& module, const py::dict& params)
{
    const auto description = Load(module);
    if (!description || !description->parameterFile)
        throw py::value_error("plug-in '" + module.stem().string() + "' takes no parameters");
    std::map<std::string, std::string> texts;
    for (const auto& [key, value] : params) {
        const auto name = py::str(key).cast<std::string>();
        texts[name] = ValueText(name, value);
    }
    std::vector<host::ParameterValue> written;
    folder_ = MakePrivateFolder();
    try {
        written = host::WriteParameterFile(*description, texts, folder_);
    } catch (const host::DescriptionError& e) {
        RemoveFolder();
        throw py::value_error(e.what());
    } catch (...) {
        RemoveFolder();
        throw;
    }
    for (const auto& v : written)
        values_[v.name] = v.value;
}

ParameterDesktop::~ParameterDesktop()
{
    RemoveFolder();
}

void ParameterDesktop::RemoveFolder()
{
    std::error_code ec;
    fs::remove_all(folder_, ec);
}

}  // namespace filterkit
