// What filterhost shows on stderr while it works.
//
// On a terminal: one status line redrawn in place, with the phase
// (reading, filtering, writing), the elapsed time and an activity
// indicator that keeps turning while a filter is silent; while a filter
// reports progress, a bar with its percentage, and for a filter that runs
// its bar from 0 again for each of several passes, the pass number, so the
// bar never seems to go backwards. For logs, `plain`: one line when a
// phase or a pass starts, at every quarter of a pass, and every ten
// seconds of silence.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

namespace filterhost {

enum class ProgressStyle { kNone, kBar, kPlain };

// "auto" (a bar on a terminal, nothing otherwise), "bar", "plain", "none".
std::optional<ProgressStyle> ParseProgressStyle(const std::string& text, bool stderrIsTerminal);

// "0:07", "1:02:03".
std::string ClockText(std::chrono::steady_clock::duration elapsed);

// One line of stderr redrawn in place; lines printed through it appear
// above it.
class StatusLine {
public:
    explicit StatusLine(bool enabled) : enabled_(enabled) {}
    ~StatusLine() { Clear(); }
    StatusLine(const StatusLine&) = delete;
    StatusLine& operator=(const StatusLine&) = delete;

    void Show(const std::string& text);
    void Clear();
    // Prints `line` (a newline is added) with the status line out of the way.
    void Print(const std::string& line);

private:
    bool enabled_;
    bool shown_ = false;
    std::string last_;
};

class ProgressDisplay {
public:
    explicit ProgressDisplay(ProgressStyle style);
    ~ProgressDisplay();
    ProgressDisplay(const ProgressDisplay&) = delete;
    ProgressDisplay& operator=(const ProgressDisplay&) = delete;

    // Starts a phase: "reading", "filtering" or "writing".
    void Phase(const std::string& name);
    // A progress report of the filter: done of total.
    void Report(int32_t done, int32_t total);
    // Prints a line (a message) above the status line.
    void Print(const std::string& line);
    // Removes the status line for good.
    void Finish();

private:
    using Clock = std::chrono::steady_clock;
    void Ticker();
    void Redraw();  // with mutex_ held
    std::string BarText() const;
    void PlainLine(const std::string& text);

    ProgressStyle style_;
    StatusLine line_;
    std::mutex mutex_;
    std::condition_variable wake_;
    bool stop_ = false;
    std::thread ticker_;

    Clock::time_point start_ = Clock::now();
    Clock::time_point phaseStart_ = start_;
    Clock::time_point lastReport_ = start_;
    Clock::time_point lastPlain_ = start_;
    std::string phase_;
    double fraction_ = -1;  // -1: no report yet in this phase
    int pass_ = 0;
    int quarter_ = -1;
    unsigned spin_ = 0;
};

}  // namespace filterhost
