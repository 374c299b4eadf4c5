// Where filterhost looks for plug-in modules and how a PLUGIN argument (a
// name or a path) becomes a module file.
#pragma once

#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace filterhost {

// The folders to search, in order: the colon-separated `override` (from
// --plugin-dir or FILTERHOST_PLUGIN_PATH) when given, otherwise the build
// tree's plugins folder beside the executable's folder and the installed
// one under the prefix.
std::vector<std::filesystem::path> PluginFolders(const std::optional<std::string>& override);

// Every module (*.so) in the folders by name, the first folder winning a
// name found in several.
std::map<std::string, std::filesystem::path>
FindPlugins(const std::vector<std::filesystem::path>& folders);

// The module a PLUGIN argument names: a path when it contains '/' or ends
// in ".so", otherwise NAME.so in the first folder holding one. Throws
// std::runtime_error with a one-line explanation when there is none.
std::filesystem::path ResolvePlugin(const std::string& argument,
                                    const std::vector<std::filesystem::path>& folders);

}  // namespace filterhost
