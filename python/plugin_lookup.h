// Where the Python module finds the plug-in modules, and how a name or a
// path becomes a module file.
#pragma once

#include <filesystem>
#include <map>
#include <string>
#include <vector>

namespace filterkit {

// The folders searched, in order: FILTERHOST_PLUGIN_PATH (colon-separated)
// when set, otherwise the build tree's plugins folder beside this module's
// folder and the installed plug-in folder under the prefix.
std::vector<std::filesystem::path> PluginFolders();

// Every module (*.so) found, by name; the first folder wins a name.
std::map<std::string, std::filesystem::path> FindPlugins();

// The module a name or path stands for: a path when it contains '/' or
// ends in ".so", otherwise NAME.so in the first folder holding one. Throws
// pybind11::value_error naming the folders searched when there is none.
std::filesystem::path ResolvePlugin(const std::string& name);

}  // namespace filterkit
