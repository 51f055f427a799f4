#include "HttpService.h"

// The HTTP service arrives next; until then no listener is made.
void CreateNetIoListener(std::shared_ptr<listener>& /*listenerOut*/, boost::asio::io_context&) {}
void CloseNetIoListener(std::shared_ptr<listener>& listenerOut) { listenerOut.reset(); }
