// `filterhost serve`: a local web page to try the plug-ins on one's own
// images. Registered on the command line by constructing a ServeCommand.
#pragma once

#include <CLI/CLI.hpp>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace filterhost::serve {

struct ServeOptions {
    std::string listen = "127.0.0.1";
    int port = 8610;  // 0: any free port
    std::string maxUpload = "256M";
    std::string prefsDir;
    std::string worker;  // internal: run this job file as a child
};

class ServeCommand {
public:
    explicit ServeCommand(CLI::App& app);
    bool Chosen() const { return command_->parsed(); }
    int Run(const std::vector<std::filesystem::path>& pluginFolders) const;

private:
    CLI::App* command_;
    ServeOptions options_;
};

// "256M" → bytes; K, M and G count in 1024s. Nothing for a malformed size.
std::optional<uint64_t> ParseSize(const std::string& text);

}  // namespace filterhost::serve
