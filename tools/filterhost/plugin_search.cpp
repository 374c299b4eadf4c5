// Plug-in lookup: search folders relative to the running executable (the
// build tree and the installed layout) or given by the user.
#include "plugin_search.h"

#include <algorithm>
#include <stdexcept>
#include <system_error>

#ifndef FILTERHOST_INSTALLED_PLUGIN_DIR
#define FILTERHOST_INSTALLED_PLUGIN_DIR "../lib/filterhost/plugins"
#endif

namespace filterhost {
namespace fs = std::filesystem;

namespace {

fs::path ExecutableFolder()
{
    std::error_code ec;
    const fs::path exe = fs::read_symlink("/proc/self/exe", ec);
    return ec ? fs::current_path() : exe.parent_path();
}

std::string FolderList(const std::vector<fs::path>& folders)
{
    std::string text;
    for (const auto& folder : folders)
        text += (text.empty() ? "'" : ", '") + folder.string() + "'";
    return text.empty() ? "no folder" : text;
}

}  // namespace

std::vector<fs::path> PluginFolders(const std::optional<std::string>& override)
{
    std::vector<fs::path> folders;
    if (override) {
        size_t start = 0;
        while (start <= override->size()) {
            size_t end = override->find(':', start);
            if (end == std::string::npos)
                end = override->size();
            if (end > start)
                folders.emplace_back(override->substr(start, end - start));
            start = end + 1;
        }
        return folders;
    }
    const fs::path exeFolder = ExecutableFolder();
    for (const fs::path& candidate :
         {exeFolder / ".." / "plugins", exeFolder / FILTERHOST_INSTALLED_PLUGIN_DIR}) {
        std::error_code ec;
        const fs::path normal = fs::weakly_canonical(candidate, ec);
        const fs::path folder = ec ? candidate.lexically_normal() : normal;
        if (fs::is_directory(folder, ec) &&
            std::find(folders.begin(), folders.end(), folder) == folders.end())
            folders.push_back(folder);
    }
    return folders;
}

std::map<std::string, fs::path> FindPlugins(const std::vector<fs::path>& folders)
{
    std::map<std::string, fs::path> found;
    for (const auto& folder : folders) {
        std::error_code ec;
        for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
            const fs::path& file = it->path();
            if (file.extension() != ".so" || !it->is_regular_file(ec))
                continue;
            found.emplace(file.stem().string(), file);  // keeps the first folder's module
        }
    }
    return found;
}

fs::path ResolvePlugin(const std::string& argument, const std::vector<fs::path>& folders)
{
    std::error_code ec;
    if (argument.find('/') != std::string::npos || fs::path(argument).extension() == ".so") {
        if (!fs::is_regular_file(argument, ec))
            throw std::runtime_error("no plug-in module at '" + argument + "'");
        return argument;
    }
    for (const auto& folder : folders) {
        const fs::path candidate = folder / (argument + ".so");
        if (fs::is_regular_file(candidate, ec))
            return candidate;
    }
    throw std::runtime_error("no plug-in named '" + argument + "' in " + FolderList(folders) +
                             " (see 'filterhost list')");
}

}  // namespace filterhost
