// Registration on fuzzed configuration files: SetProlverConfigFile with both switches, and with
// the save made to fail at one of its steps. Checked: the result is -1, 0 or 1; after a
// successful save a second call has nothing to do (0) and leaves the file alone; a failed or
// no save leaves the file's bytes as they were, and no temporary file behind.
//
// Input: byte 0 (bit 0: enable; bits 1-2: the step that fails, none, the rename or the sync),
// the rest is the file.
#include "FuzzCheck.h"
#include "XmlHandler.h"

#include <dlfcn.h>
#include <filesystem>
#include <unistd.h>

namespace {

enum Failure { kNone, kRename, kSync };
Failure g_failure = kNone;
bool g_failed = false; // a step was made to fail

} // namespace

// The program's calls of rename and fsync come here; the fuzzer fails them when asked.
extern "C" int rename(const char* from, const char* to) {
    static auto const real =
        reinterpret_cast<int (*)(const char*, const char*)>(dlsym(RTLD_NEXT, "rename"));
    if (g_failure == kRename) {
        g_failed = true;
        errno = EIO;
        return -1;
    }
    return real(from, to);
}

extern "C" int fsync(int fd) {
    static auto const real = reinterpret_cast<int (*)(int)>(dlsym(RTLD_NEXT, "fsync"));
    if (g_failure == kSync) {
        g_failed = true;
        errno = EIO;
        return -1;
    }
    return real(fd);
}

namespace {

std::string const& Dir() {
    static std::string const dir = fuzzsupport::MakeScratchDir("registration");
    return dir;
}

size_t FilesIn(std::string const& dir) {
    size_t n = 0;
    for (auto const& entry : std::filesystem::directory_iterator(dir)) {
        (void)entry;
        ++n;
    }
    return n;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(uint8_t const* data, size_t size) {
    if (size < 1)
        return 0;
    bool const enable = data[0] & 1;
    Failure const failure = static_cast<Failure>((data[0] >> 1) % 3);
    std::string const original(reinterpret_cast<char const*>(data) + 1, size - 1);
    std::string const path = Dir() + "/ProlverConfig.xml";
    std::string const exe = "/opt/Orvane/Components/Plc/VelmoraService/VelmoraService";
    fuzzsupport::WriteWhole(path, original);

    g_failure = failure;
    g_failed = false;
    int const first = SetProlverConfigFile(path, exe, enable);
    g_failure = kNone;
    std::string const after = fuzzsupport::ReadWhole(path);

    FUZZ_CHECK(first == -1 || first == 0 || first == 1, "result %d", first);
    FUZZ_CHECK(FilesIn(Dir()) == 1, "a temporary file was left behind");
    if (g_failed)
        FUZZ_CHECK(first == 0, "a failed save gave %d", first);
    if (first != 1) {
        FUZZ_CHECK(after == original, "the file changed without a successful save (result %d)",
                   first);
        return 0;
    }
    int const second = SetProlverConfigFile(path, exe, enable);
    FUZZ_CHECK(second == 0, "the second call after a save gave %d", second);
    FUZZ_CHECK(fuzzsupport::ReadWhole(path) == after, "the second call rewrote the file");
    return 0;
}
