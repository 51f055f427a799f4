// What the fuzz targets share: a failed invariant stops the run as a crash, so libFuzzer keeps
// the input that broke it.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>

#define FUZZ_CHECK(cond, ...)                                                                      \
    do {                                                                                           \
        if (!(cond)) {                                                                             \
            std::fprintf(stderr, "invariant broken at %s:%d: %s\n", __FILE__, __LINE__, #cond);    \
            std::fprintf(stderr, "  " __VA_ARGS__);                                                \
            std::fprintf(stderr, "\n");                                                            \
            std::abort();                                                                          \
        }                                                                                          \
    } while (0)

namespace fuzzsupport {

// A fresh directory for the target's files, on tmpfs where there is one (the registration target
// writes and syncs a file per input); removed when the process exits normally.
std::string MakeScratchDir(const char* tag);

// Writes `bytes` to `path` (whole file); aborts when that fails.
void WriteWhole(const std::string& path, const std::string& bytes);
std::string ReadWhole(const std::string& path);

} // namespace fuzzsupport
