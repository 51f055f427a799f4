// The program's actions: the two run modes and the signal handlers of service mode.
#pragma once

#include "OvString.h"
#include "ProcessObjects.h"

// Runs stand-alone until SIGINT or SIGTERM; returns 0.
int StartNormal();

// Runs under the platform's system service; returns 0, or the negative status of a failed set-up.
int StartFromSystemService(CString programPath, CString addressText, bool addressGiven);

// Installs every handler of g_signals, in ascending signal order.
void install_signal_handler();
void install_signal_handler(int signal, signal_handler_t handler);
void sigterm_handler(int signal, siginfo_t* info, void* context);
