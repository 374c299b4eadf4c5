// A `filterhost serve` started for a test: its address and token read from
// what it prints, stopped with SIGINT when the object goes.
#pragma once

#include <sys/types.h>

#include <filesystem>
#include <string>
#include <vector>

class ServeProcess {
public:
    // Starts build/bin/filterhost with the given arguments before and after
    // "serve" (--port 0 is added) and waits for its address.
    explicit ServeProcess(const std::vector<std::string>& serveArgs = {},
                          const std::vector<std::string>& globalArgs = {});
    ~ServeProcess();
    ServeProcess(const ServeProcess&) = delete;
    ServeProcess& operator=(const ServeProcess&) = delete;

    const std::string& Host() const { return host_; }
    int Port() const { return port_; }
    const std::string& Token() const { return token_; }
    const std::filesystem::path& SessionFolder() const { return sessionFolder_; }
    // "path?token=..." (or "&token=" when the path has a query).
    std::string With(const std::string& path) const;
    // Sends SIGINT and waits; returns the exit status (-signal if killed).
    int Stop();
    bool Running() const;

private:
    pid_t pid_ = -1;
    std::string host_, token_;
    int port_ = 0;
    std::filesystem::path sessionFolder_;
};

// Plug-in folders for the server: the real plug-ins and the test modules.
std::string TestPluginPath();
