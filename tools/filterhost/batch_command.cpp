// The batch: plan one job per image, run them as child processes with
// posix_spawn (at most -j at a time), watch their stderr with poll, reap
// them with wait4, stop the ones past --timeout, and write the summary.
#include "batch_command.h"
#include "safe_output.h"

#include <fcntl.h>
#include <glob.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cstring>
#include <fstream>
#include <iostream>
#include <map>
#include <nlohmann/json.hpp>
#include <optional>
#include <set>

#include "console.h"
#include "image_file.h"
#include "interrupt.h"
#include "plugin_search.h"
#include "progress.h"
#include "run_folders.h"
#include "run_json.h"

extern char** environ;

namespace filterhost {
namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using nlohmann::ordered_json;

namespace {

enum class JobState { kPending, kRunning, kDone };

struct Job {
    fs::path input;
    fs::path output;  // empty: nothing written
    fs::path report;  // the child's --json report
    JobState state = JobState::kPending;
    pid_t pid = -1;
    int errFd = -1;
    std::string err;  // what the child printed on stderr
    Clock::time_point started, ended;
    bool timedOut = false;
    bool interrupted = false;
    // Outcome.
    std::string status = "pending";
    std::optional<int> exitStatus, signal, result;
    std::vector<std::string> messages;
    std::vector<double> numbers;
    double readSeconds = 0, filterSeconds = 0, writeSeconds = 0;
    int64_t peakMemoryBytes = 0;
};

std::string NumberText(double value)
{
    char text[32];
    const auto [end, ec] = std::to_chars(text, text + sizeof text, value);
    return ec == std::errc() ? std::string(text, end) : std::string();
}

std::string CsvField(const std::string& text)
{
    if (text.find_first_of(",\"\r\n") == std::string::npos)
        return text;
    std::string quoted = "\"";
    for (char c : text)
        quoted += c == '"' ? std::string("\"\"") : std::string(1, c);
    return quoted + "\"";
}

template <typename T> std::string Optional(const std::optional<T>& value)
{
    return value ? std::to_string(*value) : std::string();
}

bool HasGlobCharacters(const std::string& text)
{
    return text.find_first_of("*?[") != std::string::npos;
}

std::vector<fs::path> GlobMatches(const std::string& pattern)
{
    std::vector<fs::path> matches;
    glob_t found{};
    if (glob(pattern.c_str(), 0, nullptr, &found) == 0)
        for (size_t i = 0; i < found.gl_pathc; ++i)
            matches.emplace_back(found.gl_pathv[i]);
    globfree(&found);
    return matches;  // glob sorts
}

std::vector<fs::path> FolderImages(const fs::path& folder)
{
    std::vector<fs::path> images;
    std::error_code ec;
    for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec))
        if (it->is_regular_file(ec) && host::FormatForPath(it->path()))
            images.push_back(it->path());
    std::sort(images.begin(), images.end());
    return images;
}

fs::path SelfExecutable()
{
    std::error_code ec;
    const fs::path exe = fs::read_symlink("/proc/self/exe", ec);
    if (ec)
        throw std::runtime_error("cannot find the filterhost executable: " + ec.message());
    return exe;
}

fs::path Absolute(const std::string& path)
{
    std::error_code ec;
    const fs::path absolute = fs::absolute(path, ec);
    return ec ? fs::path(path) : absolute;
}

class Batch {
public:
    Batch(const BatchArguments& args, const std::vector<fs::path>& folders)
        : args_(args), folders_(folders)
    {}
    int Execute();

private:
    void CheckPlugin();
    void PlanJobs();
    std::vector<std::string> ChildArguments(const Job& job) const;
    void Start(Job& job);
    void Watch();
    void ReadErr(Job& job);
    void Reap(Job& job);
    void Finish(Job& job, int waitStatus);
    void ReadReport(Job& job);
    void RemoveLeftovers(const Job& job) const;
    void StopChildren();
    void KillAll();
    void ShowProgress();
    int WriteSummary();
    std::string SummaryCsv() const;
    ordered_json SummaryJson() const;
    size_t NumberColumns() const;

    const BatchArguments& args_;
    const std::vector<fs::path>& folders_;
    fs::path module_;
    fs::path self_;
    std::optional<PrivateFolder> work_;
    std::vector<Job> jobs_;
    size_t parallel_ = 1;
    size_t running_ = 0;
    size_t done_ = 0;
    size_t failed_ = 0;
    int interruptsSeen_ = 0;
    ProgressStyle style_ = ProgressStyle::kNone;
    std::optional<StatusLine> line_;
    Clock::time_point start_ = Clock::now();
    std::optional<std::vector<host::ParameterValue>> parameters_;
};

// Everything that can be refused is refused here, once, before any child
// runs: the plug-in, its parameters, the output folder.
void Batch::CheckPlugin()
{
    module_ = Absolute(ResolvePlugin(args_.run.plugin, folders_).string());
    const auto description = host::LoadPluginDescription(module_);
    const auto given = GivenParameters(args_.run.params, args_.run.paramFile, description,
                                       module_.stem().string());
    if (!given.empty())
        parameters_ = host::ResolveParameters(*description, given);
    if (!args_.outDir.empty()) {
        std::error_code ec;
        fs::create_directories(args_.outDir, ec);
        if (ec || !fs::is_directory(args_.outDir))
            throw std::runtime_error("cannot make the output folder '" + args_.outDir +
                                     "': " + (ec ? ec.message() : "not a folder"));
    }
    self_ = SelfExecutable();
}

void Batch::PlanJobs()
{
    const auto inputs = ExpandInputs(args_.inputs);
    if (inputs.empty())
        throw std::runtime_error("no image files found in the inputs given");
    std::map<fs::path, fs::path> outputs;  // output → the input that writes it
    for (const auto& input : inputs) {
        Job job;
        job.input = input;
        if (!args_.outDir.empty()) {
            job.output = fs::path(args_.outDir) / input.filename();
            const fs::path key = fs::weakly_canonical(job.output);
            if (key == fs::weakly_canonical(input))
                throw std::runtime_error("'" + input.string() +
                                         "' would be overwritten by its own output; choose "
                                         "another --out-dir");
            const auto [it, added] = outputs.emplace(key, input);
            if (!added)
                throw std::runtime_error("'" + it->second.string() + "' and '" + input.string() +
                                         "' would both be written to '" + job.output.string() +
                                         "'");
        }
        std::error_code ec;
        if (args_.skipExisting && !job.output.empty() && fs::exists(job.output, ec)) {
            job.state = JobState::kDone;
            job.status = "skipped";
            ++done_;
        }
        job.report = work_->Root() / ("report-" + std::to_string(jobs_.size()) + ".json");
        jobs_.push_back(std::move(job));
    }
}

std::vector<std::string> Batch::ChildArguments(const Job& job) const
{
    std::vector<std::string> argv = {
        self_.string(),      "run",     module_.string(), job.input.string(), "--json",
        job.report.string(), "--quiet", "--progress=none"};
    if (!job.output.empty())
        argv.insert(argv.end(), {"-o", job.output.string()});
    for (const auto& param : args_.run.params)
        argv.insert(argv.end(), {"--param", param});
    if (!args_.run.paramFile.empty())
        argv.insert(argv.end(), {"--param-file", Absolute(args_.run.paramFile).string()});
    if (!args_.run.prefsDir.empty())
        argv.insert(argv.end(), {"--prefs-dir", args_.run.prefsDir});
    if (!args_.run.desktopDir.empty())
        argv.insert(argv.end(), {"--desktop-dir", args_.run.desktopDir});
    const auto image = ImageOptionArguments(args_.run.image);
    argv.insert(argv.end(), image.begin(), image.end());
    return argv;
}

// The child gets its own process group, so a Ctrl-C at the terminal
// reaches only this process, which passes it on once to each child.
void Batch::Start(Job& job)
{
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0)
        throw std::runtime_error(std::string("cannot make a pipe: ") + std::strerror(errno));
    std::vector<std::string> argv = ChildArguments(job);
    std::vector<char*> argp;
    for (auto& a : argv)
        argp.push_back(a.data());
    argp.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, fds[1], STDERR_FILENO);
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t defaults, none;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGINT);
    sigaddset(&defaults, SIGTERM);
    sigemptyset(&none);
    posix_spawnattr_setsigdefault(&attr, &defaults);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setpgroup(&attr, 0);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK |
                                        POSIX_SPAWN_SETPGROUP);
    const int rc = posix_spawn(&job.pid, self_.c_str(), &actions, &attr, argp.data(), environ);
    posix_spawnattr_destroy(&attr);
    posix_spawn_file_actions_destroy(&actions);
    close(fds[1]);
    if (rc != 0) {
        close(fds[0]);
        throw std::runtime_error(std::string("cannot start filterhost: ") + std::strerror(rc));
    }
    fcntl(fds[0], F_SETFL, O_NONBLOCK);
    job.errFd = fds[0];
    job.state = JobState::kRunning;
    job.started = Clock::now();
    ++running_;
}

void Batch::ReadErr(Job& job)
{
    char buffer[4096];
    for (;;) {
        const ssize_t n = read(job.errFd, buffer, sizeof buffer);
        if (n > 0) {
            job.err.append(buffer, static_cast<size_t>(n));
            continue;
        }
        if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
            close(job.errFd);
            job.errFd = -1;
        }
        return;
    }
}

void Batch::Reap(Job& job)
{
    int status = 0;
    struct rusage usage {};
    const pid_t pid = wait4(job.pid, &status, WNOHANG, &usage);
    if (pid != job.pid)
        return;
    job.peakMemoryBytes = static_cast<int64_t>(usage.ru_maxrss) * 1024;
    Finish(job, status);
}

void Batch::ReadReport(Job& job)
{
    std::ifstream in(job.report);
    if (!in)
        return;
    try {
        const auto report = nlohmann::json::parse(in);
        job.result = report.at("result").get<int>();
        job.messages = report.at("messages").get<std::vector<std::string>>();
        job.numbers = report.at("numbers").get<std::vector<double>>();
        const auto& seconds = report.at("seconds");
        job.readSeconds = seconds.at("read").get<double>();
        job.filterSeconds = seconds.at("filter").get<double>();
        job.writeSeconds = seconds.at("write").get<double>();
        job.peakMemoryBytes = report.at("peak_memory_bytes").get<int64_t>();
    } catch (const nlohmann::json::exception&) {
        // A report cut short: the row keeps what the exit status tells.
    }
}

void Batch::Finish(Job& job, int waitStatus)
{
    if (job.errFd >= 0)
        ReadErr(job);
    if (job.errFd >= 0)
        close(job.errFd);
    job.errFd = -1;
    job.ended = Clock::now();
    job.state = JobState::kDone;
    --running_;
    ++done_;
    ReadReport(job);
    if (WIFEXITED(waitStatus))
        job.exitStatus = WEXITSTATUS(waitStatus);
    else if (WIFSIGNALED(waitStatus))
        job.signal = WTERMSIG(waitStatus);
    if (job.timedOut)
        job.status = "timeout";
    else if (job.exitStatus == 0)
        job.status = "ok";
    else if (job.signal)
        job.status = job.interrupted ? "cancelled" : "crashed";
    else if (job.exitStatus == kExitCancelled)
        job.status = "cancelled";
    else if (job.exitStatus == kExitPluginFailed)
        job.status = "failed";
    else
        job.status = "error";
    if (job.status != "ok") {
        ++failed_;
        RemoveLeftovers(job);
    }
    if (style_ == ProgressStyle::kPlain || (style_ == ProgressStyle::kBar && job.status != "ok")) {
        std::string line = "filterhost: " + std::to_string(done_) + "/" +
                           std::to_string(jobs_.size()) + " " + job.input.string() + ": " +
                           job.status;
        if (job.signal)
            line += " (signal " + std::to_string(*job.signal) + ")";
        line_->Print(line);
    }
}

// A child stopped while writing leaves its hidden temporary file beside
// the output; it goes, so nothing half-written stays behind.
void Batch::RemoveLeftovers(const Job& job) const
{
    if (job.output.empty())
        return;
    const fs::path folder = job.output.parent_path().empty() ? "." : job.output.parent_path();
    const std::string prefix = "." + job.output.filename().string() + ".";
    std::error_code ec;
    for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
        const std::string name = it->path().filename().string();
        if (name.size() == prefix.size() + 6 && name.rfind(prefix, 0) == 0)
            fs::remove(it->path(), ec);
    }
}

// First Ctrl-C: no new images, and each running child is asked to cancel.
// Second: the children are killed.
void Batch::StopChildren()
{
    const int interrupts = Interrupts();
    if (interrupts == interruptsSeen_)
        return;
    interruptsSeen_ = interrupts;
    for (auto& job : jobs_) {
        if (job.state != JobState::kRunning)
            continue;
        job.interrupted = true;
        kill(job.pid, interrupts >= 2 ? SIGKILL : SIGINT);
    }
}

void Batch::KillAll()
{
    for (auto& job : jobs_) {
        if (job.state != JobState::kRunning)
            continue;
        kill(job.pid, SIGKILL);
        int status = 0;
        waitpid(job.pid, &status, 0);
        if (job.errFd >= 0)
            close(job.errFd);
        job.state = JobState::kDone;
        RemoveLeftovers(job);
    }
}

void Batch::ShowProgress()
{
    if (style_ != ProgressStyle::kBar)
        return;
    const auto elapsed = Clock::now() - start_;
    std::string text = "batch: " + std::to_string(done_) + "/" + std::to_string(jobs_.size()) +
                       " done, " + std::to_string(failed_) + " failed, " +
                       std::to_string(running_) + " running, " + ClockText(elapsed) + " elapsed";
    if (done_ > 0 && done_ < jobs_.size()) {
        const auto left = elapsed / done_ * (jobs_.size() - done_);
        text += ", about " + ClockText(left) + " left";
    }
    line_->Show(text);
}

void Batch::Watch()
{
    std::vector<pollfd> fds;
    std::vector<Job*> owners;
    for (auto& job : jobs_) {
        if (job.state == JobState::kRunning && job.errFd >= 0) {
            fds.push_back({job.errFd, POLLIN, 0});
            owners.push_back(&job);
        }
    }
    // Woken by child output (a child's end closes its pipe), else every
    // tenth of a second for reaping, timeouts and the progress line.
    if (poll(fds.data(), fds.size(), 100) > 0)
        for (size_t i = 0; i < fds.size(); ++i)
            if (fds[i].revents != 0)
                ReadErr(*owners[i]);
    const auto now = Clock::now();
    for (auto& job : jobs_) {
        if (job.state != JobState::kRunning)
            continue;
        if (args_.timeout > 0 && !job.timedOut &&
            now - job.started > std::chrono::duration<double>(args_.timeout)) {
            job.timedOut = true;
            kill(job.pid, SIGKILL);
        }
        Reap(job);
    }
}

size_t Batch::NumberColumns() const
{
    size_t columns = 0;
    for (const auto& job : jobs_)
        columns = std::max(columns, job.numbers.size());
    return columns;
}

std::string Batch::SummaryCsv() const
{
    const size_t numbers = NumberColumns();
    std::string csv = "input,output,status,exit_status,signal,result";
    for (size_t i = 1; i <= numbers; ++i)
        csv += ",number_" + std::to_string(i);
    csv += ",seconds,read_seconds,filter_seconds,write_seconds,peak_memory_bytes,messages,"
           "error\n";
    for (const auto& job : jobs_) {
        std::string messages;
        for (const auto& m : job.messages)
            messages += (messages.empty() ? "" : " | ") + OneLine(m);
        std::string row = CsvField(job.input.string()) + "," + CsvField(job.output.string()) + "," +
                          job.status + "," + Optional(job.exitStatus) + "," + Optional(job.signal) +
                          "," + Optional(job.result);
        for (size_t i = 0; i < numbers; ++i)
            row += "," + (i < job.numbers.size() ? NumberText(job.numbers[i]) : std::string());
        const bool ran = job.status != "skipped" && job.status != "pending";
        row +=
            "," + (ran ? NumberText(std::chrono::duration<double>(job.ended - job.started).count())
                       : std::string());
        row += "," + NumberText(job.readSeconds) + "," + NumberText(job.filterSeconds) + "," +
               NumberText(job.writeSeconds) + "," + std::to_string(job.peakMemoryBytes);
        row += "," + CsvField(messages) + "," + CsvField(OneLine(job.err));
        csv += row + "\n";
    }
    return csv;
}

ordered_json Batch::SummaryJson() const
{
    ordered_json images = ordered_json::array();
    const auto optionalJson = [](const std::optional<int>& v) {
        return v ? ordered_json(*v) : ordered_json();
    };
    std::map<std::string, int> counts;
    for (const auto& job : jobs_) {
        ++counts[job.status];
        const bool ran = job.status != "skipped" && job.status != "pending";
        ordered_json row;
        row["input"] = job.input.string();
        row["output"] = job.output.empty() ? ordered_json() : ordered_json(job.output.string());
        row["status"] = job.status;
        row["exit_status"] = optionalJson(job.exitStatus);
        row["signal"] = optionalJson(job.signal);
        row["result"] = optionalJson(job.result);
        row["messages"] = job.messages;
        row["numbers"] = job.numbers;
        row["seconds"] = {
            {"total", ran ? std::chrono::duration<double>(job.ended - job.started).count() : 0.0},
            {"read", job.readSeconds},
            {"filter", job.filterSeconds},
            {"write", job.writeSeconds}};
        row["peak_memory_bytes"] = job.peakMemoryBytes;
        row["error"] = job.err.empty() ? ordered_json() : ordered_json(job.err);
        images.push_back(row);
    }
    ordered_json summary;
    summary["plugin"] = module_.stem().string();
    summary["module"] = module_.string();
    ordered_json parameters;
    if (parameters_)
        for (const auto& v : *parameters_)
            parameters[v.name] =
                v.integer ? ordered_json(static_cast<long long>(v.value)) : ordered_json(v.value);
    summary["parameters"] = parameters;
    summary["counts"] = counts;
    summary["seconds"] = std::chrono::duration<double>(Clock::now() - start_).count();
    summary["images"] = images;
    return summary;
}

// The summary file whole, or an exception saying it could not be written.
void WriteWhole(const fs::path& target, const std::string& text)
{
    if (!WriteTextWhole(target, text))
        throw std::runtime_error("cannot write the summary '" + target.string() + "'");
}

int Batch::WriteSummary()
{
    std::string base = args_.summary;
    if (base.empty() && !args_.outDir.empty())
        base = (fs::path(args_.outDir) / "summary").string();
    if (base.empty()) {
        std::cout << SummaryCsv() << std::flush;
        return 0;
    }
    fs::path path(base);
    if (path.extension() == ".csv" || path.extension() == ".json")
        path.replace_extension();
    try {
        WriteWhole(fs::path(path).concat(".csv"), SummaryCsv());
        WriteWhole(fs::path(path).concat(".json"), SummaryJson().dump(2) + "\n");
    } catch (const std::exception& e) {
        return HostError(e.what());
    }
    return 0;
}

int Batch::Execute()
{
    const auto style = ParseProgressStyle(args_.run.progress, isatty(STDERR_FILENO) != 0);
    if (!style)
        return HostError("--progress must be auto, bar, plain or none, not '" + args_.run.progress +
                         "'");
    style_ = args_.run.quiet ? ProgressStyle::kNone : *style;
    line_.emplace(style_ == ProgressStyle::kBar);
    const long cores = sysconf(_SC_NPROCESSORS_ONLN);
    parallel_ = args_.jobs > 0 ? static_cast<size_t>(args_.jobs)
                               : static_cast<size_t>(cores > 0 ? cores : 1);
    InterruptHandler interrupts(args_.run.quiet, InterruptHandler::Second::kCount);
    try {
        CheckPlugin();
        work_.emplace();
        PlanJobs();
        size_t next = 0;
        while (running_ > 0 || (next < jobs_.size() && !CancelRequested())) {
            StopChildren();
            while (!CancelRequested() && running_ < parallel_ && next < jobs_.size()) {
                Job& job = jobs_[next++];
                if (job.state == JobState::kPending)
                    Start(job);
            }
            Watch();
            ShowProgress();
        }
    } catch (const std::exception& e) {
        KillAll();
        line_->Clear();
        return HostError(e.what());
    }
    line_->Clear();
    for (auto& job : jobs_)
        if (job.state == JobState::kPending)
            job.status = "cancelled";
    const int summaryStatus = WriteSummary();
    const size_t ok = static_cast<size_t>(
        std::count_if(jobs_.begin(), jobs_.end(), [](const Job& j) { return j.status == "ok"; }));
    if (!args_.run.quiet || failed_ > 0)
        std::cerr << "filterhost: " << ok << " of " << jobs_.size() << " images done"
                  << (failed_ > 0 ? ", " + std::to_string(failed_) + " failed" : "") << " in "
                  << ClockText(Clock::now() - start_) << "\n";
    if (CancelRequested()) {
        std::cerr << "filterhost: batch cancelled\n";
        return kExitCancelled;
    }
    if (summaryStatus != 0)
        return summaryStatus;
    return failed_ > 0 ? kExitPluginFailed : 0;
}

}  // namespace

std::vector<fs::path> ExpandInputs(const std::vector<std::string>& inputs)
{
    std::vector<fs::path> files;
    std::set<fs::path> seen;
    const auto add = [&](const fs::path& file) {
        if (seen.insert(file.lexically_normal()).second)
            files.push_back(file);
    };
    for (const auto& input : inputs) {
        std::error_code ec;
        if (fs::is_directory(input, ec)) {
            for (const auto& file : FolderImages(input))
                add(file);
        } else if (HasGlobCharacters(input) && !fs::exists(input, ec)) {
            for (const auto& match : GlobMatches(input)) {
                if (fs::is_directory(match, ec)) {
                    for (const auto& file : FolderImages(match))
                        add(file);
                } else {
                    add(match);
                }
            }
        } else {
            add(input);
        }
    }
    return files;
}

int BatchCommand(const BatchArguments& args, const std::vector<fs::path>& folders)
{
    Batch batch(args, folders);
    return batch.Execute();
}

}  // namespace filterhost
