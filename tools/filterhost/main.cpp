// filterhost: runs filter plug-in modules on image files from the command
// line.
//
//   filterhost list                      every module found: name TAB About text
//   filterhost about PLUGIN              the module's About text and description
//   filterhost run PLUGIN INPUT [-o OUTPUT] [options]
//   filterhost batch PLUGIN INPUT... [--out-dir DIR] [options]
//
// Exit status: 0 success; 1 a host error (bad arguments, unreadable image,
// module not found, output not writable), one line on stderr; 2 the plug-in
// returned a non-zero result (nothing written), or some images of a batch
// failed; 130 the user cancelled.
#include <CLI/CLI.hpp>

#include <algorithm>
#include <iostream>
#include <optional>
#include <string>

#include "about_command.h"
#include "batch_command.h"
#include "console.h"
#include "image_options.h"
#include "plugin_search.h"
#include "run_command.h"
#include "serve/serve_command.h"

namespace fs = std::filesystem;
using namespace filterhost;

namespace {

const std::vector<std::string> kCommands = {"list", "about", "run", "batch", "serve", "help"};

std::optional<std::string> Given(const std::string& value)
{
    if (value.empty())
        return std::nullopt;
    return value;
}

// Edits (insertions, deletions, substitutions) from `a` to `b`.
size_t EditDistance(const std::string& a, const std::string& b)
{
    std::vector<size_t> row(b.size() + 1);
    for (size_t j = 0; j <= b.size(); ++j)
        row[j] = j;
    for (size_t i = 1; i <= a.size(); ++i) {
        size_t diagonal = row[0];
        row[0] = i;
        for (size_t j = 1; j <= b.size(); ++j) {
            const size_t above = row[j];
            row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] != b[j - 1])});
            diagonal = above;
        }
    }
    return row[b.size()];
}

// The first argument that is neither an option nor an option's value: the
// command the user typed, if any.
std::optional<std::string> TypedCommand(int argc, char** argv)
{
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--plugin-dir") {
            ++i;
            continue;
        }
        if (!arg.empty() && arg[0] == '-')
            continue;
        return arg;
    }
    return std::nullopt;
}

// An answer for a command that is not one: the nearest command when it is
// a likely typo.
int UnknownCommand(const std::string& typed)
{
    std::string nearest;
    size_t best = 3;  // more than two edits away is not a typo
    for (const auto& command : kCommands) {
        size_t distance = EditDistance(typed, command);
        if (typed.size() >= 2 && command.rfind(typed, 0) == 0)
            distance = std::min(distance, size_t{1});  // a shortened command
        if (distance < best) {
            best = distance;
            nearest = command;
        }
    }
    if (!nearest.empty())
        return HostError("unknown command '" + typed + "'; did you mean '" + nearest + "'?");
    return HostError("unknown command '" + typed +
                     "' (the commands are list, about, run and batch; see 'filterhost --help')");
}

void AddOutputOptions(CLI::App* command, RunArguments& run)
{
    command->add_option("--json", run.json, "Write a JSON report of the run to FILE")
        ->type_name("FILE");
}

void AddFolderOptions(CLI::App* command, RunArguments& run)
{
    command
        ->add_option("--prefs-dir", run.prefsDir,
                     "Folder standing for the Preferences folder, where the reference image "
                     "is kept (default $XDG_CONFIG_HOME/filterhost or ~/.config/filterhost)")
        ->envname("FILTERHOST_PREFS_DIR")
        ->type_name("DIR");
    command
        ->add_option("--desktop-dir", run.desktopDir,
                     "Folder standing for the Desktop, where parameter files are read "
                     "(default $XDG_DESKTOP_DIR or ~/Desktop)")
        ->envname("FILTERHOST_DESKTOP_DIR")
        ->type_name("DIR");
}

void AddParameterOptions(CLI::App* command, RunArguments& run)
{
    command
        ->add_option("--param", run.params,
                     "A parameter value for the plug-in (see 'filterhost about PLUGIN'); "
                     "may be repeated")
        ->type_name("NAME=VALUE")
        ->allow_extra_args(false);
    command
        ->add_option("--param-file", run.paramFile,
                     "A parameter file in the plug-in's own format; --param values win")
        ->type_name("FILE");
}

void AddDisplayOptions(CLI::App* command, RunArguments& run)
{
    command->add_flag("-q,--quiet", run.quiet,
                      "No progress and no message lines (a failure is still explained)");
    command
        ->add_option("--progress", run.progress,
                     "auto (a status line on a terminal), bar, plain (lines for logs) or none")
        ->type_name("STYLE");
}

CLI::App* AddRunCommand(CLI::App& app, RunArguments& run)
{
    auto* command = app.add_subcommand("run", "Run a plug-in on an image file");
    command->add_option("PLUGIN", run.plugin, "Plug-in name or path to a module")->required();
    command
        ->add_option("INPUT", run.input,
                     "Image file to filter (PNG, TIFF, JPEG, PBM/PGM/PPM; - for standard input)")
        ->required();
    command
        ->add_option("-o,--output", run.output,
                     "Where to write the result (.png, .tif, .jpg, .pgm, .ppm, .pnm, .pbm; - for "
                     "standard output)")
        ->type_name("FILE");
    AddOutputOptions(command, run);
    AddImageOptions(*command, run.image);
    AddParameterOptions(command, run);
    AddFolderOptions(command, run);
    AddDisplayOptions(command, run);
    return command;
}

CLI::App* AddBatchCommand(CLI::App& app, BatchArguments& batch)
{
    auto* command = app.add_subcommand(
        "batch", "Run a plug-in on many image files, each in a process of its own");
    command->add_option("PLUGIN", batch.run.plugin, "Plug-in name or path to a module")->required();
    command->add_option("INPUT", batch.inputs, "Image files, folders (their images) or globs")
        ->required();
    command
        ->add_option("--out-dir", batch.outDir,
                     "Where the results go, each under its input's file name (without it, "
                     "nothing is written: for measurements)")
        ->type_name("DIR");
    command
        ->add_option("--summary", batch.summary,
                     "Write the summary to FILE.csv and FILE.json (default DIR/summary with "
                     "--out-dir, else the CSV on stdout)")
        ->type_name("FILE");
    command->add_option("-j,--jobs", batch.jobs, "Images run at once (default: the cores)")
        ->type_name("N")
        ->check(CLI::PositiveNumber);
    command
        ->add_option("--timeout", batch.timeout,
                     "Stop an image's run after SECONDS and count it as failed")
        ->type_name("SECONDS")
        ->check(CLI::PositiveNumber);
    command->add_flag("--skip-existing", batch.skipExisting,
                      "Leave out images whose output already exists");
    // Outputs keep their inputs' names, and so their formats: no --format.
    AddImageOptions(*command, batch.run.image, false);
    AddParameterOptions(command, batch.run);
    AddFolderOptions(command, batch.run);
    AddDisplayOptions(command, batch.run);
    return command;
}

}  // namespace

int main(int argc, char** argv)
{
    CLI::App app{
        "Runs image-analysis filter plug-ins on image files (PNG, TIFF, JPEG, PBM/PGM/PPM).",
        "filterhost"};
    app.set_version_flag("-V,--version", std::string("filterhost ") + FILTERHOST_VERSION);
    app.require_subcommand(1);
    app.fallthrough();

    std::string pluginPath;
    app.add_option("--plugin-dir", pluginPath,
                   "Folder(s) where plug-in modules are looked up, ':'-separated")
        ->envname("FILTERHOST_PLUGIN_PATH")
        ->type_name("DIR");
    app.footer("Exit status: 0 success, 1 host error, 2 the plug-in failed (or some images of "
               "a batch), 130 cancelled.");

    auto* list = app.add_subcommand("list", "List every plug-in found: name, a tab, About text");
    auto* about = app.add_subcommand("about", "Show a plug-in's About text and description");
    std::string aboutPlugin;
    about->add_option("PLUGIN", aboutPlugin, "Plug-in name or path to a module")->required();
    RunArguments run;
    auto* runCommand = AddRunCommand(app, run);
    BatchArguments batch;
    auto* batchCommand = AddBatchCommand(app, batch);
    auto* help = app.add_subcommand("help", "Show this help, or a command's");
    std::string helpTopic;
    help->add_option("COMMAND", helpTopic, "The command to explain");

    filterhost::serve::ServeCommand serve(app);

    if (const auto typed = TypedCommand(argc, argv))
        if (std::find(kCommands.begin(), kCommands.end(), *typed) == kCommands.end())
            return UnknownCommand(*typed);
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        if (e.get_exit_code() == 0)
            return app.exit(e);
        const auto extras = app.remaining();
        if (dynamic_cast<const CLI::ExtrasError*>(&e) && runCommand->parsed() && !extras.empty() &&
            std::none_of(extras.begin(), extras.end(), [](const auto& a) { return a[0] == '-'; }))
            return HostError("run takes one INPUT; for many images use 'filterhost batch " +
                             run.plugin + " INPUT... --out-dir DIR'");
        std::cerr << "filterhost: " << e.what() << " (see 'filterhost --help')\n";
        return kExitHostError;
    }

    if (*help) {
        CLI::App* topic = nullptr;
        if (!helpTopic.empty()) {
            if (std::find(kCommands.begin(), kCommands.end(), helpTopic) == kCommands.end())
                return UnknownCommand(helpTopic);
            topic = app.get_subcommand(helpTopic);
        }
        // The formatter directly: App::help would describe the `help` command.
        std::cout << (topic ? topic->help()
                            : app.get_formatter()->make_help(&app, "filterhost",
                                                             CLI::AppFormatMode::Normal));
        return 0;
    }
    const auto folders = PluginFolders(Given(pluginPath));
    if (*list)
        return ListCommand(folders);
    if (*about)
        return AboutCommand(aboutPlugin, folders);
    if (*batchCommand)
        return BatchCommand(batch, folders);
    if (serve.Chosen())
        return serve.Run(folders);
    return RunCommand(run, folders);
}
