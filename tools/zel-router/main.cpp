// zel-router: simulates the controller's side of the link for the link library stand-in.
#include "ParseNumber.h"
#include "RegistryIni.h"
#include "Router.h"
#include "SocketIo.h"

#include <boost/asio/signal_set.hpp>
#include <boost/program_options.hpp>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fstream>
#include <iostream>
#include <sstream>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace po = boost::program_options;
using namespace zelrouter;

namespace {

bool ParseNetId(const std::string& text, NetId& out) {
    std::string_view s = text;
    for (size_t i = 0; i < 6; ++i) {
        size_t dot = i < 5 ? s.find('.') : s.size();
        if (dot == std::string_view::npos)
            return false;
        auto v = ovcommon::ParseNumber<uint8_t>(s.substr(0, dot));
        if (!v)
            return false;
        out[i] = *v;
        s.remove_prefix(i < 5 ? dot + 1 : dot);
    }
    return true;
}

bool ParseRuntime(const std::string& text, Options& o) {
    if (text == "echo") {
        o.runtime = Options::Runtime::Echo;
        return true;
    }
    if (text == "plant") {
        o.runtime = Options::Runtime::Plant;
        return true;
    }
    if (text == "silent") {
        o.runtime = Options::Runtime::Silent;
        return true;
    }
    if (text.rfind("error=", 0) == 0) {
        if (auto n = ovcommon::ParseNumber<int32_t>(std::string_view(text).substr(6))) {
            o.runtime = Options::Runtime::Error;
            o.runtimeError = *n;
            return true;
        }
    }
    return false;
}

bool LoadRegistry(const std::string& path, Registry& out) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return false;
    std::ostringstream text;
    text << in.rdbuf();
    IniResult r = ParseRegistryIni(text.str());
    for (int line : r.ignoredLines)
        std::cerr << "zel-router: " << path << ":" << line << ": line ignored\n";
    out = std::move(r.registry);
    return true;
}

// True when something accepts connections at the socket path.
bool LiveRouterAt(const std::string& path) {
    int fd = ovcommon::ConnectUnix(path);
    if (fd < 0)
        return false;
    close(fd);
    return true;
}

int Fail(const std::string& message) {
    std::cerr << "zel-router: " << message << "\n";
    return 1;
}

} // namespace

int main(int argc, char** argv) {
    Options o;
    std::string netId, runtime = "echo";
    po::options_description desc("Usage: zel-router [options]");
    desc.add_options()("help,h", "show this help")(
        "socket", po::value(&o.socketPath)->default_value(o.socketPath), "Unix socket path")(
        "net-id", po::value(&netId)->default_value("127.0.0.1.1.1"), "local net id A.B.C.D.E.F")(
        "registry", po::value(&o.registryPath), "INI file with the registry values")(
        "runtime", po::value(&runtime)->default_value(runtime), "echo, plant, error=N or silent")(
        "delay-ms", po::value(&o.delayMs)->default_value(0), "delay of every runtime answer")(
        "log", po::value(&o.logPath), "request log file (appended)");
    po::variables_map vm;
    try {
        po::store(po::command_line_parser(argc, argv).options(desc).run(), vm);
        po::notify(vm);
    } catch (const po::error& e) {
        std::cerr << "zel-router: " << e.what() << "\n" << desc;
        return 2;
    }
    if (vm.count("help")) {
        std::cout << desc;
        return 0;
    }
    if (!ParseNetId(netId, o.netId)) {
        std::cerr << "zel-router: bad --net-id '" << netId << "', expected A.B.C.D.E.F\n";
        return 2;
    }
    if (!ParseRuntime(runtime, o)) {
        std::cerr << "zel-router: bad --runtime '" << runtime
                  << "', expected echo, plant, error=N or silent\n";
        return 2;
    }
    if (o.socketPath.empty() || o.socketPath.size() >= sizeof(sockaddr_un::sun_path)) {
        std::cerr << "zel-router: bad --socket path\n";
        return 2;
    }

    Services services(o);
    if (!o.registryPath.empty()) {
        Registry registry;
        if (!LoadRegistry(o.registryPath, registry))
            return Fail("cannot read registry file " + o.registryPath);
        services.SetRegistry(std::move(registry));
    }
    std::FILE* log = nullptr;
    if (!o.logPath.empty() && !(log = std::fopen(o.logPath.c_str(), "a")))
        return Fail("cannot open log file " + o.logPath + ": " + std::strerror(errno));

    // One router per socket: refuse a live one, replace a stale socket file.
    struct stat st {};
    if (lstat(o.socketPath.c_str(), &st) == 0) {
        if (!S_ISSOCK(st.st_mode))
            return Fail(o.socketPath + " exists and is not a socket");
        if (LiveRouterAt(o.socketPath))
            return Fail("another router already answers at " + o.socketPath);
        unlink(o.socketPath.c_str());
    }

    boost::asio::io_context io;
    Router router(io, o, services, log);
    std::string error;
    if (!router.Listen(error))
        return Fail("cannot listen at " + o.socketPath + ": " + error);
    struct stat mine {};
    lstat(o.socketPath.c_str(), &mine);

    boost::asio::signal_set signals(io, SIGINT, SIGTERM, SIGHUP);
    std::function<void(const boost::system::error_code&, int)> onSignal =
        [&](const boost::system::error_code& ec, int sig) {
            if (ec)
                return;
            if (sig != SIGHUP) {
                router.Stop();
                io.stop();
                return;
            }
            Registry registry;
            if (o.registryPath.empty())
                std::cerr << "zel-router: no registry file to reload\n";
            else if (!LoadRegistry(o.registryPath, registry))
                std::cerr << "zel-router: cannot read registry file " << o.registryPath
                          << ", keeping the old values\n";
            else {
                services.SetRegistry(std::move(registry));
                std::cerr << "zel-router: registry reloaded\n";
            }
            signals.async_wait(onSignal);
        };
    signals.async_wait(onSignal);
    signal(SIGPIPE, SIG_IGN);

    std::cerr << "zel-router: listening at " << o.socketPath << "\n";
    io.run();

    // Remove the socket file only while it is still ours.
    struct stat now {};
    if (lstat(o.socketPath.c_str(), &now) == 0 && now.st_ino == mine.st_ino &&
        now.st_dev == mine.st_dev)
        unlink(o.socketPath.c_str());
    if (log)
        std::fclose(log);
    return 0;
}
