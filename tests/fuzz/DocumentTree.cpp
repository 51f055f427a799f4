#include "DocumentTree.h"

#include "FuzzCheck.h"

#include <filesystem>
#include <sys/stat.h>
#include <unistd.h>

namespace fuzzsupport {

DocumentTree const& Tree() {
    static DocumentTree const tree = [] {
        std::string const base = std::filesystem::canonical(MakeScratchDir("docs")).string();
        DocumentTree t{base + "/Plc"};
        std::filesystem::create_directories(t.root + "/sub");
        std::filesystem::create_directories(t.root + "/dir");
        std::filesystem::create_directories(t.root + "/Velmora");
        WriteWhole(t.root + "/index.html", "<h1>index</h1>");
        WriteWhole(t.root + "/app.js", "let a = 1;");
        WriteWhole(t.root + "/sub/index.html", "<p>sub</p>");
        WriteWhole(t.root + "/sub/page.htm", "<p>page</p>");
        WriteWhole(t.root + "/Velmora/index.html", "<p>prefix folder</p>");
        WriteWhole(t.root + "/VelmoraX.html", "<p>inside, prefix-like name</p>");
        WriteWhole(t.root + "/big.bin", std::string(40000, 'b')); // above the small-file limit
        WriteWhole(t.root + "/empty.txt", "");
        FUZZ_CHECK(mkfifo((t.root + "/fifo").c_str(), 0600) == 0, "mkfifo");

        std::filesystem::create_directories(t.root + "Secret");
        for (auto const* name : {"X.html", ".html", "Secret/index.html", "Secret/a.txt"})
            WriteWhole(t.root + name, kOutsideMarker);
        WriteWhole(base + "/outside.html", kOutsideMarker);
        WriteWhole(base + "/index.html", kOutsideMarker);
        return t;
    }();
    return tree;
}

bool OpenedInsideRoot(int fd) {
    char link[64];
    std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    char target[4096];
    ssize_t n = readlink(link, target, sizeof target - 1);
    if (n <= 0)
        return false;
    std::string const path(target, static_cast<size_t>(n));
    std::string const prefix = Tree().root + "/";
    return path.compare(0, prefix.size(), prefix) == 0;
}

} // namespace fuzzsupport
