#pragma once

// The diagnostic sink of process control. The program's own one keeps silent.
void WriteOutput(int level, const char* format, ...);
