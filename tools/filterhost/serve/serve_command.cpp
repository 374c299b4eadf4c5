// The serve subcommand's options and its start-up.
#include "serve_command.h"

#include <cctype>
#include <iostream>

#include "server.h"
#include "worker.h"

namespace filterhost::serve {

ServeCommand::ServeCommand(CLI::App& app)
{
    command_ = app.add_subcommand("serve", "Serve a local web page to try the plug-ins on images");
    command_
        ->add_option("--listen", options_.listen,
                     "Address to listen on (default 127.0.0.1: this machine only)")
        ->type_name("ADDRESS");
    command_->add_option("--port", options_.port, "Port (default 8610, another if taken; 0: any)")
        ->type_name("N");
    command_
        ->add_option("--max-upload", options_.maxUpload,
                     "Largest image file accepted (default 256M; K, M, G suffixes)")
        ->type_name("SIZE");
    command_
        ->add_option("--prefs-dir", options_.prefsDir,
                     "Folder for the reference image (default: the session's own folder, "
                     "removed at exit)")
        ->type_name("DIR");
    command_->add_option("--worker", options_.worker)->group("");  // internal child mode
}

int ServeCommand::Run(const std::vector<std::filesystem::path>& pluginFolders) const
{
    if (!options_.worker.empty())
        return RunWorkerJob(options_.worker);
    const auto maxUpload = ParseSize(options_.maxUpload);
    if (!maxUpload || *maxUpload == 0) {
        std::cerr << "filterhost: --max-upload: '" << options_.maxUpload
                  << "' is not a size (for example 64M)\n";
        return 1;
    }
    ServerSettings settings;
    settings.listen = options_.listen;
    settings.port = options_.port;
    settings.maxUpload = *maxUpload;
    if (!options_.prefsDir.empty())
        settings.prefs = options_.prefsDir;
    settings.pluginFolders = pluginFolders;
    return RunServer(settings);
}

std::optional<uint64_t> ParseSize(const std::string& text)
{
    if (text.empty() || !std::isdigit(static_cast<unsigned char>(text[0])))
        return std::nullopt;
    size_t used = 0;
    uint64_t value;
    try {
        value = std::stoull(text, &used);
    } catch (const std::exception&) {
        return std::nullopt;
    }
    const std::string suffix = text.substr(used);
    int shift = 0;
    if (suffix == "K" || suffix == "k")
        shift = 10;
    else if (suffix == "M" || suffix == "m")
        shift = 20;
    else if (suffix == "G" || suffix == "g")
        shift = 30;
    else if (!suffix.empty())
        return std::nullopt;
    if (shift && value > (UINT64_MAX >> shift))
        return std::nullopt;
    return value << shift;
}

}  // namespace filterhost::serve
