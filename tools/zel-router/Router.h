// zel-router's services and client sessions.
#pragma once

#include "PlantProtocol.h"
#include "RegistryIni.h"
#include "ZelWire.h"

#include <array>
#include <boost/asio/io_context.hpp>
#include <boost/asio/local/stream_protocol.hpp>
#include <boost/asio/steady_timer.hpp>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace zelrouter {

using NetId = std::array<uint8_t, 6>;

struct Options {
    std::string socketPath = "/tmp/zel-router.sock";
    NetId netId = {127, 0, 0, 1, 1, 1};
    std::string registryPath;
    enum class Runtime { Echo, Error, Silent, Plant } runtime = Runtime::Echo;
    int32_t runtimeError = 0;
    uint32_t delayMs = 0;
    std::string logPath;
};

// The link addresses the program uses, written out again on purpose: the router checks the
// program from the other side, so it must not take them from the program's own headers.
constexpr uint16_t kRuntimePort = 851;
constexpr uint32_t kRuntimeGroup = 42, kRuntimeOffset = 42;
constexpr uint16_t kRegistryPort = 10000;
constexpr uint32_t kRegistryGroup = 200, kRegistryOffset = 0;

// What the router does with one request.
struct Reply {
    bool send = true;     // false: never answered
    bool delayed = false; // answered after the --delay-ms wait
    int32_t status = 0;
    std::vector<uint8_t> data;
    std::string logLine; // without the newline
};

// The services behind the socket: port handout, local address, runtime and registry.
class Services {
public:
    explicit Services(const Options& options) : options_(options) {}
    // Without a registry every registry read fails.
    void SetRegistry(Registry registry) {
        registry_ = std::move(registry);
        hasRegistry_ = true;
    }
    // False when the request breaks the frame rules (unknown op, malformed payload).
    bool Handle(uint16_t op, const std::vector<uint8_t>& payload, Reply& reply);

private:
    void ReadWrite(const zelwire::ReadWriteRequest& req, const uint8_t* write, Reply& reply);
    int32_t ReadRegistry(const uint8_t* write, uint32_t n, uint32_t readLength,
                         std::vector<uint8_t>& data) const;

    const Options& options_;
    Registry registry_;
    bool hasRegistry_ = false;
    uint32_t nextPort_ = 30000;
    plant::Runtime plant_; // --runtime plant
};

// Accepts clients on the Unix socket and serves each one's requests in order.
class Router {
public:
    Router(boost::asio::io_context& io, const Options& options, Services& services, std::FILE* log);
    // Binds and listens; false with a message in `error` when that fails.
    bool Listen(std::string& error);
    void Stop();

private:
    void Accept();

    const Options& options_;
    Services& services_;
    std::FILE* log_;
    boost::asio::local::stream_protocol::acceptor acceptor_;
    boost::asio::steady_timer retry_; // pause after a failed accept (e.g. out of descriptors)
};

} // namespace zelrouter
