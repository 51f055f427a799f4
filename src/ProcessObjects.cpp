#include "ProcessObjects.h"

#include "ServiceMode.h"

static_assert(std::atomic<bool>::is_always_lock_free, "signal flags must be lock-free");

int32_t threads = 1;
std::atomic<bool> g_bStop{false};
std::atomic<bool> g_killedBySignal{false};
int32_t g_serverState = SERVER_STATE_STOPPED;
char* commandBuffer = nullptr;
std::mutex _mutex;

// Built in this order by static initialisation.
ZelCommunicatior communicator;
std::string sReply = "application/octet-stream";
std::string sServiceTarget = "/Velmora";
std::map<int, signal_handler_t> g_signals = {{SIGINT, sigterm_handler}, {SIGTERM, sigterm_handler}};
