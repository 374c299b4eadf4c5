#include "about_command.h"

#include <iostream>
#include <sstream>

#include "console.h"
#include "host.h"
#include "plugin_description.h"
#include "plugin_search.h"

namespace filterhost {
namespace fs = std::filesystem;

namespace {

std::string ReferenceText(host::ReferenceUse use)
{
    switch (use) {
    case host::ReferenceUse::kReads:
        return "reads the stored reference image (store one with store_reference)";
    case host::ReferenceUse::kWrites:
        return "stores the image as the reference image";
    default:
        return "not used";
    }
}

void PrintParameters(const host::PluginDescription& d)
{
    if (!d.parameterFile) {
        std::cout << "parameters:  none\n";
        return;
    }
    const auto& file = *d.parameterFile;
    std::cout << "parameters:  read from \"" << file.fileName << "\" on the Desktop ("
              << file.format << ");\n"
              << "             give them with --param NAME=VALUE or --param-file FILE\n";
    for (const auto& p : file.parameters) {
        std::ostringstream line;
        line << "  " << p.name << ": " << (p.integer ? "whole number" : "number");
        if (!p.unit.empty())
            line << " (" << p.unit << ")";
        line << ", " << p.minimum << " to " << p.maximum << ", default " << p.defaultValue;
        std::cout << line.str() << "\n      " << p.meaning << "\n";
    }
}

void PrintDescription(const host::PluginDescription& d)
{
    std::cout << "\n" << d.summary << "\n\n";
    std::cout << "menu:        " << d.menuName << " (" << d.category << ")\n";
    std::cout << "image modes: " << host::OfferedModesText(d) << "\n";
    std::cout << "reference:   " << ReferenceText(d.reference) << "\n";
    PrintParameters(d);
}

}  // namespace

int ListCommand(const std::vector<fs::path>& folders)
{
    const auto plugins = FindPlugins(folders);
    if (plugins.empty()) {
        std::string where;
        for (const auto& f : folders)
            where += (where.empty() ? "'" : ", '") + f.string() + "'";
        return HostError("no plug-in modules found in " + (where.empty() ? "no folder" : where));
    }
    int status = 0;
    for (const auto& [name, path] : plugins) {
        try {
            host::Module module(path);
            std::cout << name << "\t" << OneLine(host::AboutText(module)) << "\n";
        } catch (const std::exception& e) {
            std::cerr << "filterhost: skipping '" << path.string() << "': " << e.what() << "\n";
            status = kExitHostError;
        }
    }
    return status;
}

// The About text on the first line, then the description when the module
// has one.
int AboutCommand(const std::string& plugin, const std::vector<fs::path>& folders)
{
    try {
        const fs::path path = ResolvePlugin(plugin, folders);
        host::Module module(path);
        const auto description = host::LoadPluginDescription(path);
        std::cout << LineBreaks(host::AboutText(module)) << "\n";
        if (description)
            PrintDescription(*description);
        return 0;
    } catch (const std::exception& e) {
        return HostError(e.what());
    }
}

}  // namespace filterhost
