// Enabling and disabling the program's entry in the start manager's configuration file.
#pragma once

#include <cstdio>
#include <string>

// 1: changed and saved; 0: nothing to do, install directory unreadable, or save failed;
// -1: nothing changed (no file, no entry to update).
int SetProlverConfig(bool bEnable);

// The same on given paths: the configuration file, and the executable path that a new entry
// gets.
int SetProlverConfigFile(const std::string& configPath, const std::string& exePath, bool bEnable);

// fopen with the path's backslash runs and slash runs each turned into one '/'.
FILE* mvd_pugixml_fopen(const char* path, const char* mode);

// The path as mvd_pugixml_fopen opens it.
std::string MvdNormalisedPath(const char* path);
