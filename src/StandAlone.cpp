// Stand-alone mode: serves until SIGINT or SIGTERM.
#include "StandAlone.h"

#include "HttpService.h"
#include "ProcessObjects.h"

#include <boost/asio/io_context.hpp>
#include <boost/asio/signal_set.hpp>

#include <thread>
#include <vector>

namespace net = boost::asio;

int StartNormal() {
    net::io_context ioc{threads};
    std::shared_ptr<listener> pListener;
    CreateNetIoListener(pListener, ioc);
    communicator.OpenZelConnection();

    net::signal_set signals(ioc, SIGINT, SIGTERM);
    signals.async_wait([&ioc](boost::system::error_code const&, int) { ioc.stop(); });

    std::vector<std::thread> workers;
    workers.reserve(threads - 1);
    for (auto i = threads - 1; i > 0; --i)
        workers.emplace_back([&ioc] { ioc.run(); });
    ioc.run();

    for (auto& t : workers)
        t.join();
    communicator.CloseZelConnection();
    // Destroyed in reverse order: workers, signal set, listener, I/O context.
    return 0;
}
