// Plug-in descriptions: what a host needs to know about a module before it
// calls it. Each module NAME.so may have a NAME.json beside it holding its
// menu name, category, About text, the image modes it is offered for, how
// it uses the reference image, and the parameter file it reads with each
// parameter's name, meaning, type, default and range.
//
// A host that wants to run a filter with chosen parameter values writes
// the parameter file into a Desktop folder of its own (WriteParameterFile)
// and points the platform's Desktop folder there for the run.
#pragma once

#include <filesystem>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "host.h"

namespace host {

// A description file that cannot be read, or parameter values that are
// refused; the text says what is wrong in one line.
class DescriptionError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

struct ParameterDescription {
    std::string name;
    std::string meaning;
    bool integer = false;  // "integer" in the file; otherwise "float"
    std::string unit;      // "percent", "pixels", "fraction" or empty
    double defaultValue = 0;
    double minimum = 0;
    double maximum = 0;
};

struct ParameterFileDescription {
    std::string fileName;  // the name the filter opens, e.g. "ranksharp.txt"
    std::string folder;    // "desktop"
    std::string format;    // how the numbers are laid out, in words
    std::vector<ParameterDescription> parameters;  // in file order
};

enum class ReferenceUse { kNone, kReads, kWrites };
// "none", "reads" or "writes", as the description file spells it.
const char* ReferenceUseName(ReferenceUse use);

struct PluginDescription {
    std::string name;
    std::string menuName;
    std::string category;
    std::string about;
    std::string summary;
    // Image modes the plug-in is offered for, as the interface numbers them
    // (1 grey, 3 RGB, 9 Lab, 10/11/12 their 16-bit forms, 16 RGB float,
    // 17 grey float).
    std::vector<int> imageModes;
    ReferenceUse reference = ReferenceUse::kNone;
    std::optional<ParameterFileDescription> parameterFile;
};

// One parameter value as it goes to the filter.
struct ParameterValue {
    std::string name;
    double value = 0;
    bool integer = false;
    bool given = false;  // false: the default
    std::string text;    // the number as written into the parameter file
};

// The description beside `module` (the module's path with ".json" for its
// extension), or nothing when there is none. Throws DescriptionError when
// the file exists but cannot be read or is malformed.
std::optional<PluginDescription> LoadPluginDescription(const std::filesystem::path& module);

// Parses description text; `origin` names it in errors.
PluginDescription ParsePluginDescription(const std::string& json, const std::string& origin);

// The interface's number for an image's mode: grey float is 17, every other
// image keeps its mode.
int InterfaceMode(const Image& image);

// Whether the plug-in is offered for the image's mode.
bool OffersMode(const PluginDescription& description, const Image& image);

// "grey 8-bit, RGB 8-bit, ..." for the modes the plug-in is offered for.
std::string OfferedModesText(const PluginDescription& description);

// Checks `values` (name → number text) against the description and fills
// in the defaults: the complete list in file order. Throws DescriptionError
// for a plug-in without a parameter file, an unknown name, a text that is
// not a number of the parameter's type, or a value out of range.
std::vector<ParameterValue> ResolveParameters(const PluginDescription& description,
                                              const std::map<std::string, std::string>& values);

// Resolves `values` as above and writes the parameter file into
// `desktopDir` (which must exist), one number a line. Returns the values
// written. Throws DescriptionError for refused values and
// std::runtime_error when the file cannot be written.
std::vector<ParameterValue> WriteParameterFile(const PluginDescription& description,
                                               const std::map<std::string, std::string>& values,
                                               const std::filesystem::path& desktopDir);

// Reads a parameter file in the filter's own format (numbers separated by
// line ends, tabs, commas or blanks) into name → number text, in the
// order the description gives. Throws DescriptionError when the file holds
// too few or too many numbers, or a token that is not a number, and
// std::runtime_error when it cannot be read.
std::map<std::string, std::string> ReadParameterFile(const PluginDescription& description,
                                                     const std::filesystem::path& file);

}  // namespace host
