// Objects shared by the whole process.
#pragma once

#include "ZelCommunication.h"

#include <atomic>
#include <csignal>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>

typedef void (*signal_handler_t)(int, siginfo_t*, void*);

// The values of g_serverState.
enum EServerState : int32_t {
    SERVER_STATE_STOPPED = 0,     // not initialised, or stopped
    SERVER_STATE_INITIALISED = 1, // server built, or its I/O threads stopped
    SERVER_STATE_STARTED = 2,     // I/O threads running
};

extern int32_t threads;           // threads serving the I/O context (its concurrency hint)
extern std::atomic<bool> g_bStop; // ends the service message loop
extern std::atomic<bool> g_killedBySignal;
extern int32_t g_serverState; // an EServerState
extern std::map<int, signal_handler_t> g_signals;
extern char* commandBuffer; // the exchange buffer with the PLC runtime
extern std::mutex _mutex;   // guards the exchange buffer and the link traffic
extern ZelCommunicatior communicator;
extern std::string sReply;         // content type of command replies
extern std::string sServiceTarget; // target prefix of the command channel

// Size of the exchange buffer; also the reply capacity announced to clients.
constexpr uint32_t COMMAND_BUFFER_SIZE = 50000;
