#include "run_folders.h"

#include <stdlib.h>

#include <cstring>
#include <stdexcept>
#include <system_error>

namespace filterhost {
namespace fs = std::filesystem;

namespace {

std::string Env(const char* name)
{
    const char* value = std::getenv(name);
    return value && *value ? std::string(value) : std::string();
}

}  // namespace

std::optional<fs::path> PreferencesFolder(const std::string& given)
{
    if (!given.empty())
        return fs::path(given);
    if (const std::string config = Env("XDG_CONFIG_HOME"); !config.empty())
        return fs::path(config) / "filterhost";
    if (const std::string home = Env("HOME"); !home.empty())
        return fs::path(home) / ".config" / "filterhost";
    return std::nullopt;
}

std::optional<fs::path> DesktopFolder(const std::string& given)
{
    if (!given.empty())
        return fs::path(given);
    if (const std::string desktop = Env("XDG_DESKTOP_DIR"); !desktop.empty())
        return fs::path(desktop);
    if (const std::string home = Env("HOME"); !home.empty())
        return fs::path(home) / "Desktop";
    return std::nullopt;
}

PrivateFolder::PrivateFolder()
{
    const std::string tmp = Env("TMPDIR");
    std::string pattern =
        ((tmp.empty() ? fs::path("/tmp") : fs::path(tmp)) / "filterhost-run-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr)
        throw std::runtime_error("cannot make a private folder for the run in '" +
                                 fs::path(pattern).parent_path().string() +
                                 "': " + std::strerror(errno));
    root_ = pattern;
}

PrivateFolder::~PrivateFolder()
{
    std::error_code ec;
    fs::remove_all(root_, ec);
}

fs::path PrivateFolder::Sub(const char* name)
{
    const fs::path folder = root_ / name;
    std::error_code ec;
    fs::create_directory(folder, ec);
    if (ec)
        throw std::runtime_error("cannot make '" + folder.string() + "': " + ec.message());
    return folder;
}

fs::path PrivateFolder::Desktop()
{
    return Sub("Desktop");
}
fs::path PrivateFolder::Preferences()
{
    return Sub("Preferences");
}

}  // namespace filterhost
