// Plug-in descriptions as Python dicts, and parameter values given from
// Python written as the parameter file a filter reads.
#pragma once

#include <pybind11/pybind11.h>

#include <filesystem>
#include <map>
#include <string>

#include "host.h"

namespace filterkit {

// The description beside the module as a dict (the keys of the description
// file), or None when the module has none. Throws pybind11::value_error for
// a malformed description.
pybind11::object DescriptionDict(const std::filesystem::path& module);

// Throws pybind11::value_error, in filterhost's words, when the module's
// description does not offer the plug-in for the image's mode.
void CheckOffersMode(const std::filesystem::path& module, const host::Image& image);

// A Desktop folder of its own for one run, holding the parameter file the
// plug-in reads with `params` (name → number) and the defaults for the
// rest; removed with the object.
class ParameterDesktop {
public:
    // Throws pybind11::value_error for a plug-in without parameters, an
    // unknown name or a value out of range, and pybind11::type_error for a
    // value that is not a number.
    ParameterDesktop(const std::filesystem::path& module, const pybind11::dict& params);
    ~ParameterDesktop();
    ParameterDesktop(const ParameterDesktop&) = delete;
    ParameterDesktop& operator=(const ParameterDesktop&) = delete;

    const std::filesystem::path& Folder() const { return folder_; }
    // Every parameter as written to the file, by name.
    const std::map<std::string, double>& Values() const { return values_; }

private:
    void RemoveFolder();
    std::filesystem::path folder_;
    std::map<std::string, double> values_;
};

}  // namespace filterkit
