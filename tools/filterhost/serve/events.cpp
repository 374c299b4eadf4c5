// The event hub behind /api/events.
#include "events.h"

namespace filterhost::serve {

void EventHub::Publish(const std::string& type, const std::string& data)
{
    {
        std::lock_guard lock(mutex_);
        events_.push_back({++latest_, type, data});
        if (events_.size() > kKept)
            events_.pop_front();
    }
    changed_.notify_all();
}

uint64_t EventHub::Latest() const
{
    std::lock_guard lock(mutex_);
    return latest_;
}

std::vector<Event> EventHub::WaitAfter(uint64_t after, std::chrono::milliseconds timeout)
{
    std::unique_lock lock(mutex_);
    changed_.wait_for(lock, timeout, [&] { return closed_ || latest_ > after; });
    std::vector<Event> found;
    if (closed_)
        return found;
    for (const Event& event : events_)
        if (event.sequence > after)
            found.push_back(event);
    return found;
}

void EventHub::Close()
{
    {
        std::lock_guard lock(mutex_);
        closed_ = true;
    }
    changed_.notify_all();
}

bool EventHub::Closed() const
{
    std::lock_guard lock(mutex_);
    return closed_;
}

std::string FormatEvent(const Event& event)
{
    return "id: " + std::to_string(event.sequence) + "\nevent: " + event.type +
           "\ndata: " + event.data + "\n\n";
}

}  // namespace filterhost::serve
