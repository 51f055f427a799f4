// ov-service driving a small queue program, queue-probe.
#include "Process.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

using namespace std::chrono_literals;
using testsupport::Built;
using testsupport::Process;

namespace {

Process Service(std::vector<std::string> probeArgs, std::vector<std::string> options = {}) {
    std::vector<std::string> argv = {Built("ov-service")};
    argv.insert(argv.end(), options.begin(), options.end());
    argv.push_back("--");
    argv.push_back(Built("queue-probe"));
    argv.insert(argv.end(), probeArgs.begin(), probeArgs.end());
    return Process(argv, {}, true);
}

// Commands typed before the program has registered wait for it.
TEST(OvService, PrintsEveryEventOfASession) {
    struct Case {
        std::vector<std::string> probeArgs;
        std::string head;
    } cases[] = {
        {{}, "queue flag=0\ninit name=queue-probe\n"},
        {{"A=B \n"}, "queue flag=1\nparam Address=A=B \\x0a\ninit name=queue-probe\n"},
    };
    for (auto& c : cases) {
        Process p = Service(c.probeArgs, {"--reply-timeout-ms", "300"});
        p.Write("init\n  start \nshutdown\nstop\n-42\n7\nsleep 20\nquit\n");
        p.CloseStdin();
        EXPECT_EQ(p.WaitExit(20s), 0);
        EXPECT_EQ(p.Stdout(), c.head +
                                  "sent 1\nreply 1 10\nsent 2\nreply 2 20\nsent 3\nreply 3 30\n"
                                  "sent 4\nreply 4 40\nsent -42\nreply -42 -420\nsent 7\n"
                                  "no-reply 7\nsent 5\nreply 5 0\nexit 0\n");
        EXPECT_EQ(p.Stderr(), "");
    }
}

TEST(OvService, ReportsHowTheProgramFinished) {
    struct Case {
        const char* input;
        std::string tail;
    } cases[] = {
        {"9\n", "sent 9\nno-reply 9\nexit 3\n"},
        {"sigterm\n", "signal TERM\nkilled TERM\n"},
        {"sigint\n", "signal INT\nkilled INT\n"},
    };
    for (auto& c : cases) {
        Process p = Service({});
        ASSERT_TRUE(p.WaitForOutput("init name=queue-probe\n", 10s));
        p.Write(c.input);
        EXPECT_EQ(p.WaitExit(20s), 0) << c.input;
        EXPECT_EQ(p.Stdout(), "queue flag=0\ninit name=queue-probe\n" + c.tail) << c.input;
    }
}

TEST(OvService, KillsAProgramThatOutlivesItsInputByTenSeconds) {
    Process p = Service({});
    ASSERT_TRUE(p.WaitForOutput("init name=queue-probe\n", 10s));
    p.CloseStdin();
    EXPECT_EQ(p.WaitExit(30s), 1);
    EXPECT_EQ(p.Stdout(), "queue flag=0\ninit name=queue-probe\n"
                          "timeout: program still running, killing it\nkilled KILL\n");
}

TEST(OvService, UnknownCommandsAreReportedAndSkipped) {
    Process p = Service({});
    p.Write("bogus\nsleep x\n99999999999\nquit\n");
    p.CloseStdin();
    EXPECT_EQ(p.WaitExit(20s), 0);
    EXPECT_EQ(p.Stdout(), "queue flag=0\ninit name=queue-probe\nsent 5\nreply 5 0\nexit 0\n");
    EXPECT_EQ(p.Stderr(), "ov-service: unknown command: bogus\n"
                          "ov-service: unknown command: sleep x\n"
                          "ov-service: unknown command: 99999999999\n");
}

TEST(OvService, ListensAtTheGivenSocketAndRemovesIt) {
    testsupport::TempDir dir;
    std::string path = dir.File("queue.sock");
    Process p = Service({}, {"--socket", path});
    ASSERT_TRUE(p.WaitForOutput("init name=queue-probe\n", 10s));
    struct stat st;
    EXPECT_EQ(stat(path.c_str(), &st), 0);
    p.Write("quit\n");
    EXPECT_EQ(p.WaitExit(20s), 0);
    EXPECT_NE(stat(path.c_str(), &st), 0);
}

TEST(OvService, BadCommandLinesAndProgramsThatCannotStart) {
    struct Case {
        std::vector<std::string> argv;
        int status;
        std::string out;
    } cases[] = {
        {{Built("ov-service")}, 2, ""},
        {{Built("ov-service"), "--"}, 2, ""},
        {{Built("ov-service"), "--reply-timeout-ms", "x", "--", "true"}, 2, ""},
        {{Built("ov-service"), "--bogus", "--", "true"}, 2, ""},
        {{Built("ov-service"), "--", "/nonexistent/program"}, 0, "exit 127\n"},
    };
    for (auto& c : cases) {
        Process p(c.argv);
        EXPECT_EQ(p.WaitExit(20s), c.status) << c.argv.size();
        EXPECT_EQ(p.Stdout(), c.out);
    }
}

} // namespace
