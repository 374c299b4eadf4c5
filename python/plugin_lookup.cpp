#include "plugin_lookup.h"

#include <dlfcn.h>
#include <pybind11/pybind11.h>

#include <algorithm>
#include <cstdlib>
#include <system_error>

#ifndef FILTERKIT_INSTALLED_PLUGIN_DIR
#define FILTERKIT_INSTALLED_PLUGIN_DIR "../filterhost/plugins"
#endif

namespace fs = std::filesystem;

namespace filterkit {
namespace {

// The folder this extension module was loaded from.
fs::path ModuleFolder()
{
    Dl_info info{};
    if (dladdr(reinterpret_cast<void*>(&ModuleFolder), &info) == 0 || info.dli_fname == nullptr)
        return fs::current_path();
    std::error_code ec;
    const fs::path file = fs::canonical(info.dli_fname, ec);
    return (ec ? fs::path(info.dli_fname) : file).parent_path();
}

std::vector<fs::path> SplitPath(const std::string& list)
{
    std::vector<fs::path> folders;
    size_t start = 0;
    while (start <= list.size()) {
        size_t end = list.find(':', start);
        if (end == std::string::npos)
            end = list.size();
        if (end > start)
            folders.emplace_back(list.substr(start, end - start));
        start = end + 1;
    }
    return folders;
}

std::string FolderList(const std::vector<fs::path>& folders)
{
    std::string text;
    for (const auto& folder : folders)
        text += (text.empty() ? "'" : ", '") + folder.string() + "'";
    return text.empty() ? "no folder" : text;
}

}  // namespace

std::vector<fs::path> PluginFolders()
{
    const char* given = std::getenv("FILTERHOST_PLUGIN_PATH");
    if (given != nullptr && *given != '\0')
        return SplitPath(given);
    std::vector<fs::path> folders;
    const fs::path here = ModuleFolder();
    for (const fs::path& candidate :
         {here / ".." / "plugins", here / FILTERKIT_INSTALLED_PLUGIN_DIR}) {
        std::error_code ec;
        const fs::path folder = fs::weakly_canonical(candidate, ec);
        if (!ec && fs::is_directory(folder, ec) &&
            std::find(folders.begin(), folders.end(), folder) == folders.end())
            folders.push_back(folder);
    }
    return folders;
}

std::map<std::string, fs::path> FindPlugins()
{
    std::map<std::string, fs::path> found;
    for (const auto& folder : PluginFolders()) {
        std::error_code ec;
        for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
            const fs::path& file = it->path();
            if (file.extension() == ".so" && it->is_regular_file(ec))
                found.emplace(file.stem().string(), file);
        }
    }
    return found;
}

fs::path ResolvePlugin(const std::string& name)
{
    std::error_code ec;
    if (name.find('/') != std::string::npos || fs::path(name).extension() == ".so") {
        if (!fs::is_regular_file(name, ec))
            throw pybind11::value_error("no plug-in module at '" + name + "'");
        return name;
    }
    const auto folders = PluginFolders();
    for (const auto& folder : folders) {
        const fs::path candidate = folder / (name + ".so");
        if (fs::is_regular_file(candidate, ec))
            return candidate;
    }
    throw pybind11::value_error("no plug-in named '" + name + "' in " + FolderList(folders) +
                                " (see filterkit.plugins())");
}

}  // namespace filterkit
