// Server start: the document root, the exchange buffer and the listener.
#include "HttpService.h"

#include "HttpListener.h"
#include "ProcessObjects.h"

#include <boost/asio/ip/address.hpp>

namespace net = boost::asio;
using tcp = net::ip::tcp;

// Every IPv4 interface.
static const char* const LISTEN_ADDRESS = "0.0.0.0";
// The boot directory when the registry gives none.
static const char* const FALLBACK_BOOT_DIR = "/usr/local/etc/Orvane/3.1/Boot/";
// The document root's folder, right after the boot directory.
static const char* const DOC_ROOT_FOLDER = "Plc";

void CreateNetIoListener(std::shared_ptr<listener>& listenerOut, net::io_context& ioc) {
    auto const address = net::ip::make_address(LISTEN_ADDRESS);
    std::string sBootPath;
    bool const bBootPath = communicator.GetOvBootPath(sBootPath);
    // One exchange buffer for the whole run: a repeated set-up keeps it.
    if (commandBuffer == nullptr)
        commandBuffer = new char[COMMAND_BUFFER_SIZE];
    if (!bBootPath)
        sBootPath = FALLBACK_BOOT_DIR;
    sBootPath += DOC_ROOT_FOLDER;
    auto const doc_root = std::make_shared<std::string const>(sBootPath);
    listenerOut = std::make_shared<listener>(ioc, tcp::endpoint{address, HTTP_PORT}, doc_root);
    listenerOut->run();
}

void CloseNetIoListener(std::shared_ptr<listener>& listenerOut) {
    if (listenerOut)
        listenerOut->close();
    listenerOut.reset();
}
