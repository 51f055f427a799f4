// -e and -d of the installed program, with the install directory read from a simulated registry.
#include "Process.h"
#include "Text.h"

#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>

using namespace std::chrono_literals;
using testsupport::Built;
using testsupport::Process;
using testsupport::ReadFile;
using testsupport::TempDir;
using testsupport::WriteFile;

namespace {

int Install(const std::string& prefix, const std::string& component) {
    Process p({VELMORA_CMAKE, "--install", VELMORA_BUILD_DIR, "--prefix", prefix, "--component",
               component});
    return p.WaitExit(60s);
}

TEST(Registration, EnableThenDisableTheInstalledProgram) {
    TempDir tree;
    const std::string root = tree.path() + "/";
    ASSERT_EQ(Install(tree.path(), "program"), 0);
    ASSERT_EQ(Install(tree.path(), "standins"), 0);
    const std::string exe = root + "Components/Plc/VelmoraService/VelmoraService";
    ASSERT_TRUE(std::filesystem::exists(exe));

    std::filesystem::create_directory(root + "Target");
    const std::string config = root + "Target/ProlverConfig.xml";
    WriteFile(config, "<?xml version=\"1.0\"?>\n<Prolver>\n<OrvaneServers>\n"
                      "<OrvaneServer Enabled=\"1\"><Name>Plc</Name><Path>/bin/plc</Path>"
                      "<Args></Args></OrvaneServer>\n</OrvaneServers>\n</Prolver>\n");

    TempDir routerDir;
    const std::string socket = routerDir.File("router.sock");
    WriteFile(routerDir.File("registry.ini"), testsupport::RegistryIni("InstallDir=" + root));
    Process router(
        {Built("zel-router"), "--socket", socket, "--registry", routerDir.File("registry.ini")});
    ASSERT_TRUE(testsupport::WaitForUnixSocket(socket, 10s));

    auto run = [&](const char* arg) {
        Process p({exe, arg}, {{"ZEL_ROUTER_SOCKET", socket}, {"ZEL_TIMEOUT_MS", "5000"}});
        return p.WaitExit(30s);
    };
    auto expected = [&](const char* enabled) {
        return std::string("<Prolver>\n\t<OrvaneServers>\n"
                           "\t\t<OrvaneServer Enabled=\"1\">\n"
                           "\t\t\t<Name>Plc</Name>\n\t\t\t<Path>/bin/plc</Path>\n\t\t\t<Args/>\n"
                           "\t\t</OrvaneServer>\n"
                           "\t\t<OrvaneServer Enabled=\"") +
               enabled +
               "\">\n"
               "\t\t\t<Name>ZX4472-Velmora</Name>\n\t\t\t<Path>" +
               exe +
               "</Path>\n"
               "\t\t</OrvaneServer>\n\t</OrvaneServers>\n</Prolver>\n";
    };

    EXPECT_EQ(run("-e"), 1);
    EXPECT_EQ(ReadFile(config), expected("1"));
    EXPECT_EQ(run("-e"), 0);
    EXPECT_EQ(ReadFile(config), expected("1"));
    EXPECT_EQ(run("-d"), 1);
    EXPECT_EQ(ReadFile(config), expected("0"));

    router.Signal(SIGTERM);
    EXPECT_EQ(router.WaitExit(10s), 0);
}

} // namespace
