#include "Log.h"
#include "RunModes.h"

void install_signal_handler() {
    for (auto& [nSignal, handler] : g_signals)
        install_signal_handler(nSignal, handler);
}

void install_signal_handler(int signal, signal_handler_t handler) {
    struct sigaction action {};
    action.sa_sigaction = handler;
    action.sa_flags = SA_SIGINFO; // no SA_RESTART: a signal must interrupt the queue's wait
    sigemptyset(&action.sa_mask);
    if (sigaction(signal, &action, nullptr) != 0)
        WriteOutput(1, "install signal handler failed\n");
}

void sigterm_handler(int /*signal*/, siginfo_t* /*info*/, void* /*context*/) {
    g_killedBySignal = true;
    g_bStop = true;
    WriteOutput(1, "SIGTERM received -> shutting down...\n");
}

// The message loop arrives with the system library's stand-in; until then it returns at once.
int StartFromSystemService(CString /*programPath*/, CString /*addressText*/, bool /*addressGiven*/) {
    return 0;
}
