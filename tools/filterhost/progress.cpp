#include "progress.h"

#include <unistd.h>

#include <cstdio>

namespace filterhost {

namespace {

constexpr auto kTick = std::chrono::milliseconds(125);
constexpr auto kSilence = std::chrono::milliseconds(750);
constexpr auto kPlainSilence = std::chrono::seconds(10);
constexpr int kBarWidth = 30;
// A report this far below the last one starts a new pass; smaller steps
// back are taken as jitter and ignored.
constexpr double kRestart = 0.02;

std::string Percent(double fraction)
{
    return std::to_string(static_cast<int>(fraction * 100.0)) + "%";
}

}  // namespace

std::optional<ProgressStyle> ParseProgressStyle(const std::string& text, bool stderrIsTerminal)
{
    if (text == "auto")
        return stderrIsTerminal ? ProgressStyle::kBar : ProgressStyle::kNone;
    if (text == "bar")
        return ProgressStyle::kBar;
    if (text == "plain")
        return ProgressStyle::kPlain;
    if (text == "none")
        return ProgressStyle::kNone;
    return std::nullopt;
}

std::string ClockText(std::chrono::steady_clock::duration elapsed)
{
    const long long total = std::chrono::duration_cast<std::chrono::seconds>(elapsed).count();
    char text[32];
    if (total >= 3600)
        std::snprintf(text, sizeof text, "%lld:%02lld:%02lld", total / 3600, total / 60 % 60,
                      total % 60);
    else
        std::snprintf(text, sizeof text, "%lld:%02lld", total / 60, total % 60);
    return text;
}

void StatusLine::Show(const std::string& text)
{
    if (!enabled_ || (shown_ && text == last_))
        return;
    std::fputs(("\r\033[K" + text).c_str(), stderr);
    std::fflush(stderr);
    shown_ = true;
    last_ = text;
}

void StatusLine::Clear()
{
    if (!shown_)
        return;
    std::fputs("\r\033[K", stderr);
    std::fflush(stderr);
    shown_ = false;
}

void StatusLine::Print(const std::string& line)
{
    const bool wasShown = shown_;
    Clear();
    std::fputs((line + "\n").c_str(), stderr);
    std::fflush(stderr);
    if (wasShown) {
        const std::string text = last_;
        last_.clear();
        Show(text);
    }
}

ProgressDisplay::ProgressDisplay(ProgressStyle style)
    : style_(style), line_(style == ProgressStyle::kBar)
{
    if (style_ != ProgressStyle::kNone)
        ticker_ = std::thread([this] { Ticker(); });
}

ProgressDisplay::~ProgressDisplay()
{
    Finish();
}

void ProgressDisplay::Finish()
{
    {
        std::lock_guard lock(mutex_);
        stop_ = true;
    }
    wake_.notify_all();
    if (ticker_.joinable())
        ticker_.join();
    std::lock_guard lock(mutex_);
    line_.Clear();
}

void ProgressDisplay::Phase(const std::string& name)
{
    std::lock_guard lock(mutex_);
    phase_ = name;
    phaseStart_ = lastReport_ = lastPlain_ = Clock::now();
    fraction_ = -1;
    pass_ = 0;
    quarter_ = -1;
    if (style_ == ProgressStyle::kPlain)
        PlainLine(name);
    Redraw();
}

void ProgressDisplay::Report(int32_t done, int32_t total)
{
    if (style_ == ProgressStyle::kNone || total <= 0)
        return;
    double fraction = static_cast<double>(done) / static_cast<double>(total);
    fraction = fraction < 0 ? 0 : fraction > 1 ? 1 : fraction;
    std::lock_guard lock(mutex_);
    lastReport_ = Clock::now();
    if (fraction_ < 0 || fraction < fraction_ - kRestart) {
        ++pass_;
        quarter_ = -1;
    }
    fraction_ = fraction;
    if (style_ == ProgressStyle::kPlain) {
        const int quarter = static_cast<int>(fraction * 4.0);
        if (quarter != quarter_) {
            quarter_ = quarter;
            PlainLine(phase_ + (pass_ > 1 ? ", pass " + std::to_string(pass_) : "") + " " +
                      Percent(fraction));
        }
        return;
    }
    Redraw();
}

void ProgressDisplay::Print(const std::string& line)
{
    std::lock_guard lock(mutex_);
    line_.Print(line);
}

void ProgressDisplay::PlainLine(const std::string& text)
{
    lastPlain_ = Clock::now();
    line_.Print("filterhost: " + text + " (" + ClockText(lastPlain_ - start_) + ")");
}

std::string ProgressDisplay::BarText() const
{
    const int filled = static_cast<int>(fraction_ * kBarWidth);
    return "[" + std::string(static_cast<size_t>(filled), '#') +
           std::string(static_cast<size_t>(kBarWidth - filled), ' ') + "] " + Percent(fraction_);
}

void ProgressDisplay::Redraw()
{
    if (style_ != ProgressStyle::kBar || phase_.empty())
        return;
    static const char kSpinner[] = "|/-\\";
    const auto now = Clock::now();
    std::string text = phase_;
    if (pass_ > 1)
        text += ", pass " + std::to_string(pass_);
    text += "  ";
    if (fraction_ >= 0)
        text += BarText() + "  ";
    text += ClockText(now - start_);
    // The indicator turns with time, not with reports, so a silent filter
    // is still seen to be alive.
    text += std::string("  ") + kSpinner[spin_ % 4];
    if (fraction_ >= 0 && now - lastReport_ > kSilence)
        text += " working";
    line_.Show(text);
}

void ProgressDisplay::Ticker()
{
    std::unique_lock lock(mutex_);
    while (!stop_) {
        wake_.wait_for(lock, kTick);
        if (stop_)
            break;
        ++spin_;
        if (style_ == ProgressStyle::kBar) {
            Redraw();
        } else if (!phase_.empty() && Clock::now() - lastPlain_ >= kPlainSilence) {
            PlainLine(phase_ + ", still working");
        }
    }
}

}  // namespace filterhost
