#include "FuzzCheck.h"

#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>
#include <sstream>
#include <unistd.h>
#include <vector>

namespace fuzzsupport {

namespace {

// Never destroyed: the exit handler that removes the folders runs after static destructors.
std::vector<std::string>& ScratchDirs() {
    static auto* dirs = new std::vector<std::string>;
    return *dirs;
}

void RemoveScratchDirs() {
    std::error_code ec;
    for (auto const& dir : ScratchDirs())
        std::filesystem::remove_all(dir, ec);
}

} // namespace

std::string MakeScratchDir(const char* tag) {
    std::string base = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
    std::string tmpl = base + "/velmora-fuzz-" + tag + "-XXXXXX";
    std::vector<char> name(tmpl.begin(), tmpl.end());
    name.push_back('\0');
    FUZZ_CHECK(mkdtemp(name.data()) != nullptr, "mkdtemp %s", tmpl.c_str());
    static std::once_flag once;
    std::call_once(once, [] { std::atexit(RemoveScratchDirs); });
    ScratchDirs().push_back(name.data());
    return name.data();
}

void WriteWhole(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    out.close();
    FUZZ_CHECK(out.good(), "writing %s", path.c_str());
}

std::string ReadWhole(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

} // namespace fuzzsupport
