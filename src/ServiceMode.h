// Service mode: the platform's system service drives the server through its message queue.
#pragma once

#include "OvString.h"
#include "ProcessObjects.h"

// Runs under the platform's system service; returns 0, or the negative status of a failed set-up.
int StartFromSystemService(CString programPath, CString addressText, bool addressGiven);

// Installs every handler of g_signals, in ascending signal order.
void install_signal_handler();
void install_signal_handler(int signal, signal_handler_t handler);
void sigterm_handler(int signal, siginfo_t* info, void* context);
