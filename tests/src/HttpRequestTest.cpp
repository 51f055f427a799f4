// Routing and static responses, with a send callable that captures the one response.
#include "FakeZel.h"
#include "HttpRequest.h"
#include "Process.h"

#include <gtest/gtest.h>

#include <boost/beast/http/buffer_body.hpp>
#include <boost/beast/http/write.hpp>
#include <filesystem>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

namespace http = boost::beast::http;
using testsupport::TempDir;
using testsupport::WriteFile;

namespace {

struct Captured {
    int calls = 0;
    std::string head;
    std::string body;
};

std::string BodyText(http::response<http::string_body>& m) {
    return m.body();
}
std::string BodyText(http::response<http::empty_body>&) {
    return "";
}
std::string BodyText(http::response<http::buffer_body>& m) {
    return m.body().data ? std::string(static_cast<char*>(m.body().data), m.body().size) : "";
}
std::string BodyText(http::response<static_file_body>& m) {
    std::string out(m.body().size(), '\0');
    EXPECT_EQ(pread(m.body().native_handle(), out.data(), out.size(), 0), ssize_t(out.size()));
    return out;
}

struct CaptureSend {
    Captured& c;
    template <class Body, class Fields>
    void operator()(http::response<Body, Fields>&& msg, std::unique_ptr<char[]> bytes = nullptr) {
        ++c.calls;
        std::ostringstream os;
        os << msg.base();
        c.head = os.str();
        c.body = BodyText(msg);
        if constexpr (std::is_same_v<Body, http::buffer_body>) {
            if (msg.body().data) { // the bytes come with the response
                EXPECT_EQ(static_cast<void*>(bytes.get()), msg.body().data);
            }
        }
    }
};

} // namespace

class HttpRequestTest : public ::testing::Test {
protected:
    void SetUp() override {
        WriteFile(root_.File("index.html"), "<h1>root</h1>");
        WriteFile(root_.File("app.js"), "var a=1;");
        WriteFile(root_.File("VelmoraX.html"), "xx");
        // Beside the root, where "<root>" followed by the rest of a "/Velmora..." target would
        // lead: never served.
        std::filesystem::create_directory(root_.path() + "Secret");
        WriteFile(root_.path() + "Secret/pw.txt", "secret");
        WriteFile(root_.path() + ".bak", "secret");
        WriteFile(root_.path() + "X.html", "secret");
        WriteFile(root_.File("q.txt?v=1"), "query");
        std::filesystem::create_directory(root_.File("sub"));
        mkfifo(root_.File("pipe").c_str(), 0600);
    }

    void TearDown() override {
        for (const char* name : {"Secret", ".bak", "X.html"})
            std::filesystem::remove_all(root_.path() + name);
    }

    using Fields = std::vector<std::pair<std::string, std::string>>;

    Captured Send(http::verb verb, std::string target, unsigned version = 11, bool keepAlive = true,
                  std::string body = "", const Fields& fields = {}) {
        http::request<http::string_body> req{verb, target, version};
        for (auto& [name, value] : fields)
            req.insert(name, value);
        req.keep_alive(keepAlive);
        req.body() = body;
        Captured c;
        CaptureSend send{c};
        handle_request(root_.path(), std::move(req), send);
        EXPECT_EQ(c.calls, 1);
        return c;
    }

    static std::string ErrorHead(const char* status, size_t length, const char* connection = "") {
        return std::string("HTTP/1.1 ") + status +
               "\r\nServer: Boost.Beast/356\r\nContent-Type: text/html\r\n" + connection +
               "Content-Length: " + std::to_string(length) + "\r\n\r\n";
    }

    TempDir root_;
};

TEST_F(HttpRequestTest, RefusalsAndFailures) {
    struct Case {
        http::verb verb;
        const char* target;
        const char* status;
        std::string body;
    } cases[] = {
        {http::verb::delete_, "/index.html", "400 Bad Request", "Unknown HTTP-method"},
        {http::verb::put, "/index.html", "400 Bad Request", "Unknown HTTP-method"},
        {http::verb::get, "/a/../b", "400 Bad Request", "Illegal request-target"},
        {http::verb::get, "/name..txt", "400 Bad Request", "Illegal request-target"},
        {http::verb::get, "http://host/index.html", "400 Bad Request", "Illegal request-target"},
        {http::verb::get, "/missing.js", "404 Not Found",
         "The resource '/missing.js' was not found."},
        {http::verb::head, "/missing.js", "404 Not Found",
         "The resource '/missing.js' was not found."},
        {http::verb::head, "/a/../b", "400 Bad Request", "Illegal request-target"},
        {http::verb::head, "/sub", "500 Internal Server Error",
         "An error occurred: 'Is a directory'"},
        // A "/Velmora" prefix followed by anything but '/' names a path inside the root.
        {http::verb::get, "/VelmoraSecret/pw.txt", "404 Not Found",
         "The resource '/VelmoraSecret/pw.txt' was not found."},
        {http::verb::get, "/Velmora.bak", "404 Not Found",
         "The resource '/Velmora.bak' was not found."},
        {http::verb::get, "/Velmora/missing.js", "404 Not Found",
         "The resource '/missing.js' was not found."},
        {http::verb::get, "/index.html?v=2", "404 Not Found",
         "The resource '/index.html?v=2' was not found."},
        {http::verb::get, "/sub/", "404 Not Found", "The resource '/sub/' was not found."},
        {http::verb::post, "/velmora", "404 Not Found", "The resource '/velmora' was not found."},
        {http::verb::get, "/app.js/x", "500 Internal Server Error",
         "An error occurred: 'Not a directory'"},
        // Only regular files are served; a FIFO is refused without waiting for a writer.
        {http::verb::get, "/sub", "500 Internal Server Error",
         "An error occurred: 'Is a directory'"},
        {http::verb::get, "/Velmora", "500 Internal Server Error",
         "An error occurred: 'Is a directory'"},
        {http::verb::get, "/pipe", "500 Internal Server Error",
         "An error occurred: 'Not a regular file'"},
    };
    for (auto& c : cases) {
        auto r = Send(c.verb, c.target);
        // HEAD: the text's length, and no body (the client expects none).
        EXPECT_EQ(r.head, ErrorHead(c.status, c.body.size())) << c.target;
        EXPECT_EQ(r.body, c.verb == http::verb::head ? "" : c.body) << c.target;
    }
}

TEST_F(HttpRequestTest, FilesWithTypeAndLength) {
    struct Case {
        http::verb verb;
        const char* target;
        const char* type;
        std::string body;
    } cases[] = {
        {http::verb::get, "/", "text/html", "<h1>root</h1>"},
        {http::verb::get, "/Velmora/", "text/html", "<h1>root</h1>"},
        {http::verb::get, "/app.js", "application/javascript", "var a=1;"},
        {http::verb::get, "/Velmora/app.js", "application/javascript", "var a=1;"},
        {http::verb::get, "/VelmoraX.html", "text/html", "xx"},
        {http::verb::get, "/q.txt?v=1", "application/text", "query"},
        {http::verb::post, "/index.html", "text/html", "<h1>root</h1>"},
    };
    for (auto& c : cases) {
        auto r = Send(c.verb, c.target, 11, true, "ignored body");
        EXPECT_EQ(r.head,
                  std::string("HTTP/1.1 200 OK\r\nServer: Boost.Beast/356\r\nContent-Type: ") +
                      c.type + "\r\nContent-Length: " + std::to_string(c.body.size()) + "\r\n\r\n")
            << c.target;
        EXPECT_EQ(r.body, c.body) << c.target;
    }
}

TEST_F(HttpRequestTest, HeadHasLengthButNoBody) {
    auto r = Send(http::verb::head, "/app.js");
    EXPECT_EQ(r.head, "HTTP/1.1 200 OK\r\nServer: Boost.Beast/356\r\nContent-Type: "
                      "application/javascript\r\nContent-Length: 8\r\n\r\n");
    EXPECT_EQ(r.body, "");
}

TEST_F(HttpRequestTest, VersionAndKeepAliveFollowTheRequest) {
    auto r10 = Send(http::verb::get, "/app.js", 10, false);
    EXPECT_EQ(r10.head, "HTTP/1.0 200 OK\r\nServer: Boost.Beast/356\r\nContent-Type: "
                        "application/javascript\r\nContent-Length: 8\r\n\r\n");
    auto r11 = Send(http::verb::get, "/app.js", 11, false);
    EXPECT_EQ(r11.head, "HTTP/1.1 200 OK\r\nServer: Boost.Beast/356\r\nContent-Type: "
                        "application/javascript\r\nContent-Length: 8\r\nConnection: close\r\n\r\n");
    auto e11 = Send(http::verb::get, "/nope", 11, false);
    EXPECT_EQ(e11.head, ErrorHead("404 Not Found", 35, "Connection: close\r\n"));
    auto e10 = Send(http::verb::get, "/nope", 10, true);
    EXPECT_EQ(e10.head, "HTTP/1.0 404 Not Found\r\nServer: Boost.Beast/356\r\nContent-Type: "
                        "text/html\r\nConnection: keep-alive\r\nContent-Length: 35\r\n\r\n");
}

TEST_F(HttpRequestTest, PostUnderThePrefixIsACommand) {
    for (const char* target : {"/Velmora", "/VelmoraApi", "/Velmora/anything"}) {
        auto r = Send(http::verb::post, target, 11, true, "AD");
        EXPECT_EQ(r.head, "HTTP/1.1 200 OK\r\nContent-Type: application/octet-stream\r\n\r\n")
            << target;
        EXPECT_EQ(r.body, "IPv4:::1|") << target;
    }
    auto r10 = Send(http::verb::post, "/Velmora", 10, false, "AD");
    EXPECT_EQ(
        r10.head,
        "HTTP/1.1 200 OK\r\nContent-Type: application/octet-stream\r\nConnection: close\r\n\r\n");
}

// A page of another origin must not drive the runtime: the browser says where a request comes
// from (Origin, Sec-Fetch-Site), and a request from elsewhere is refused before any command is
// decoded or the link is used. Clients that send neither field are not browsers.
TEST_F(HttpRequestTest, CommandsFromAnotherOriginAreRefused) {
    const std::string refused = "Cross-origin request refused";
    struct Case {
        const char* what;
        Fields fields;
        bool allowed;
    } cases[] = {
        {"no Origin, no Sec-Fetch-Site", {}, true},
        {"no Origin, no Host", {}, true},
        {"same origin", {{"Host", "plc:42341"}, {"Origin", "http://plc:42341"}}, true},
        {"host in other case", {{"Host", "plc:42341"}, {"Origin", "http://PLC:42341"}}, true},
        {"behind a TLS proxy", {{"Host", "plc.example"}, {"Origin", "https://plc.example"}}, true},
        {"IPv6 host", {{"Host", "[::1]:42341"}, {"Origin", "http://[::1]:42341"}}, true},
        {"same origin, Sec-Fetch-Site same-origin",
         {{"Host", "plc:42341"}, {"Origin", "http://plc:42341"}, {"Sec-Fetch-Site", "same-origin"}},
         true},
        {"Sec-Fetch-Site none (typed by the user)", {{"Sec-Fetch-Site", "none"}}, true},
        {"another host", {{"Host", "plc:42341"}, {"Origin", "http://evil.example:42341"}}, false},
        {"another port", {{"Host", "plc:42341"}, {"Origin", "http://plc:8080"}}, false},
        {"a port where none is", {{"Host", "plc"}, {"Origin", "http://plc:80"}}, false},
        {"null", {{"Host", "plc:42341"}, {"Origin", "null"}}, false},
        {"Origin without Host", {{"Origin", "http://plc:42341"}}, false},
        {"Origin with a path", {{"Host", "plc:42341"}, {"Origin", "http://plc:42341/x"}}, false},
        {"user info", {{"Host", "plc:42341"}, {"Origin", "http://evil@plc:42341"}}, false},
        {"two Origins",
         {{"Host", "plc:42341"}, {"Origin", "http://plc:42341"}, {"Origin", "http://evil"}},
         false},
        {"Sec-Fetch-Site cross-site", {{"Sec-Fetch-Site", "cross-site"}}, false},
        {"Sec-Fetch-Site same-site", {{"Sec-Fetch-Site", "same-site"}}, false},
        {"same Origin, Sec-Fetch-Site cross-site",
         {{"Host", "plc:42341"}, {"Origin", "http://plc:42341"}, {"Sec-Fetch-Site", "cross-site"}},
         false},
    };
    std::vector<char> exchange(COMMAND_BUFFER_SIZE);
    commandBuffer = exchange.data();
    for (auto& c : cases) {
        for (const char* body : {"AB", "ACxxpayload"}) {
            g_fakeZel = FakeZel();
            g_fakeZel.portEnabled = 1;
            auto r = Send(http::verb::post, "/Velmora", 11, true, body, c.fields);
            if (c.allowed) {
                EXPECT_EQ(r.head.rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << c.what;
                EXPECT_FALSE(g_fakeZel.calls.empty()) << c.what;
            } else {
                EXPECT_EQ(r.head, ErrorHead("403 Forbidden", refused.size())) << c.what;
                EXPECT_EQ(r.body, refused) << c.what;
                EXPECT_TRUE(g_fakeZel.calls.empty()) << c.what; // no link call at all
            }
        }
    }
    commandBuffer = nullptr;
    // The static side is not affected: a page may load the visualisation's files from anywhere.
    auto r = Send(http::verb::get, "/app.js", 11, true, "", {{"Origin", "null"}});
    EXPECT_EQ(r.body, "var a=1;");
}

std::string Repeat(const std::string& s, int n) {
    std::string out;
    for (int i = 0; i < n; ++i)
        out += s;
    return out;
}

// What a refusal quotes from the request is HTML-escaped; its length follows the escaped text.
TEST_F(HttpRequestTest, QuotedTargetsAreEscaped) {
    struct Case {
        std::string target;
        std::string quoted;
    } cases[] = {
        {"/plain-name.js", "/plain-name.js"},
        {"/a&b", "/a&amp;b"},
        {"/a<b", "/a&lt;b"},
        {"/a>b", "/a&gt;b"},
        {"/a\"b", "/a&quot;b"},
        {"/a'b", "/a&#39;b"},
        {"/<script>alert('x')</script>", "/&lt;script&gt;alert(&#39;x&#39;)&lt;/script&gt;"},
        {Repeat("/<a>", 750), Repeat("/&lt;a&gt;", 750)},
    };
    for (auto& c : cases) {
        std::string body = "The resource '" + c.quoted + "' was not found.";
        auto r = Send(http::verb::get, c.target);
        EXPECT_EQ(r.head, ErrorHead("404 Not Found", body.size())) << c.target.substr(0, 40);
        EXPECT_TRUE(r.body == body) << c.target.substr(0, 40) << ": " << r.body.substr(0, 80);
    }
    // The 500 text quotes the system's message the same way (none of them holds markup, so the
    // bytes stay as they were).
    auto e = Send(http::verb::get, "/sub");
    EXPECT_EQ(e.body, "An error occurred: 'Is a directory'");
}
