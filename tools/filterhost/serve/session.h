// One `filterhost serve` session: its private temporary folder, the images
// uploaded and made in it, the plug-ins it offers, and the child jobs that
// do all decoding and filtering.
#pragma once

#include <sys/types.h>

#include <filesystem>
#include <functional>
#include <map>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>

#include "child_process.h"

namespace filterhost::serve {

struct StoredImage {
    int id = 0;
    std::string label;      // what the page shows; never used as a path
    nlohmann::json info;    // width, height, mode, depth, planes, kind
    int parent = 0;         // the image a run was made from, 0 for uploads
    std::string plugin;     // the run that made it
    nlohmann::json params;  // that run's parameters
};
nlohmann::json ToJson(const StoredImage& image);

// What a child job left behind.
struct JobOutcome {
    ChildExit exit;
    nlohmann::json outcome;  // the result JSON, or an empty object
    std::string stderrText;
    // The child's own error text, or one made from how it ended.
    std::string Error() const;
};

class Session {
public:
    // Makes the session folder under the system's temporary folder; the
    // Preferences folder is `prefs` when given, else one inside it.
    Session(std::map<std::string, std::filesystem::path> plugins,
            const std::optional<std::filesystem::path>& prefs);
    ~Session();
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    const std::filesystem::path& Folder() const { return folder_; }
    const std::filesystem::path& Prefs() const { return prefs_; }

    // A fresh empty folder for one job.
    std::filesystem::path NewWorkFolder();
    // A fresh image number and the job paths of its files.
    int ReserveImage();
    nlohmann::json ImagePaths(int id) const;
    std::filesystem::path ImageFile(int id, const std::string& which) const;

    void AddImage(const StoredImage& image);
    std::optional<StoredImage> Image(int id) const;
    nlohmann::json Images() const;

    std::optional<std::filesystem::path> Module(const std::string& name) const;
    // Each plug-in's name, About text and parameter description, found by a
    // child once and kept.
    nlohmann::json Plugins();

    // Runs a job in a child: writes the job file (with its "result" path) in
    // `work`, calls `started` with the child, feeds `onLine` its stdout
    // lines and `onIdle` the pauses between them, and calls `ended` once it
    // has ended, before its process id is released.
    JobOutcome RunJob(nlohmann::json job, const std::filesystem::path& work,
                      const std::function<void(const std::string&)>& onLine = {},
                      const std::function<void(ChildProcess&)>& onIdle = {},
                      const std::function<void(ChildProcess&)>& started = {},
                      const std::function<void()>& ended = {});

    // The stored reference image's size, from its file header, or null.
    nlohmann::json Reference() const;

private:
    std::filesystem::path folder_, prefs_;
    std::map<std::string, std::filesystem::path> plugins_;
    mutable std::mutex mutex_;
    int nextImage_ = 1, nextWork_ = 1;
    std::map<int, StoredImage> images_;
    std::optional<nlohmann::json> pluginList_;
};

}  // namespace filterhost::serve
