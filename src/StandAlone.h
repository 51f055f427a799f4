// Stand-alone mode: the server without the platform's system service.
#pragma once

// Runs the server until SIGINT or SIGTERM; returns 0.
int StartNormal();
