// Enabling and disabling the program's entry in the start manager's configuration file.
#pragma once

#include <cstdio>

// 1: changed and saved; 0: nothing to do, install directory unreadable, or save failed;
// -1: nothing changed (no file, no entry to update).
int SetProlverConfig(bool bEnable);

// fopen with the path's backslash runs and slash runs each turned into one '/'.
FILE* mvd_pugixml_fopen(const char* path, const char* mode);
