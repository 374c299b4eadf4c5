// The folders a run hands to the plug-ins: the Preferences folder (where
// the reference image lives) and the Desktop (where parameter files are
// read), and a private folder of the run's own.
#pragma once

#include <filesystem>
#include <optional>
#include <string>

namespace filterhost {

// The Preferences folder: `given` (--prefs-dir or FILTERHOST_PREFS_DIR),
// else $XDG_CONFIG_HOME/filterhost, else ~/.config/filterhost; nothing
// when none of these is set.
std::optional<std::filesystem::path> PreferencesFolder(const std::string& given);

// The Desktop: `given`, else $XDG_DESKTOP_DIR, else ~/Desktop; nothing when
// none of these is set.
std::optional<std::filesystem::path> DesktopFolder(const std::string& given);

// A folder made for one run under $TMPDIR (or /tmp) and removed with
// everything in it when the run ends; its Desktop and Preferences
// subfolders are made on first use.
class PrivateFolder {
public:
    PrivateFolder();
    ~PrivateFolder();
    PrivateFolder(const PrivateFolder&) = delete;
    PrivateFolder& operator=(const PrivateFolder&) = delete;

    const std::filesystem::path& Root() const { return root_; }
    std::filesystem::path Desktop();
    std::filesystem::path Preferences();

private:
    std::filesystem::path Sub(const char* name);
    std::filesystem::path root_;
};

}  // namespace filterhost
