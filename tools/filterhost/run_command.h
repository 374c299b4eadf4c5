// `filterhost run`: one plug-in on one image file.
#pragma once

#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "plugin_description.h"

namespace filterhost {

struct RunArguments {
    std::string plugin, input, output, json, prefsDir, desktopDir;
    std::vector<std::string> params;  // NAME=VALUE
    std::string paramFile;
    bool quiet = false;
    std::string progress = "auto";
};

// Runs the filter; the exit status (0, 1, 2 or 130).
int RunCommand(const RunArguments& args, const std::vector<std::filesystem::path>& folders);

// The values --param-file and --param give, the latter winning, as
// name → number text; nothing given gives an empty map. Throws
// host::DescriptionError (or std::runtime_error for an unreadable file)
// with a one-line reason.
std::map<std::string, std::string>
GivenParameters(const std::vector<std::string>& params, const std::string& paramFile,
                const std::optional<host::PluginDescription>& description,
                const std::string& plugin);

}  // namespace filterhost
