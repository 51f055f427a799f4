// The runtime link, the command channel and the registry reads, against a double of the link.
#include "CommandChannel.h"
#include "FakeZel.h"
#include "HttpService.h"
#include "HttpListener.h"
#include "ProcessObjects.h"
#include "ZelCommunicationReg.h"

#include <gtest/gtest.h>

#include <boost/asio/io_context.hpp>
#include <cstring>

namespace http = boost::beast::http;
using Calls = std::vector<std::string>;

class GatewayTest : public ::testing::Test {
protected:
    void SetUp() override {
        g_fakeZel = FakeZel();
        Addr = ZelAddr{};
        communicator.nPort = 0;
    }
};

TEST_F(GatewayTest, OpenZelConnectionKeepsAnEnabledPortAndReopensOtherwise) {
    struct Case {
        int32_t enabled;
        int64_t portBefore;
        Calls calls;
        int64_t portAfter;
    } cases[] = {
        {0, 0, {"ZelKroPortEnabled", "ZelPortOpen"}, 7},
        {1, 0, {"ZelKroPortEnabled"}, 0},
        {1, 5, {"ZelKroPortEnabled"}, 5},
        {0, 5, {"ZelKroPortEnabled", "ZelPortClose", "ZelPortOpen"}, 7},
    };
    for (auto& c : cases) {
        g_fakeZel = FakeZel();
        g_fakeZel.portEnabled = c.enabled;
        ZelCommunicatior link;
        link.nPort = c.portBefore;
        link.OpenZelConnection();
        EXPECT_EQ(g_fakeZel.calls, c.calls) << c.enabled << " " << c.portBefore;
        EXPECT_EQ(link.nPort, c.portAfter);
    }
    g_fakeZel = FakeZel();
    ZelCommunicatior link;
    link.CloseZelConnection();
    EXPECT_EQ(g_fakeZel.calls, Calls{"ZelPortClose"});
    EXPECT_EQ(link.nPort, 0);
}

TEST_F(GatewayTest, RefreshTargetAddressPointsAtTheLocalRuntime) {
    g_fakeZel.portEnabled = 1;
    communicator.RefreshTargetAddress();
    communicator.RefreshTargetAddress();
    EXPECT_EQ(std::memcmp(Addr.netId.b, g_fakeZel.localNetId.b, 6), 0);
    EXPECT_EQ(Addr.port, 851);

    // No enabled port: nothing changes, not even the all-zero record.
    Addr = ZelAddr{};
    g_fakeZel.portEnabled = 0;
    g_fakeZel.calls.clear();
    communicator.RefreshTargetAddress();
    EXPECT_EQ(g_fakeZel.calls, Calls{"ZelKroPortEnabled"});
    EXPECT_EQ(Addr.port, 0);
    EXPECT_EQ(Addr.netId.b[0], 0);

    // A failed address read leaves what the library wrote, and no port.
    g_fakeZel.portEnabled = 1;
    g_fakeZel.localStatus = 1;
    communicator.RefreshTargetAddress();
    EXPECT_EQ(Addr.netId.b[0], 9);
    EXPECT_EQ(Addr.port, 0);
}

TEST_F(GatewayTest, ZelReadWriteReturnsTheLinkStatusUnchanged) {
    g_fakeZel.rwStatus = 1861;
    char buf[8];
    char data[] = "xy";
    uint32_t n = 12345;
    EXPECT_EQ(communicator.ZelReadWrite(42, 43, 8, buf, 2, data, &n), 1861);
    EXPECT_EQ(n, 12345u);
    ASSERT_EQ(g_fakeZel.readWrites.size(), 1u);
    auto& rw = g_fakeZel.readWrites[0];
    EXPECT_EQ(rw.group, 42u);
    EXPECT_EQ(rw.offset, 43u);
    EXPECT_EQ(rw.readLength, 8u);
    EXPECT_EQ(rw.data, "xy");
    EXPECT_EQ(rw.addr.port, 0); // before any refresh: the all-zero target
}

TEST(CommandDecoder, LetterAndByteForms) {
    struct Case {
        std::string body;
        uint32_t number;
    } cases[] = {
        {"AB", 1},
        {std::string("\x01\x00\x00\x00", 4), 1},
        {"AD", 3},
        {"\x03", 3},
        {"ACxxpayload", 2},
        {"AC", 2},
        {"", 0},
        {"A", 0x7FFFFFBF}, // (0 - 65) with bit 31 cleared
        {"\xff", 0x7FFFFFFF},
        {"B2", 1},
        {"PP", 255},
    };
    for (auto& c : cases) {
        std::string copy = c.body + std::string(1, '\0');
        EXPECT_EQ(DecodeCommand(copy.c_str()), c.number) << c.body;
    }
}

class CommandTest : public GatewayTest {
protected:
    void SetUp() override {
        GatewayTest::SetUp();
        commandBuffer = new char[COMMAND_BUFFER_SIZE];
    }
    void TearDown() override {
        delete[] commandBuffer;
        commandBuffer = nullptr;
    }
    static std::string Run(const std::string& body) {
        http::request<http::string_body> req{http::verb::post, "/Velmora", 11};
        req.body() = body;
        auto reply = HandleCommand(req);
        EXPECT_EQ(reply.response.result_int(), 200);
        EXPECT_EQ(reply.response.version(), 11u);
        EXPECT_FALSE(reply.response.body().more);
        EXPECT_EQ(reply.response.count(http::field::content_length), 0u);
        if (!reply.response.body().data)
            return "";
        EXPECT_EQ(static_cast<void*>(reply.pBytes.get()), reply.response.body().data);
        return std::string(static_cast<char*>(reply.response.body().data),
                           reply.response.body().size);
    }
};

const Calls kSessionOpenCalls = {"ZelKroPortEnabled", "ZelKroPortEnabled", "ZelGetLocalAddress"};

TEST_F(CommandTest, RepliesAndLinkTraffic) {
    std::string payload("p\0q", 3);
    struct Case {
        std::string body;
        std::string reply;
        Calls calls;
    } cases[] = {
        // Session-open: the port is checked (and found open), then the target refreshed.
        {"AB", "|50000|0|1|false|", kSessionOpenCalls},
        {std::string("\x01\x00\x00\x00", 4), "|50000|0|1|false|", kSessionOpenCalls},
        {"B2", "|50000|0|1|false|", kSessionOpenCalls},
        {"AD", "IPv4:::1|", {}},
        {"\x03", "IPv4:::1|", {}},
        {"ACxx" + payload, payload, {"ZelSyncReadWriteReqEx"}},
        {"ACxx", "", {"ZelSyncReadWriteReqEx"}},
        {"AC", "", {}}, // no whole command word: no link call
        {"", "", {}},
        {"A", "", {}},
        {"\xff", "", {}},
    };
    for (auto& c : cases) {
        g_fakeZel.calls.clear();
        g_fakeZel.portEnabled = 1;
        EXPECT_EQ(Run(c.body), c.reply) << c.body;
        EXPECT_EQ(g_fakeZel.calls, c.calls) << c.body;
    }
    ASSERT_EQ(g_fakeZel.readWrites.size(), 2u);
    auto& rw = g_fakeZel.readWrites[0];
    EXPECT_EQ(rw.group, 42u);
    EXPECT_EQ(rw.offset, 42u);
    EXPECT_EQ(rw.readLength, 50000u);
    EXPECT_EQ(rw.writeLength, 3u);
    EXPECT_EQ(rw.data, payload);
    EXPECT_EQ(g_fakeZel.readWrites[1].writeLength, 0u);
}

// A port that could not be opened at start (no link then) is opened by the next session-open,
// which then points the target at the runtime.
TEST_F(CommandTest, SessionOpenOpensAMissingPort) {
    g_fakeZel.portEnabled = 0;
    EXPECT_EQ(Run("AB"), "|50000|0|1|false|");
    EXPECT_EQ(g_fakeZel.calls, (Calls{"ZelKroPortEnabled", "ZelPortOpen", "ZelKroPortEnabled",
                                      "ZelGetLocalAddress"}));
    EXPECT_EQ(communicator.nPort, 7);
    EXPECT_EQ(Addr.port, 851);
}

TEST_F(CommandTest, ExchangeFailuresAndOversizedCounts) {
    g_fakeZel.rwStatus = -5;
    EXPECT_EQ(Run("ACxxdata"), "");
    g_fakeZel.rwStatus = 0;
    g_fakeZel.answer = "";
    EXPECT_EQ(Run("ACxxdata"), "");
    // A count beyond the exchange buffer is never copied past it.
    g_fakeZel.answer = std::string(50000, 'z');
    g_fakeZel.reportedCount = 60000;
    EXPECT_EQ(Run("ACxxdata").size(), 50000u);
}

TEST_F(GatewayTest, RegistryOpenNeedsTheLocalMachineRoot) {
    COvReg<CZelRegKey> key;
    auto other = reinterpret_cast<HKEY>(static_cast<intptr_t>(int32_t(0x80000001)));
    EXPECT_EQ(key.Open(other, "Software", KEY_READ), ERROR_ACCESS_DENIED);
    EXPECT_EQ(key.pKey, nullptr);
    EXPECT_EQ(g_fakeZel.calls, Calls{});
    // The unextended value is a different handle.
    EXPECT_EQ(key.Open(reinterpret_cast<HKEY>(uintptr_t(0x80000002u)), "Software", KEY_READ),
              ERROR_ACCESS_DENIED);

    g_fakeZel.createClientStatus = -1;
    EXPECT_EQ(key.Open(HKEY_LOCAL_MACHINE, "Software", KEY_READ), ERROR_ACCESS_DENIED);
    g_fakeZel.createClientStatus = 0;
    g_fakeZel.createSyncStatus = -1;
    EXPECT_EQ(key.Open(HKEY_LOCAL_MACHINE, "Software", KEY_READ), ERROR_ACCESS_DENIED);
    EXPECT_EQ(g_fakeZel.clientsReleased, g_fakeZel.clientsMade);
    EXPECT_EQ(key.Close(), 0);
}

TEST_F(GatewayTest, RegistryQueriesAreOneReadWriteEach) {
    g_fakeZel.SetValue("Software\\Mervold\\Orvane3", "CurrentVersion", std::string("3.1\0", 4));
    COvReg<CZelRegKey> key;
    ASSERT_EQ(key.Open(HKEY_LOCAL_MACHINE, "Software\\Mervold\\Orvane3", KEY_READ), 0);
    EXPECT_EQ(g_fakeZel.syncPort, 10000);
    EXPECT_EQ(g_fakeZel.clientsReleased, 1); // the client is let go at once

    char buf[10];
    uint32_t n = sizeof(buf);
    EXPECT_EQ(key.QueryStringValue("CurrentVersion", buf, &n), 0);
    EXPECT_EQ(n, 4u); // with the NUL
    ASSERT_EQ(g_fakeZel.regRequests.size(), 1u);
    EXPECT_EQ(g_fakeZel.regRequests[0],
              std::string("Software\\Mervold\\Orvane3\0CurrentVersion\0", 40));
    EXPECT_EQ(g_fakeZel.regReadLengths[0], 10u);

    n = sizeof(buf);
    EXPECT_EQ(key.QueryStringValue("Missing", buf, &n), ERROR_NOT_FOUND);
    EXPECT_EQ(n, 0u);
    n = 0;
    EXPECT_EQ(key.QueryStringValue("CurrentVersion", buf, &n), 0);
    EXPECT_EQ(g_fakeZel.regReadLengths.back(), 0u);

    // A second open lets the first requester go.
    EXPECT_EQ(key.Open(HKEY_LOCAL_MACHINE, "Other", KEY_READ), 0);
    EXPECT_EQ(g_fakeZel.syncsReleased, 1);
    key.Close();
    EXPECT_EQ(g_fakeZel.syncsReleased, 2);
    EXPECT_EQ(key.Close(), 0);
}

TEST_F(GatewayTest, VersionKeyName) {
    g_fakeZel.SetValue("Software\\Mervold\\Orvane3", "CurrentVersion", std::string("3.1\0", 4));
    EXPECT_EQ(GetCurrentVersionKeyName(), "Software\\Mervold\\Orvane3\\3.1");
    const size_t len = std::strlen("Software\\Mervold\\Orvane3\\3.1");
    char buf[64] = "untouched";
    EXPECT_EQ(GetCurrentVersionKeyName(buf, len), ERROR_MORE_DATA);
    EXPECT_STREQ(buf, "untouched");
    EXPECT_EQ(GetCurrentVersionKeyName(buf, len + 1), 0);
    EXPECT_STREQ(buf, "Software\\Mervold\\Orvane3\\3.1");

    g_fakeZel.registry.clear();
    EXPECT_EQ(GetCurrentVersionKeyName(buf, sizeof(buf)), ERROR_NOT_FOUND);
    EXPECT_EQ(GetCurrentVersionKeyName(), "");
}

TEST_F(GatewayTest, BootAndInstallDirectories) {
    const std::string key = "Software\\Mervold\\Orvane3\\3.1";
    struct Case {
        std::optional<std::string> bootDir, installDir; // bytes as the service answers
        bool bootOk;
        std::string boot;
        bool installOk;
        std::string install;
    } cases[] = {
        {std::string("/usr/local/etc/x/Boot\0", 22), std::nullopt, true, "/usr/local/etc/x/Boot/",
         false, ""},
        {std::string("/a/Boot/\0", 9), std::string("/a/\0", 4), true, "/a/Boot/", true, "/a/"},
        {std::nullopt, std::string("/opt/x/\0", 8), true, "/opt/x/Boot/", true, "/opt/x/"},
        {std::nullopt, std::string("/opt/x\0", 7), true, "/opt/xBoot/", true, "/opt/x/"},
        {std::nullopt, std::nullopt, false, "", false, ""},
        {std::string("\0", 1), std::string("", 0), true, "", true, ""},
        // Bytes without a NUL: the text ends with the received bytes.
        {std::string("/no/nul"), std::nullopt, true, "/no/nul/", false, ""},
        {std::string("/x\0junk", 7), std::nullopt, true, "/x/", false, ""},
    };
    for (auto& c : cases) {
        g_fakeZel.registry.clear();
        g_fakeZel.SetValue("Software\\Mervold\\Orvane3", "CurrentVersion", std::string("3.1\0", 4));
        if (c.bootDir)
            g_fakeZel.SetValue(key, "BootDir", *c.bootDir);
        if (c.installDir)
            g_fakeZel.SetValue(key, "InstallDir", *c.installDir);
        std::string path = "stale";
        EXPECT_EQ(communicator.GetOvBootPath(path), c.bootOk) << c.boot;
        EXPECT_EQ(path, c.boot);
        path = "stale";
        EXPECT_EQ(communicator.GetOvInstallPath(path), c.installOk) << c.install;
        EXPECT_EQ(path, c.install);
    }
}

TEST_F(GatewayTest, WithoutAVersionTheKeyPathIsEmpty) {
    g_fakeZel.SetValue("", "InstallDir", std::string("/i/\0", 4));
    std::string path;
    EXPECT_TRUE(communicator.GetOvInstallPath(path));
    EXPECT_EQ(path, "/i/");
    EXPECT_EQ(g_fakeZel.regRequests.back(), std::string("\0InstallDir\0", 12));
}

// The document root follows the boot directory; the exchange buffer is made once.
TEST_F(GatewayTest, ListenerDocumentRootAndExchangeBuffer) {
    struct Case {
        std::optional<std::string> bootDir;
        std::string root;
    } cases[] = {
        {std::string("/opt/x/Boot/\0", 13), "/opt/x/Boot/Plc"},
        {std::nullopt, "/usr/local/etc/Orvane/3.1/Boot/Plc"},
        {std::string("\0", 1), "Plc"},
    };
    boost::asio::io_context ioc;
    std::shared_ptr<listener> handle;
    char* firstBuffer = nullptr;
    for (auto& c : cases) {
        g_fakeZel.registry.clear();
        g_fakeZel.SetValue("Software\\Mervold\\Orvane3", "CurrentVersion", std::string("3.1\0", 4));
        if (c.bootDir)
            g_fakeZel.SetValue("Software\\Mervold\\Orvane3\\3.1", "BootDir", *c.bootDir);
        CloseNetIoListener(handle);
        CreateNetIoListener(handle, ioc);
        ASSERT_TRUE(handle);
        EXPECT_EQ(handle->doc_root(), c.root);
        EXPECT_EQ(handle->port(), 42341);
        ASSERT_NE(commandBuffer, nullptr);
        if (!firstBuffer)
            firstBuffer = commandBuffer;
        EXPECT_EQ(commandBuffer, firstBuffer);
    }
    CloseNetIoListener(handle);
    delete[] commandBuffer;
    commandBuffer = nullptr;
}
