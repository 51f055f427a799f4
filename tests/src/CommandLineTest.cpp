// The program's command line, run against the built program.
#include "Process.h"

#include <gtest/gtest.h>

#include <csignal>
#include <thread>

using namespace std::chrono_literals;
using testsupport::Built;
using testsupport::Process;

namespace {

TEST(CommandLine, InvalidArgumentsExit255Silently) {
    for (const char* arg : {"-E", "-T", "-x", "-", "-umRuntime=", "-umRuntim", "-D"}) {
        Process p({Built("VelmoraServer"), arg});
        EXPECT_EQ(p.WaitExit(10s), 255) << arg;
        EXPECT_EQ(p.Stdout(), "") << arg;
        EXPECT_EQ(p.Stderr(), "") << arg;
    }
}

TEST(CommandLine, StandAloneRunsUntilSignal) {
    struct Case {
        const char* arg;
        int sig;
    } cases[] = {{"-t", SIGTERM}, {"-txyz", SIGINT}, {"-t", SIGINT}};
    for (auto& c : cases) {
        Process p({Built("VelmoraServer"), c.arg});
        std::this_thread::sleep_for(300ms);
        EXPECT_TRUE(p.Running()) << c.arg;
        p.Signal(c.sig);
        EXPECT_EQ(p.WaitExit(10s), 0) << c.arg;
    }
}

// -e and -d act on the start manager's file; without a registry its directory is unknown: 0.
TEST(CommandLine, RegistrationIsChosenByTheSecondCharacterAlone) {
    for (const char* arg : {"-e", "-d", "-dumRuntime=X", "-exyz"}) {
        Process p({Built("VelmoraServer"), arg},
                  {{"ZEL_ROUTER_SOCKET", "/nonexistent/zel.sock"}, {"ZEL_TIMEOUT_MS", "500"}});
        EXPECT_EQ(p.WaitExit(10s), 0) << arg;
    }
}

} // namespace
