// The session folder, its images and the child jobs.
#include "session.h"

#include <stdlib.h>

#include <cstdint>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace filterhost::serve {

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

// The file the reference image lives in, inside the Preferences folder.
constexpr const char* kReferenceFile = "Reference Image.xzy";

fs::path MakeSessionFolder()
{
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern =
        (fs::path(tmp && *tmp ? tmp : "/tmp") / "filterhost-serve-XXXXXX").string();
    if (!mkdtemp(pattern.data()))  // mode 0700: other users cannot look in
        throw std::runtime_error("cannot make a session folder in '" +
                                 fs::path(pattern).parent_path().string() +
                                 "': " + std::strerror(errno));
    return pattern;
}

std::string ReadText(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

std::string LastLine(std::string text)
{
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r'))
        text.pop_back();
    const size_t start = text.find_last_of('\n');
    return start == std::string::npos ? text : text.substr(start + 1);
}

}  // namespace

json ToJson(const StoredImage& image)
{
    json out = image.info;
    out["id"] = image.id;
    out["label"] = image.label;
    out["parent"] = image.parent;
    out["plugin"] = image.plugin;
    out["params"] = image.params.is_null() ? json::object() : image.params;
    return out;
}

std::string JobOutcome::Error() const
{
    if (outcome.contains("error") && outcome["error"].is_string())
        return outcome["error"].get<std::string>();
    if (exit.signalled)
        return "the child process crashed: " + exit.Describe();
    const std::string line = LastLine(stderrText);
    return line.empty() ? "the child process failed: " + exit.Describe() : line;
}

Session::Session(std::map<std::string, fs::path> plugins, const std::optional<fs::path>& prefs)
    : folder_(MakeSessionFolder()), plugins_(std::move(plugins))
{
    prefs_ = prefs ? *prefs : folder_ / "prefs";
    fs::create_directories(prefs_);
    fs::create_directories(folder_ / "images");
    fs::create_directories(folder_ / "work");
}

Session::~Session()
{
    std::error_code ec;
    fs::remove_all(folder_, ec);
}

fs::path Session::NewWorkFolder()
{
    int number;
    {
        std::lock_guard lock(mutex_);
        number = nextWork_++;
    }
    const fs::path work = folder_ / "work" / std::to_string(number);
    fs::create_directories(work);
    return work;
}

int Session::ReserveImage()
{
    std::lock_guard lock(mutex_);
    return nextImage_++;
}

fs::path Session::ImageFile(int id, const std::string& which) const
{
    return folder_ / "images" / (std::to_string(id) + which);
}

json Session::ImagePaths(int id) const
{
    return {{"tiff", ImageFile(id, ".tif").string()},
            {"preview", ImageFile(id, ".png").string()},
            {"raw", ImageFile(id, ".raw").string()}};
}

void Session::AddImage(const StoredImage& image)
{
    std::lock_guard lock(mutex_);
    images_[image.id] = image;
}

std::optional<StoredImage> Session::Image(int id) const
{
    std::lock_guard lock(mutex_);
    const auto found = images_.find(id);
    if (found == images_.end())
        return std::nullopt;
    return found->second;
}

json Session::Images() const
{
    std::lock_guard lock(mutex_);
    json list = json::array();
    for (const auto& [id, image] : images_)
        list.push_back(ToJson(image));
    return list;
}

std::optional<fs::path> Session::Module(const std::string& name) const
{
    const auto found = plugins_.find(name);
    if (found == plugins_.end())
        return std::nullopt;
    return found->second;
}

json Session::Plugins()
{
    {
        std::lock_guard lock(mutex_);
        if (pluginList_)
            return *pluginList_;
    }
    json modules = json::object();
    for (const auto& [name, path] : plugins_)
        modules[name] = path.string();
    const JobOutcome done = RunJob({{"action", "list"}, {"modules", modules}}, NewWorkFolder());
    json list = done.outcome.value("plugins", json::array());
    if (!done.outcome.value("ok", false))  // a module that crashes the listing
        for (const auto& [name, path] : plugins_)
            list.push_back({{"name", name}, {"error", done.Error()}});
    std::lock_guard lock(mutex_);
    pluginList_ = list;
    return list;
}

JobOutcome Session::RunJob(json job, const fs::path& work,
                           const std::function<void(const std::string&)>& onLine,
                           const std::function<void(ChildProcess&)>& onIdle,
                           const std::function<void(ChildProcess&)>& started,
                           const std::function<void()>& ended)
{
    const fs::path jobFile = work / "job.json", resultFile = work / "result.json";
    job["result"] = resultFile.string();
    {
        std::ofstream out(jobFile, std::ios::binary | std::ios::trunc);
        out << job.dump();
    }
    JobOutcome done;
    {
        ChildProcess child({"serve", "--worker", jobFile.string()}, work / "stderr.txt");
        if (started)
            started(child);
        child.ReadLines([&](const std::string& line) { onLine ? onLine(line) : void(); },
                        [&] { onIdle ? onIdle(child) : void(); });
        done.exit = child.Wait(ended);
    }
    done.stderrText = ReadText(work / "stderr.txt");
    try {
        std::ifstream in(resultFile, std::ios::binary);
        if (in)
            done.outcome = json::parse(in);
    } catch (const std::exception&) {
        done.outcome = json::object();
    }
    if (!done.outcome.is_object())
        done.outcome = json::object();
    return done;
}

json Session::Reference() const
{
    std::ifstream in(prefs_ / kReferenceFile, std::ios::binary);
    uint16_t header[3] = {0, 0, 0};  // width, height, bytes per pixel, in this machine's order
    if (!in.read(reinterpret_cast<char*>(header), sizeof header))
        return nullptr;
    return {{"width", header[0]}, {"height", header[1]}, {"bytes_per_pixel", header[2]}};
}

}  // namespace filterhost::serve
