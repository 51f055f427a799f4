// Enabling and disabling the program's entry in the start manager's configuration file.
#include "Process.h"
#include "XmlHandler.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <fcntl.h>
#include <future>
#include <thread>
#include <csignal>
#include <filesystem>
#include <optional>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

using testsupport::ReadFile;
using testsupport::TempDir;
using testsupport::WriteFile;
namespace fs = std::filesystem;
using namespace std::chrono_literals;

// When set, the next temporary file that is made is swapped for a symbolic link to this path
// right after it was created, as someone who can write the folder could do.
std::string g_swapTempFor;

extern "C" int mkstemp(char* name) {
    int fd = mkostemp(name, 0);
    if (fd >= 0 && !g_swapTempFor.empty()) {
        unlink(name);
        if (symlink(g_swapTempFor.c_str(), name) != 0)
            ADD_FAILURE() << "symlink";
    }
    return fd;
}

namespace {

const std::string kExe = "/opt/ov/Components/Plc/VelmoraService/VelmoraService";

// The entry that enabling appends, at the indentation of a child of OrvaneServers.
const std::string kNewEntry = "\t\t<OrvaneServer Enabled=\"1\">\n"
                              "\t\t\t<Name>ZX4472-Velmora</Name>\n"
                              "\t\t\t<Path>" +
                              kExe +
                              "</Path>\n"
                              "\t\t</OrvaneServer>\n";

std::string Entry(const std::string& enabled, const std::string& element = "OrvaneServer") {
    return "<" + element + " Enabled=\"" + enabled +
           "\"><Name>ZX4472-Velmora</Name><Path>/p</Path></" + element + ">";
}

std::string SavedEntry(const std::string& enabled, const std::string& element = "OrvaneServer") {
    return "\t\t<" + element + " Enabled=\"" + enabled +
           "\">\n\t\t\t<Name>ZX4472-Velmora</Name>\n\t\t\t<Path>/p</Path>\n\t\t</" + element +
           ">\n";
}

std::string Servers(const std::string& inner) {
    return "<Prolver><OrvaneServers>" + inner + "</OrvaneServers></Prolver>";
}

std::string SavedServers(const std::string& inner) {
    return "<Prolver>\n\t<OrvaneServers>\n" + inner + "\t</OrvaneServers>\n</Prolver>\n";
}

// The text in UTF-16 little-endian with its byte-order mark.
std::string Utf16(const std::string& ascii) {
    std::string out = "\xFF\xFE";
    for (char c : ascii) {
        out += c;
        out += '\0';
    }
    return out;
}

struct Case {
    const char* label;
    std::optional<std::string> input; // none: no file
    bool enable;
    int result;
    std::optional<std::string> output; // none: the file is left as it was
};

const Case kCases[] = {
    {"missing file", std::nullopt, true, -1, std::nullopt},
    {"empty file", "", true, -1, std::nullopt},
    {"unparsable", "<Prolver><OrvaneServers>", true, -1, std::nullopt},
    {"binary", std::string("\0\xff<\x01>\0", 6), true, -1, std::nullopt},
    {"enable 0, declaration and comments dropped",
     "<?xml version=\"1.0\" encoding=\"utf-8\"?>\r\n<!-- servers -->\r\n<Prolver>\r\n"
     "  <OrvaneServers>\r\n    " +
         Entry("0") + "\r\n  </OrvaneServers>\r\n</Prolver>\r\n",
     true, 1, SavedServers(SavedEntry("1"))},
    {"enable 1", Servers(Entry("1")), true, 0, std::nullopt},
    {"enable true", Servers(Entry("true")), true, 1, SavedServers(SavedEntry("1"))},
    {"disable 1", Servers(Entry("1")), false, 1, SavedServers(SavedEntry("0"))},
    {"disable 0", Servers(Entry("0")), false, 0, std::nullopt},
    {"disable, no entry", Servers("<OrvaneServer Enabled=\"1\"><Name>Other</Name></OrvaneServer>"),
     false, -1, std::nullopt},
    {"enable, no entry: appended last; empty elements, tricky values and escapes kept",
     "\xEF\xBB\xBF<Prolver note=\"a /> b > c\"><OrvaneServers><Empty></Empty>"
     "<V v='say \"hi\" />' w=\"&lt;&amp;&#65;\"/><T>x /&gt; &amp; y\"</T>"
     "<C><![CDATA[ a /> <b c=\" />\"]]></C></OrvaneServers></Prolver>",
     true, 1,
     "<Prolver note=\"a /> b > c\">\n\t<OrvaneServers>\n\t\t<Empty/>\n"
     "\t\t<V v=\"say &quot;hi&quot; />\" w=\"&lt;&amp;A\"/>\n\t\t<T>x /&gt; &amp; y\"</T>\n"
     "\t\t<C><![CDATA[ a /> <b c=\" />\"]]></C>\n" +
         kNewEntry + "\t</OrvaneServers>\n</Prolver>\n"},
    {"enable, empty OrvaneServers", "<Prolver><OrvaneServers/></Prolver>", true, 1,
     SavedServers(kNewEntry)},
    {"enable, no OrvaneServers", "<Prolver><Other/></Prolver>", true, -1, std::nullopt},
    {"enable, OrvaneServers not under Prolver", "<OrvaneServers/>", true, -1, std::nullopt},
    {"entry without Enabled", Servers("<OrvaneServer><Name>ZX4472-Velmora</Name></OrvaneServer>"),
     true, -1, std::nullopt},
    {"first entry without Enabled, second updated",
     Servers("<OrvaneServer><Name>ZX4472-Velmora</Name></OrvaneServer>" + Entry("0") + Entry("0")),
     true, 1,
     SavedServers("\t\t<OrvaneServer>\n\t\t\t<Name>ZX4472-Velmora</Name>\n\t\t</OrvaneServer>\n" +
                  SavedEntry("1") + SavedEntry("0"))},
    {"name with spaces: a second entry",
     Servers("<OrvaneServer Enabled=\"0\"><Name> ZX4472-Velmora </Name></OrvaneServer>"), true, 1,
     SavedServers("\t\t<OrvaneServer Enabled=\"0\">\n\t\t\t<Name> ZX4472-Velmora </Name>\n"
                  "\t\t</OrvaneServer>\n" +
                  kNewEntry)},
    {"other case, Name not text first, no Name: appended",
     Servers("<A><Name>zx4472-velmora</Name></A><B><Name><i/>ZX4472-Velmora</Name></B><C/>"), true,
     1,
     SavedServers("\t\t<A>\n\t\t\t<Name>zx4472-velmora</Name>\n\t\t</A>\n"
                  "\t\t<B>\n\t\t\t<Name>\n\t\t\t\t<i/>ZX4472-Velmora</Name>\n\t\t</B>\n\t\t<C/>\n" +
                  kNewEntry)},
    {"entry not named OrvaneServer", Servers(Entry("0", "Server")), true, 1,
     SavedServers(SavedEntry("1", "Server"))},
    {"name by reference", Servers("<S Enabled=\"1\"><Name>ZX4472&#x2D;Velmora</Name></S>"), false,
     1, SavedServers("\t\t<S Enabled=\"0\">\n\t\t\t<Name>ZX4472-Velmora</Name>\n\t\t</S>\n")},
    {"UTF-16 input saved as UTF-8", Utf16("<Prolver><OrvaneServers/></Prolver>"), true, 1,
     SavedServers(kNewEntry)},
    {"name split by a processing instruction and a comment: one text, as saved",
     Servers("<OrvaneServer Enabled=\"0\"><Name>ZX44<?pi x?>72<!-- c -->-Velmora</Name>"
             "<Path>/p</Path></OrvaneServer>"),
     true, 1, SavedServers(SavedEntry("1"))},
};

struct Outcome {
    int result;
    bool rewritten;
    std::vector<std::string> files;
};

std::vector<std::string> Files(const std::string& dir) {
    std::vector<std::string> names;
    for (auto& e : fs::directory_iterator(dir))
        names.push_back(e.path().filename().string());
    return names;
}

ino_t Inode(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 ? st.st_ino : 0;
}

TEST(XmlHandler, FixtureTable) {
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.label);
        TempDir dir;
        const std::string path = dir.File("ProlverConfig.xml");
        if (c.input) {
            WriteFile(path, *c.input);
            ASSERT_EQ(chmod(path.c_str(), 0640), 0);
        }
        const ino_t before = Inode(path);

        EXPECT_EQ(SetProlverConfigFile(path, kExe, c.enable), c.result);

        if (!c.input) {
            EXPECT_TRUE(Files(dir.path()).empty());
            continue;
        }
        EXPECT_EQ(Files(dir.path()), std::vector<std::string>{"ProlverConfig.xml"});
        EXPECT_EQ(ReadFile(path), c.output ? *c.output : *c.input);
        EXPECT_EQ(Inode(path) != before, c.output.has_value()) << "rewritten";
        struct stat st {};
        ASSERT_EQ(stat(path.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, 0640u);
    }
}

TEST(XmlHandler, SavedFileIsLoadedBackUnchanged) {
    TempDir dir;
    const std::string path = dir.File("ProlverConfig.xml");
    WriteFile(path, "<Prolver><OrvaneServers/></Prolver>");
    ASSERT_EQ(SetProlverConfigFile(path, kExe, true), 1);
    const std::string once = ReadFile(path);
    EXPECT_EQ(SetProlverConfigFile(path, kExe, false), 1);
    EXPECT_EQ(SetProlverConfigFile(path, kExe, true), 1);
    EXPECT_EQ(ReadFile(path), once);
    EXPECT_EQ(SetProlverConfigFile(path, kExe, true), 0);
}

TEST(XmlHandler, PathsAreNormalisedBeforeOpening) {
    struct {
        const char* in;
        const char* out;
    } cases[] = {{"a\\\\b//c", "a/b/c"},     {"a/\\b", "a//b"},
                 {"a\\/b", "a//b"},          {"\\\\srv\\share", "/srv/share"},
                 {"///x///", "/x/"},         {"", ""},
                 {"plain.xml", "plain.xml"}, {"\xC3\xA9\\\xC3\xA9", "\xC3\xA9/\xC3\xA9"}};
    for (auto& c : cases)
        EXPECT_EQ(MvdNormalisedPath(c.in), c.out) << c.in;

    TempDir dir;
    fs::create_directory(dir.File("sub"));
    std::string windowsPath = dir.path() + "\\sub\\\\f.xml";
    FILE* f = mvd_pugixml_fopen(windowsPath.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    std::fclose(f);
    EXPECT_TRUE(fs::exists(dir.File("sub/f.xml")));
    EXPECT_EQ(mvd_pugixml_fopen((dir.path() + "\\missing\\f.xml").c_str(), "rb"), nullptr);

    // The configuration file is found through the same normalisation, and stays where it is.
    WriteFile(dir.File("sub/f.xml"), "<Prolver><OrvaneServers/></Prolver>");
    EXPECT_EQ(SetProlverConfigFile(windowsPath, kExe, true), 1);
    EXPECT_EQ(ReadFile(dir.File("sub/f.xml")), SavedServers(kNewEntry));
    EXPECT_EQ(Files(dir.File("sub")), std::vector<std::string>{"f.xml"});
}

// A save that fails leaves the original byte for byte, and no temporary file behind.
TEST(XmlHandler, FailedSaveLeavesTheOriginal) {
    const std::string input = Servers(Entry("0"));
    {
        // No room for a temporary file's name beside it.
        TempDir dir;
        const std::string path = dir.File(std::string(250, 'p'));
        WriteFile(path, input);
        EXPECT_EQ(SetProlverConfigFile(path, kExe, true), 0);
        EXPECT_EQ(ReadFile(path), input);
        EXPECT_EQ(Files(dir.path()).size(), 1u);
    }
    {
        // Nesting so deep that the indented form would be huge.
        TempDir dir;
        const std::string path = dir.File("ProlverConfig.xml");
        std::string deep;
        for (int i = 0; i < 3000; ++i)
            deep += "<a>";
        for (int i = 0; i < 3000; ++i)
            deep += "</a>";
        const std::string input = Servers(Entry("0") + deep);
        WriteFile(path, input);
        EXPECT_EQ(SetProlverConfigFile(path, kExe, true), 0);
        EXPECT_EQ(ReadFile(path), input);
        EXPECT_EQ(Files(dir.path()).size(), 1u);
    }
    {
        // Writes beyond a few bytes fail (file size limit), in a child process.
        TempDir dir;
        const std::string path = dir.File("ProlverConfig.xml");
        WriteFile(path, input);
        pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            signal(SIGXFSZ, SIG_IGN);
            struct rlimit limit = {16, 16};
            setrlimit(RLIMIT_FSIZE, &limit);
            _exit(SetProlverConfigFile(path, kExe, true) + 10);
        }
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        ASSERT_TRUE(WIFEXITED(status));
        EXPECT_EQ(WEXITSTATUS(status), 10);
        EXPECT_EQ(ReadFile(path), input);
        EXPECT_EQ(Files(dir.path()), std::vector<std::string>{"ProlverConfig.xml"});
    }
}

// The temporary file is written through the descriptor that made it: a name swapped for a link
// meanwhile leads the write nowhere else, and what stands at the name then is never renamed
// over the configuration.
TEST(XmlHandler, TemporaryFileSwappedForALinkIsNotFollowed) {
    TempDir dir;
    const std::string victim = dir.File("victim");
    const std::string path = dir.File("ProlverConfig.xml");
    WriteFile(victim, "precious");
    chmod(victim.c_str(), 0600);
    const std::string input = Servers(Entry("0"));
    WriteFile(path, input);
    chmod(path.c_str(), 0644);
    g_swapTempFor = victim;
    EXPECT_EQ(SetProlverConfigFile(path, kExe, true), 0);
    g_swapTempFor.clear();
    EXPECT_EQ(ReadFile(victim), "precious");
    EXPECT_EQ(fs::status(victim).permissions(), fs::perms(0600));
    EXPECT_FALSE(fs::is_symlink(path));
    EXPECT_EQ(ReadFile(path), input);
    auto files = Files(dir.path());
    std::sort(files.begin(), files.end());
    EXPECT_EQ(files, (std::vector<std::string>{"ProlverConfig.xml", "victim"}));
}

// A configuration path that is no regular file (here a FIFO, which would wait for a writer)
// is refused at once.
TEST(XmlHandler, ConfigurationThatIsNoRegularFileNeverBlocks) {
    TempDir dir;
    const std::string path = dir.File("ProlverConfig.xml");
    ASSERT_EQ(mkfifo(path.c_str(), 0600), 0);
    for (bool enable : {true, false}) {
        std::promise<int> result;
        auto done = result.get_future();
        std::thread t([&] { result.set_value(SetProlverConfigFile(path, kExe, enable)); });
        bool const inTime = done.wait_for(5s) == std::future_status::ready;
        if (!inTime) // let a blocked open go on, so the thread ends
            close(open(path.c_str(), O_WRONLY | O_NONBLOCK));
        t.join();
        EXPECT_TRUE(inTime);
        EXPECT_EQ(done.get(), -1);
    }
    EXPECT_EQ(mvd_pugixml_fopen(dir.path().c_str(), "rb"), nullptr); // a folder neither
}

// A symbolic link keeps pointing at the file, which is replaced.
TEST(XmlHandler, SymbolicLinkIsFollowed) {
    TempDir dir;
    WriteFile(dir.File("real.xml"), Servers(Entry("0")));
    fs::create_symlink("real.xml", dir.File("ProlverConfig.xml"));
    EXPECT_EQ(SetProlverConfigFile(dir.File("ProlverConfig.xml"), kExe, true), 1);
    EXPECT_TRUE(fs::is_symlink(dir.File("ProlverConfig.xml")));
    EXPECT_EQ(ReadFile(dir.File("real.xml")), SavedServers(SavedEntry("1")));
}

// Without a registry the install directory is unknown: nothing to do, nothing touched (not even
// a file under the working directory).
TEST(XmlHandler, InstallDirectoryUnreadable) {
    setenv("ZEL_ROUTER_SOCKET", "/nonexistent/zel.sock", 1);
    setenv("ZEL_TIMEOUT_MS", "500", 1);
    TempDir dir;
    fs::create_directory(dir.File("Target"));
    const std::string input = Servers(Entry("0"));
    WriteFile(dir.File("Target/ProlverConfig.xml"), input);
    const fs::path cwd = fs::current_path();
    fs::current_path(dir.path());
    EXPECT_EQ(SetProlverConfig(true), 0);
    EXPECT_EQ(SetProlverConfig(false), 0);
    fs::current_path(cwd);
    EXPECT_EQ(ReadFile(dir.File("Target/ProlverConfig.xml")), input);
    EXPECT_EQ(Files(dir.File("Target")), std::vector<std::string>{"ProlverConfig.xml"});
}

} // namespace
