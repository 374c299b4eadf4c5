// filterhost: runs filter plug-in modules on image files from the command
// line.
//
//   filterhost list                      every module found: name TAB About text
//   filterhost about PLUGIN              the module's About text
//   filterhost run PLUGIN INPUT [-o OUTPUT] [--json FILE] [folders] [--quiet]
//
// Exit status: 0 success; 1 a host error (bad arguments, unreadable image,
// module not found, output not writable), one line on stderr; 2 the plug-in
// returned a non-zero result (nothing written); 130 the user cancelled.
#include <CLI/CLI.hpp>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <optional>
#include <string>

#include "host.h"
#include "image_file.h"
#include "platform.h"
#include "plugin_search.h"
#include "run_json.h"
#include "serve/serve_command.h"

namespace fs = std::filesystem;

namespace {

constexpr int kExitHostError = 1;
constexpr int kExitPluginFailed = 2;
constexpr int kExitCancelled = 130;

std::atomic<bool> gCancelRequested{false};
std::atomic<bool> gQuietInterrupt{false};

// First Ctrl-C: ask the plug-in to stop at its next cancel test. Second:
// leave at once.
extern "C" void OnInterrupt(int)
{
    if (gCancelRequested.exchange(true))
        _exit(kExitCancelled);
    if (!gQuietInterrupt) {
        static const char note[] = "\nfilterhost: cancelling (Ctrl-C again to quit at once)\n";
        if (write(STDERR_FILENO, note, sizeof note - 1) < 0) {
        }
    }
}

class InterruptHandler {
public:
    InterruptHandler()
    {
        struct sigaction action {};
        action.sa_handler = OnInterrupt;
        sigemptyset(&action.sa_mask);
        sigaction(SIGINT, &action, &previous_);
    }
    ~InterruptHandler() { sigaction(SIGINT, &previous_, nullptr); }
    InterruptHandler(const InterruptHandler&) = delete;
    InterruptHandler& operator=(const InterruptHandler&) = delete;

private:
    struct sigaction previous_ {};
};

// A one-line bar redrawn in place on stderr, shown only on a terminal.
class ProgressBar {
public:
    explicit ProgressBar(bool enabled) : enabled_(enabled) {}
    ~ProgressBar() { Clear(); }
    ProgressBar(const ProgressBar&) = delete;
    ProgressBar& operator=(const ProgressBar&) = delete;

    void Update(int32_t done, int32_t total)
    {
        if (!enabled_ || total <= 0)
            return;
        double fraction = static_cast<double>(done) / static_cast<double>(total);
        fraction = fraction < 0 ? 0 : fraction > 1 ? 1 : fraction;
        const int percent = static_cast<int>(fraction * 100.0);
        if (shown_ && percent == lastPercent_)
            return;
        constexpr int kWidth = 40;
        const int filled = static_cast<int>(fraction * kWidth);
        std::string line = "\r[" + std::string(static_cast<size_t>(filled), '#') +
                           std::string(static_cast<size_t>(kWidth - filled), ' ') + "] ";
        line += std::to_string(percent) + "%";
        std::fputs(line.c_str(), stderr);
        std::fflush(stderr);
        shown_ = true;
        lastPercent_ = percent;
    }
    void Clear()
    {
        if (!shown_)
            return;
        std::fputs("\r\033[K", stderr);
        std::fflush(stderr);
        shown_ = false;
    }

private:
    bool enabled_;
    bool shown_ = false;
    int lastPercent_ = -1;
};

std::string LineBreaks(std::string text)
{
    for (char& c : text)
        if (c == '\r')
            c = '\n';
    return text;
}

std::string OneLine(std::string text)
{
    for (char& c : text)
        if (c == '\r' || c == '\n')
            c = ' ';
    return text;
}

int HostError(const std::string& text)
{
    std::cerr << "filterhost: " << text << "\n";
    return kExitHostError;
}

std::string EnvOr(const char* name, const std::string& fallback = {})
{
    const char* value = std::getenv(name);
    return value && *value ? std::string(value) : fallback;
}

std::optional<std::string> Given(const std::string& value)
{
    if (value.empty())
        return std::nullopt;
    return value;
}

std::string ResultMeaning(int result)
{
    switch (result) {
    case userCanceledErr:
        return " (cancelled, or the plug-in refused the image)";
    case filterBadParameters:
        return " (bad parameters)";
    case memFullErr:
        return " (out of memory)";
    default:
        return "";
    }
}

struct RunArguments {
    std::string plugin, input, output, json, prefsDir, desktopDir;
    bool quiet = false;
};

int ListCommand(const std::vector<fs::path>& folders)
{
    const auto plugins = filterhost::FindPlugins(folders);
    if (plugins.empty()) {
        std::string where;
        for (const auto& f : folders)
            where += (where.empty() ? "'" : ", '") + f.string() + "'";
        return HostError("no plug-in modules found in " + (where.empty() ? "no folder" : where));
    }
    int status = 0;
    for (const auto& [name, path] : plugins) {
        try {
            host::Module module(path);
            std::cout << name << "\t" << OneLine(host::AboutText(module)) << "\n";
        } catch (const std::exception& e) {
            std::cerr << "filterhost: skipping '" << path.string() << "': " << e.what() << "\n";
            status = kExitHostError;
        }
    }
    return status;
}

int AboutCommand(const std::string& plugin, const std::vector<fs::path>& folders)
{
    try {
        host::Module module(filterhost::ResolvePlugin(plugin, folders));
        std::cout << LineBreaks(host::AboutText(module)) << "\n";
        return 0;
    } catch (const std::exception& e) {
        return HostError(e.what());
    }
}

fs::path PreferencesFolder(const std::string& given)
{
    if (!given.empty())
        return given;
    const std::string config = EnvOr("XDG_CONFIG_HOME");
    if (!config.empty())
        return fs::path(config) / "filterhost";
    const std::string home = EnvOr("HOME");
    if (home.empty())
        throw std::runtime_error("no Preferences folder: set --prefs-dir or HOME");
    return fs::path(home) / ".config" / "filterhost";
}

fs::path DesktopFolder(const std::string& given)
{
    if (!given.empty())
        return given;
    const std::string desktop = EnvOr("XDG_DESKTOP_DIR");
    if (!desktop.empty())
        return desktop;
    const std::string home = EnvOr("HOME");
    return home.empty() ? fs::path() : fs::path(home) / "Desktop";
}

int RunCommand(const RunArguments& args, const std::vector<fs::path>& folders)
{
    // Everything that can be checked is checked before the plug-in runs.
    fs::path modulePath;
    host::Image input;
    fs::path prefs, desktop;
    try {
        modulePath = filterhost::ResolvePlugin(args.plugin, folders);
        input = host::ReadImageFile(args.input);
        if (!args.output.empty())
            if (auto refusal = host::CheckWritable(args.output, input))
                return HostError(*refusal);
        if (!args.json.empty()) {
            const fs::path parent = fs::path(args.json).parent_path();
            if (!parent.empty() && !fs::is_directory(parent))
                return HostError("cannot write report '" + args.json + "': the folder '" +
                                 parent.string() + "' does not exist");
        }
        prefs = PreferencesFolder(args.prefsDir);
        desktop = DesktopFolder(args.desktopDir);
        std::error_code ec;
        fs::create_directories(prefs, ec);
        if (ec || !fs::is_directory(prefs))
            return HostError("cannot make the Preferences folder '" + prefs.string() +
                             "': " + (ec ? ec.message() : "not a folder"));
    } catch (const std::exception& e) {
        return HostError(e.what());
    }

    std::optional<host::Module> module;
    try {
        module.emplace(modulePath);
    } catch (const std::exception& e) {
        return HostError(e.what());
    }
    host::ScopedFolder prefsFolder(kPreferencesFolderType, prefs);
    std::optional<host::ScopedFolder> desktopFolder;
    if (!desktop.empty())
        desktopFolder.emplace(kDesktopFolderType, desktop);

    filterhost::RunSummary summary;
    summary.plugin = module->Name();
    if (!args.json.empty())
        summary.about = LineBreaks(host::AboutText(*module));
    summary.width = input.width;
    summary.height = input.height;
    summary.mode = input.mode;
    summary.depth = input.depth;

    ProgressBar bar(!args.quiet && isatty(STDERR_FILENO));
    host::RunOptions options;
    options.cancelRequested = [] { return gCancelRequested.load(); };
    options.onProgress = [&bar](int32_t done, int32_t total) { bar.Update(done, total); };
    options.onMessage = [&](const std::string& text) {
        if (args.quiet)
            return;
        bar.Clear();
        std::cerr << "message: " << LineBreaks(text) << std::endl;
    };
    gQuietInterrupt = args.quiet;
    host::RunReport report;
    {
        InterruptHandler interrupts;
        report = host::RunFilter(*module, input, options);
    }
    bar.Clear();

    summary.result = report.result;
    summary.progressCalls = report.progress.size();
    summary.cancelled = report.cancelled;
    for (const auto& message : report.messages)
        summary.messages.push_back(LineBreaks(message));

    int status = 0;
    if (report.result == 0) {
        if (!args.output.empty()) {
            try {
                host::WriteImageFile(args.output, report.output);
                summary.outputWritten = true;
            } catch (const std::exception& e) {
                status = HostError(e.what());
            }
        }
    } else if (gCancelRequested) {
        std::cerr << "filterhost: cancelled; nothing written\n";
        status = kExitCancelled;
    } else {
        std::cerr << "filterhost: " << summary.plugin << " returned " << report.result
                  << ResultMeaning(report.result) << "; nothing written\n";
        status = kExitPluginFailed;
    }

    if (!args.json.empty()) {
        std::ofstream out(args.json, std::ios::binary | std::ios::trunc);
        out << filterhost::RunSummaryJson(summary);
        out.close();
        if (!out) {
            const int jsonStatus = HostError("cannot write report '" + args.json + "'");
            if (status == 0)
                status = jsonStatus;
        }
    }
    return status;
}

}  // namespace

int main(int argc, char** argv)
{
    CLI::App app{"Runs image-analysis filter plug-ins on image files (PNG, TIFF, PGM/PPM).",
                 "filterhost"};
    app.set_version_flag("--version", std::string("filterhost ") + FILTERHOST_VERSION);
    app.require_subcommand(1);
    app.fallthrough();

    std::string pluginPath;
    app.add_option("--plugin-dir", pluginPath,
                   "Folder(s) where plug-in modules are looked up, ':'-separated")
        ->envname("FILTERHOST_PLUGIN_PATH")
        ->type_name("DIR");
    app.footer("Exit status: 0 success, 1 host error, 2 the plug-in failed, 130 cancelled.");

    auto* list = app.add_subcommand("list", "List every plug-in found: name, a tab, About text");
    auto* about = app.add_subcommand("about", "Print a plug-in's About text");
    std::string aboutPlugin;
    about->add_option("PLUGIN", aboutPlugin, "Plug-in name or path to a module")->required();

    RunArguments run;
    auto* runCommand = app.add_subcommand("run", "Run a plug-in on an image file");
    runCommand->add_option("PLUGIN", run.plugin, "Plug-in name or path to a module")->required();
    runCommand->add_option("INPUT", run.input, "Image file to filter (PNG, TIFF, PGM/PPM)")
        ->required();
    runCommand
        ->add_option("-o,--output", run.output,
                     "Where to write the result (.png, .tif, .tiff, .pgm, .ppm, .pnm)")
        ->type_name("FILE");
    runCommand->add_option("--json", run.json, "Write a JSON report of the run to FILE")
        ->type_name("FILE");
    runCommand
        ->add_option("--prefs-dir", run.prefsDir,
                     "Folder standing for the Preferences folder "
                     "(default $XDG_CONFIG_HOME/filterhost or ~/.config/filterhost)")
        ->envname("FILTERHOST_PREFS_DIR")
        ->type_name("DIR");
    runCommand
        ->add_option("--desktop-dir", run.desktopDir,
                     "Folder standing for the Desktop (default $XDG_DESKTOP_DIR or ~/Desktop)")
        ->envname("FILTERHOST_DESKTOP_DIR")
        ->type_name("DIR");
    runCommand->add_flag("-q,--quiet", run.quiet, "No progress bar and no message lines");

    filterhost::serve::ServeCommand serve(app);

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        if (e.get_exit_code() == 0)
            return app.exit(e);
        std::cerr << "filterhost: " << e.what() << " (see 'filterhost --help')\n";
        return kExitHostError;
    }

    const auto folders = filterhost::PluginFolders(Given(pluginPath));
    if (*list)
        return ListCommand(folders);
    if (*about)
        return AboutCommand(aboutPlugin, folders);
    if (serve.Chosen())
        return serve.Run(folders);
    return RunCommand(run, folders);
}
