// A zel-router started for one test, on a socket in its own temporary directory.
#pragma once

#include "Process.h"

#include <chrono>
#include <csignal>
#include <memory>
#include <string>
#include <vector>

class RunningRouter {
public:
    // ini: registry file contents; empty means no --registry. With start false, the router
    // is only started by Start().
    explicit RunningRouter(std::vector<std::string> args = {}, const std::string& ini = {},
                           bool start = true)
        : args_(std::move(args)) {
        if (!ini.empty()) {
            testsupport::WriteFile(Ini(), ini);
            args_.insert(args_.end(), {"--registry", Ini()});
        }
        if (start)
            Start();
    }

    // Starts the router; true once it accepts connections.
    bool Start() {
        std::vector<std::string> argv = {testsupport::Built("zel-router"), "--socket", Socket(),
                                         "--log", LogPath()};
        argv.insert(argv.end(), args_.begin(), args_.end());
        process_ = std::make_unique<testsupport::Process>(argv);
        return testsupport::WaitForUnixSocket(Socket(), std::chrono::seconds(10));
    }

    // Stops it with sig; returns its exit status (-1 when it didn't end in time).
    int Stop(int sig = SIGTERM) {
        process_->Signal(sig);
        return process_->WaitExit(std::chrono::seconds(10));
    }

    std::string Socket() const { return dir_.File("router.sock"); }
    std::string LogPath() const { return dir_.File("requests.log"); }
    std::string Ini() const { return dir_.File("registry.ini"); }
    std::string Log() const { return testsupport::ReadFile(LogPath()); }
    const testsupport::TempDir& dir() const { return dir_; }
    testsupport::Process& process() { return *process_; }

private:
    testsupport::TempDir dir_;
    std::vector<std::string> args_;
    std::unique_ptr<testsupport::Process> process_;
};
