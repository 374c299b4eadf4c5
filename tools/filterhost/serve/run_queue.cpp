// The run queue: one worker thread, one child process per run.
#include "run_queue.h"

#include <signal.h>

#include <cstdlib>

namespace filterhost::serve {

using nlohmann::json;
using Clock = std::chrono::steady_clock;

namespace {

// How long a run asked to cancel may take to stop before it is killed.
constexpr auto kCancelGrace = std::chrono::seconds(5);
// Progress events are sent at most this often; the page needs no more.
constexpr auto kProgressInterval = std::chrono::milliseconds(100);

bool StartsWith(const std::string& text, const std::string& prefix)
{
    return text.compare(0, prefix.size(), prefix) == 0;
}

double Seconds(Clock::time_point from)
{
    return std::chrono::duration<double>(Clock::now() - from).count();
}

}  // namespace

RunQueue::RunQueue(Session& session, EventHub& events)
    : session_(session), events_(events), worker_([this] { Work(); })
{}

RunQueue::~RunQueue()
{
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
        for (auto& [id, run] : runs_)
            if (run.state == "running" && run.pid > 0)
                kill(run.pid, SIGKILL);
    }
    wake_.notify_all();
    worker_.join();
}

int RunQueue::Submit(const RunRequest& request)
{
    std::lock_guard lock(mutex_);
    Run run;
    run.id = nextId_++;
    run.request = request;
    runs_[run.id] = run;
    queue_.push_back(run.id);
    PublishLocked(run);
    wake_.notify_all();
    return run.id;
}

std::optional<json> RunQueue::Describe(int id) const
{
    std::lock_guard lock(mutex_);
    const auto found = runs_.find(id);
    if (found == runs_.end())
        return std::nullopt;
    return ToJson(found->second);
}

bool RunQueue::Cancel(int id)
{
    std::lock_guard lock(mutex_);
    const auto found = runs_.find(id);
    if (found == runs_.end())
        return false;
    Run& run = found->second;
    if (run.state == "queued") {
        std::erase(queue_, id);
        run.state = "cancelled";
        run.phase = "cancelled before it started";
        PublishLocked(run);
        return true;
    }
    if (run.state != "running")
        return false;
    if (!run.cancelAsked) {
        run.cancelAsked = Clock::now();
        run.phase = "cancelling";
        if (run.pid > 0)
            kill(run.pid, SIGINT);
        PublishLocked(run);
    }
    return true;
}

void RunQueue::Work()
{
    for (;;) {
        int id;
        {
            std::unique_lock lock(mutex_);
            wake_.wait(lock, [&] { return stopping_ || !queue_.empty(); });
            if (stopping_)
                return;
            id = queue_.front();
            queue_.pop_front();
            Run& run = runs_[id];
            run.state = "running";
            run.phase = "starting";
            run.started = Clock::now();
            PublishLocked(run);
        }
        Execute(id);
    }
}

void RunQueue::Execute(int id)
{
    RunRequest request;
    {
        std::lock_guard lock(mutex_);
        request = runs_[id].request;
    }
    const auto module = session_.Module(request.plugin);
    const auto input = session_.Image(request.image);
    JobOutcome outcome;
    int image = 0;
    if (!module || !input) {
        outcome.outcome = {{"error", !module ? "no plug-in named '" + request.plugin + "'"
                                             : "no image " + std::to_string(request.image)}};
        outcome.exit.code = 1;
    } else {
        const auto work = session_.NewWorkFolder();
        std::filesystem::create_directories(work / "desktop");
        image = session_.ReserveImage();
        json job = {{"action", "run"},
                    {"module", module->string()},
                    {"input", session_.ImageFile(request.image, ".tif").string()},
                    {"image", session_.ImagePaths(image)},
                    {"prefs", session_.Prefs().string()},
                    {"desktop", (work / "desktop").string()},
                    {"params", request.params}};
        try {
            outcome = session_.RunJob(
                job, work, [&](const std::string& line) { OnChildLine(id, line); },
                [&](ChildProcess& child) { OnChildIdle(id, child); },
                [&](ChildProcess& child) {
                    std::lock_guard lock(mutex_);
                    runs_[id].pid = child.Pid();
                    if (runs_[id].cancelAsked)  // cancelled while starting
                        child.Signal(SIGINT);
                },
                [&] {
                    std::lock_guard lock(mutex_);
                    runs_[id].pid = -1;  // Cancel must not signal a reused id
                });
        } catch (const std::exception& e) {
            outcome.outcome = {{"error", e.what()}};
            outcome.exit.code = 1;
        }
    }
    Finish(id, outcome, image);
}

void RunQueue::OnChildLine(int id, const std::string& line)
{
    std::lock_guard lock(mutex_);
    Run& run = runs_[id];
    if (StartsWith(line, "progress ")) {
        long long done = 0, total = 0;
        if (std::sscanf(line.c_str() + 9, "%lld %lld", &done, &total) != 2)
            return;
        run.done = static_cast<int32_t>(done);
        run.total = static_cast<int32_t>(total);
        if (Clock::now() - lastProgressEvent_ < kProgressInterval)
            return;
        lastProgressEvent_ = Clock::now();
    } else if (StartsWith(line, "phase ")) {
        if (!run.cancelAsked)
            run.phase = line.substr(6);
    } else if (StartsWith(line, "message ")) {
        try {
            run.messages.push_back(json::parse(line.substr(8)).get<std::string>());
        } catch (const std::exception&) {
            run.messages.push_back(line.substr(8));
        }
    } else {
        return;
    }
    PublishLocked(run);
}

void RunQueue::OnChildIdle(int id, ChildProcess& child)
{
    std::lock_guard lock(mutex_);
    Run& run = runs_[id];
    if (stopping_ || (run.cancelAsked && Clock::now() - *run.cancelAsked > kCancelGrace))
        child.Signal(SIGKILL);
    else if (run.started && Clock::now() - lastProgressEvent_ > std::chrono::seconds(1)) {
        lastProgressEvent_ = Clock::now();  // keeps the elapsed time moving on the page
        PublishLocked(run);
    }
}

void RunQueue::Finish(int id, const JobOutcome& outcome, int image)
{
    StoredImage made;
    std::lock_guard lock(mutex_);
    Run& run = runs_[id];
    run.pid = -1;
    run.seconds = run.started ? Seconds(*run.started) : 0;
    run.result = outcome.outcome.value("result", 0);
    if (outcome.outcome.contains("messages"))
        run.messages = outcome.outcome["messages"].get<std::vector<std::string>>();
    const bool cancelled = run.cancelAsked.has_value();
    if (!outcome.exit.signalled && outcome.exit.code == 0) {
        run.state = "done";
        run.phase = "done";
        made.id = image;
        made.label = run.request.plugin;
        made.info = outcome.outcome.value("info", json::object());
        made.parent = run.request.image;
        made.plugin = run.request.plugin;
        made.params = run.request.params;
        session_.AddImage(made);
        run.resultImage = image;
    } else if (cancelled) {
        run.state = "cancelled";
        run.phase = outcome.exit.signalled ? "cancelled (the run was ended by force)" : "cancelled";
    } else if (!outcome.exit.signalled && outcome.exit.code == 2) {
        run.state = "failed";
        run.phase = "failed";
        run.error = run.request.plugin + " returned " + std::to_string(run.result);
    } else {
        run.state = "failed";
        run.phase = "failed";
        run.error = outcome.exit.signalled
                        ? run.request.plugin + " crashed: " + outcome.exit.Describe()
                        : outcome.Error();
    }
    PublishLocked(run);
}

json RunQueue::ToJson(const Run& run) const
{
    json out = {
        {"id", run.id},
        {"plugin", run.request.plugin},
        {"image", run.request.image},
        {"params", run.request.params},
        {"state", run.state},
        {"phase", run.phase},
        {"done", run.done},
        {"total", run.total},
        {"messages", run.messages},
        {"result", run.result},
        {"error", run.error},
        {"result_image", run.resultImage ? json(run.resultImage) : json(nullptr)},
        {"seconds", run.started && run.state == "running" ? Seconds(*run.started) : run.seconds}};
    if (run.state == "queued") {
        const auto at = std::find(queue_.begin(), queue_.end(), run.id);
        out["queue_position"] = at - queue_.begin() + 1;
    }
    if (run.resultImage)
        if (auto image = session_.Image(run.resultImage))
            out["result_info"] = serve::ToJson(*image);
    return out;
}

void RunQueue::PublishLocked(const Run& run)
{
    events_.Publish("run", ToJson(run).dump());
}

}  // namespace filterhost::serve
