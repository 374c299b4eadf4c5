// Server-sent events: every change of a run is published here once, and
// each open event stream picks up what it has not seen yet.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

namespace filterhost::serve {

struct Event {
    uint64_t sequence = 0;
    std::string type;  // the SSE event name
    std::string data;  // one line of JSON
};

class EventHub {
public:
    void Publish(const std::string& type, const std::string& data);
    // The sequence number of the last event published (0 before any).
    uint64_t Latest() const;
    // Events after `after`, waiting up to `timeout` for one to come. Empty
    // on a timeout or once closed.
    std::vector<Event> WaitAfter(uint64_t after, std::chrono::milliseconds timeout);
    // Wakes every waiter for good; streams end.
    void Close();
    bool Closed() const;

private:
    static constexpr size_t kKept = 2000;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<Event> events_;
    uint64_t latest_ = 0;
    bool closed_ = false;
};

// One event in the text/event-stream format.
std::string FormatEvent(const Event& event);

}  // namespace filterhost::serve
