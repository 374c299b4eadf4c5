// Filter runs, one at a time in the order asked for, each in its own child
// process. Every change of a run is published as a "run" event.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <thread>

#include "events.h"
#include "session.h"

namespace filterhost::serve {

struct RunRequest {
    std::string plugin;
    int image = 0;
    nlohmann::json params = nlohmann::json::object();
};

class RunQueue {
public:
    RunQueue(Session& session, EventHub& events);
    ~RunQueue();  // cancels what is queued, ends a running child
    RunQueue(const RunQueue&) = delete;
    RunQueue& operator=(const RunQueue&) = delete;

    // Queues a run and returns its number.
    int Submit(const RunRequest& request);
    // The run's state as the page sees it, or nothing for an unknown number.
    std::optional<nlohmann::json> Describe(int id) const;
    // A queued run is dropped; a running one is asked to stop as Ctrl-C
    // does, and ended by force if it has not stopped a few seconds later.
    // False for an unknown or finished run.
    bool Cancel(int id);

private:
    struct Run {
        int id = 0;
        RunRequest request;
        std::string state = "queued";  // queued, running, done, failed, cancelled
        std::string phase = "waiting in the queue";
        int32_t done = 0, total = 0;
        std::vector<std::string> messages;
        int result = 0;
        int resultImage = 0;
        std::string error;
        pid_t pid = -1;
        std::optional<std::chrono::steady_clock::time_point> started, cancelAsked;
        double seconds = 0;
    };

    void Work();
    void Execute(int id);
    void Finish(int id, const JobOutcome& outcome, int image);
    void OnChildLine(int id, const std::string& line);
    void OnChildIdle(int id, ChildProcess& child);
    nlohmann::json ToJson(const Run& run) const;
    void PublishLocked(const Run& run);

    Session& session_;
    EventHub& events_;
    mutable std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<int> queue_;
    std::map<int, Run> runs_;
    int nextId_ = 1;
    bool stopping_ = false;
    std::chrono::steady_clock::time_point lastProgressEvent_{};
    std::thread worker_;
};

}  // namespace filterhost::serve
