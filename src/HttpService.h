// Entry point of the HTTP service; the service itself lives in HttpService.cpp.
#pragma once

#include <memory>

namespace boost::asio {
class io_context;
}

class listener;

// Makes the document root and the exchange buffer, creates the listener on 0.0.0.0:42341,
// stores it in listenerOut and starts accepting. The caller runs the I/O context.
void CreateNetIoListener(std::shared_ptr<listener>& listenerOut, boost::asio::io_context& ioc);

// Closes the listener's acceptor at once (freeing the port) and releases the handle.
void CloseNetIoListener(std::shared_ptr<listener>& listenerOut);

// TCP port of the HTTP service.
constexpr unsigned short HTTP_PORT = 42341;
