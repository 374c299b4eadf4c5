// `filterhost run`, step by step: find the module and its description,
// check the parameters, read the image, check it against what the plug-in
// offers, set up the folders, filter, write, explain the outcome and
// report it.
#include "run_command.h"

#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstring>
#include <fstream>
#include <iostream>
#include <optional>

#include "console.h"
#include "host.h"
#include "image_file.h"
#include "interrupt.h"
#include "platform.h"
#include "plugin_search.h"
#include "progress.h"
#include "run_folders.h"
#include "run_json.h"
#include "safe_output.h"

namespace filterhost {
namespace fs = std::filesystem;

namespace {

using Clock = std::chrono::steady_clock;

constexpr const char* kReferenceFile = "Reference Image.xzy";

double Seconds(Clock::time_point from, Clock::time_point to)
{
    return std::chrono::duration<double>(to - from).count();
}

// A failure that ends the run before the plug-in is called.
struct HostFailure {
    std::string text;
};

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

int64_t PeakMemoryBytes()
{
    struct rusage usage {};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<int64_t>(usage.ru_maxrss) * 1024;
}

class Run {
public:
    Run(const RunArguments& args, const std::vector<fs::path>& folders)
        : args_(args), folders_(folders)
    {}
    int Execute();

private:
    void FindModule();
    void GatherParameters();
    void CheckReportFolder() const;
    void ReadInput();
    void CheckImage() const;
    void SetUpPreferences();
    void SetUpDesktop();
    PrivateFolder& Private();
    void Filter();
    int WriteOutput();
    int InterruptedWrite(int signal);
    int ExplainOutcome();
    void ExplainMissingReference();
    int WriteReport(int status);

    const RunArguments& args_;
    const std::vector<fs::path>& folders_;
    fs::path modulePath_;
    std::optional<host::PluginDescription> description_;
    std::map<std::string, std::string> given_;
    host::Image input_;
    host::ImageFile carried_;  // the input's alpha and metadata, for the output
    std::optional<PrivateFolder> private_;
    std::optional<fs::path> prefs_;
    std::optional<fs::path> desktop_;
    std::optional<host::Module> module_;
    std::optional<ProgressDisplay> display_;
    host::RunReport report_;
    RunSummary summary_;
    Clock::time_point start_ = Clock::now();
};

void Run::FindModule()
{
    modulePath_ = ResolvePlugin(args_.plugin, folders_);
    description_ = host::LoadPluginDescription(modulePath_);
}

void Run::GatherParameters()
{
    given_ =
        GivenParameters(args_.params, args_.paramFile, description_, modulePath_.stem().string());
    if (!given_.empty()) {  // checked now, before the image is read
        summary_.parameters = host::ResolveParameters(*description_, given_);
        summary_.parametersFrom = args_.paramFile.empty() ? "command line" : args_.paramFile;
    }
}

void Run::CheckReportFolder() const
{
    if (auto refusal = CheckImageOptions(args_.image))
        throw HostFailure{*refusal};
    if (args_.json.empty())
        return;
    const fs::path parent = fs::path(args_.json).parent_path();
    if (!parent.empty() && !fs::is_directory(parent))
        throw HostFailure{"cannot write report '" + args_.json + "': the folder '" +
                          parent.string() + "' does not exist"};
}

void Run::ReadInput()
{
    display_->Phase("reading");
    const auto from = Clock::now();
    host::ImageFile file = host::ReadImageFile(args_.input, ReadOptionsFrom(args_.image));
    input_ = std::move(file.image);
    carried_ = std::move(file);
    summary_.readSeconds = Seconds(from, Clock::now());
}

void Run::CheckImage() const
{
    if (description_ && !host::OffersMode(*description_, input_))
        throw HostFailure{description_->name + " does not take " +
                          host::ModeName(input_.mode, input_.depth) + " images; it takes " +
                          host::OfferedModesText(*description_)};
    if (!args_.output.empty())
        if (auto refusal = host::CheckWritable(args_.output, input_, WriteOptionsFrom(args_.image)))
            throw HostFailure{*refusal};
}

// Made on first use only, so a run that needs no private folder never
// depends on a writable temporary folder.
PrivateFolder& Run::Private()
{
    if (!private_)
        private_.emplace();
    return *private_;
}

// The Preferences folder is made only for a plug-in that stores the
// reference image there. A plug-in that reads it gets the folder as it is;
// any other gets it when it exists (large temporary images may spill there)
// and otherwise a private one, so no run needs a home folder it does not
// use.
void Run::SetUpPreferences()
{
    const auto use = description_ ? description_->reference : host::ReferenceUse::kWrites;
    prefs_ = PreferencesFolder(args_.prefsDir);
    std::error_code ec;
    if (use == host::ReferenceUse::kWrites) {
        if (!prefs_) {
            if (description_)
                throw HostFailure{"no Preferences folder for the reference image: set "
                                  "--prefs-dir or HOME"};
            prefs_ = Private().Preferences();
        }
        fs::create_directories(*prefs_, ec);
        if (ec || !fs::is_directory(*prefs_))
            throw HostFailure{"cannot make the Preferences folder '" + prefs_->string() +
                              "': " + (ec ? ec.message() : "not a folder")};
    } else if (use == host::ReferenceUse::kNone && !(prefs_ && fs::is_directory(*prefs_, ec))) {
        prefs_ = Private().Preferences();
    }
}

// With parameters given, the filter reads them from a Desktop folder of the
// run's own; the user's Desktop is not touched. Otherwise the user's
// Desktop is used as it is, and the values the filter will read there are
// recorded when they can be known.
void Run::SetUpDesktop()
{
    if (summary_.parameters) {
        desktop_ = Private().Desktop();
        host::WriteParameterFile(*description_, given_, *desktop_);
        return;
    }
    desktop_ = DesktopFolder(args_.desktopDir);
    if (!description_ || !description_->parameterFile)
        return;
    const fs::path file = desktop_ ? *desktop_ / description_->parameterFile->fileName : fs::path();
    std::error_code ec;
    try {
        if (desktop_ && fs::is_regular_file(file, ec)) {
            summary_.parameters = host::ResolveParameters(
                *description_, host::ReadParameterFile(*description_, file));
            summary_.parametersFrom = file.string();
        } else {
            summary_.parameters = host::ResolveParameters(*description_, {});
            summary_.parametersFrom = "defaults";
        }
    } catch (const std::exception&) {
        // A file the filter reads in its own way; its values stay unrecorded.
    }
}

void Run::Filter()
{
    module_.emplace(modulePath_);
    std::optional<host::ScopedFolder> prefsFolder, desktopFolder;
    if (prefs_)
        prefsFolder.emplace(kPreferencesFolderType, *prefs_);
    if (desktop_)
        desktopFolder.emplace(kDesktopFolderType, *desktop_);

    summary_.plugin = module_->Name();
    summary_.about = LineBreaks(host::AboutText(*module_));
    summary_.width = input_.width;
    summary_.height = input_.height;
    summary_.mode = input_.mode;
    summary_.depth = input_.depth;

    host::RunOptions options;
    options.cancelRequested = [] { return CancelRequested(); };
    options.onProgress = [this](int32_t done, int32_t total) { display_->Report(done, total); };
    options.onMessage = [this](const std::string& text) {
        if (!args_.quiet)
            display_->Print("message: " + LineBreaks(text));
    };
    display_->Phase("filtering");
    const auto from = Clock::now();
    report_ = host::RunFilter(*module_, input_, options);
    summary_.filterSeconds = Seconds(from, Clock::now());

    summary_.result = report_.result;
    summary_.progressCalls = report_.progress.size();
    summary_.cancelled = report_.cancelled;
    for (const auto& message : report_.messages)
        summary_.messages.push_back(LineBreaks(message));
}

int Run::WriteOutput()
{
    if (args_.output.empty()) {
        display_->Finish();
        return 0;
    }
    display_->Phase("writing");
    const auto from = Clock::now();
    int signal = 0;
    try {
        // The alpha channel and the metadata go out as they came in.
        carried_.image = std::move(report_.output);
        signal = WriteOutputShielded(args_.output, carried_, WriteOptionsFrom(args_.image));
        summary_.outputWritten = signal == 0;
    } catch (const std::exception& e) {
        summary_.error = e.what();
    }
    summary_.writeSeconds = Seconds(from, Clock::now());
    display_->Finish();
    if (signal != 0)
        return InterruptedWrite(signal);
    return summary_.error.empty() ? 0 : HostError(summary_.error);
}

// A signal held while the output was written: Ctrl-C counts as a cancel;
// any other ends filterhost the way it would have without the hold.
int Run::InterruptedWrite(int signal)
{
    if (signal == SIGINT) {
        std::cerr << "filterhost: cancelled; nothing written\n";
        return kExitCancelled;
    }
    std::cerr << "filterhost: interrupted (" << strsignal(signal) << "); nothing written\n";
    std::signal(signal, SIG_DFL);
    raise(signal);
    return 128 + signal;
}

// The reason a run failed is printed even with --quiet: the plug-in's
// messages (which --quiet held back) and one line saying what happened.
int Run::ExplainOutcome()
{
    if (report_.result == 0 && !CancelRequested())
        return WriteOutput();
    display_->Finish();
    if (CancelRequested()) {
        std::cerr << "filterhost: cancelled; nothing written\n";
        return kExitCancelled;
    }
    if (args_.quiet)
        for (const auto& message : summary_.messages)
            std::cerr << "message: " << message << "\n";
    std::cerr << "filterhost: " << summary_.plugin << " returned " << report_.result
              << ResultMeaning(report_.result) << "; nothing written\n";
    ExplainMissingReference();
    return kExitPluginFailed;
}

void Run::ExplainMissingReference()
{
    if (!description_ || description_->reference != host::ReferenceUse::kReads)
        return;
    std::error_code ec;
    if (prefs_ && fs::exists(*prefs_ / kReferenceFile, ec))
        return;
    const std::string where = prefs_ ? " in '" + prefs_->string() + "'"
                                     : " (there is no Preferences folder: set --prefs-dir or HOME)";
    std::cerr << "filterhost: no reference image is stored" << where
              << "; store one first with 'filterhost run store_reference IMAGE'\n";
}

int Run::WriteReport(int status)
{
    if (args_.json.empty())
        return status;
    summary_.input = args_.input;
    summary_.output = args_.output;
    summary_.exitStatus = status;
    summary_.totalSeconds = Seconds(start_, Clock::now());
    summary_.peakMemoryBytes = PeakMemoryBytes();
    // Whole or not at all: a batch reads the report of a run it may have
    // killed, and a half-written report would be no report.
    if (!WriteTextWhole(args_.json, RunSummaryJson(summary_).dump(2) + "\n")) {
        const int jsonStatus = HostError("cannot write report '" + args_.json + "'");
        return status == 0 ? jsonStatus : status;
    }
    return status;
}

int Run::Execute()
{
    const auto style = ParseProgressStyle(args_.progress, isatty(STDERR_FILENO) != 0);
    if (!style)
        return HostError("--progress must be auto, bar, plain or none, not '" + args_.progress +
                         "'");
    InterruptHandler interrupts(args_.quiet);
    try {
        FindModule();
        GatherParameters();
        CheckReportFolder();
        display_.emplace(args_.quiet ? ProgressStyle::kNone : *style);
        ReadInput();
        CheckImage();
        SetUpPreferences();
        SetUpDesktop();
        if (CancelRequested()) {
            display_->Finish();
            std::cerr << "filterhost: cancelled; nothing written\n";
            return kExitCancelled;
        }
        Filter();
    } catch (const HostFailure& failure) {
        if (display_)
            display_->Finish();
        return HostError(failure.text);
    } catch (const std::exception& e) {
        if (display_)
            display_->Finish();
        return HostError(e.what());
    }
    return WriteReport(ExplainOutcome());
}

std::pair<std::string, std::string> SplitAssignment(const std::string& text)
{
    const size_t equals = text.find('=');
    if (equals == std::string::npos || equals == 0)
        throw host::DescriptionError("--param wants NAME=VALUE, not '" + text + "'");
    return {text.substr(0, equals), text.substr(equals + 1)};
}

}  // namespace

std::map<std::string, std::string>
GivenParameters(const std::vector<std::string>& params, const std::string& paramFile,
                const std::optional<host::PluginDescription>& description,
                const std::string& plugin)
{
    if (params.empty() && paramFile.empty())
        return {};
    if (!description || !description->parameterFile)
        throw host::DescriptionError(plugin + " takes no parameters");
    std::map<std::string, std::string> values;
    if (!paramFile.empty())
        values = host::ReadParameterFile(*description, paramFile);
    for (const auto& param : params) {
        const auto [name, value] = SplitAssignment(param);
        values[name] = value;
    }
    return values;
}

int RunCommand(const RunArguments& args, const std::vector<fs::path>& folders)
{
    Run run(args, folders);
    return run.Execute();
}

}  // namespace filterhost
