// Command decoding and the reply builder: a fuzzed body through HandleCommand, with the test
// double of the link answering as byte 0 of the input says. Checked against the command words'
// meaning: which command runs, what reaches the link, and the reply's fields and bytes.
//
// Input: byte 0 sets the link (bit 0: the read-write fails; bit 1: it answers a fixed text
// instead of echoing; bit 2: it reports more bytes than it wrote; bit 3: the request is
// HTTP/1.0; bit 4: keep-alive asked for), the rest is the request body.
#include "CommandChannel.h"
#include "FakeZel.h"
#include "FuzzCheck.h"
#include "ProcessObjects.h"

#include <cstring>
#include <string>

namespace http = boost::beast::http;

namespace {

// The command number of a body, worked out apart from the channel's code: two letters read as
// hexadecimal digits from 'A', or else the first byte as a signed number; bit 31 cleared.
int64_t CommandOf(std::string const& body) {
    auto const b0 = static_cast<int64_t>(static_cast<signed char>(body.empty() ? 0 : body[0]));
    auto const b1 = static_cast<int64_t>(static_cast<signed char>(body.size() < 2 ? 0 : body[1]));
    int64_t const value = b0 >= 'A' ? (b0 - 'A') * 16 + (b1 - 'A') : b0;
    return static_cast<int64_t>(static_cast<uint32_t>(value) & 0x7FFFFFFFu);
}

constexpr char kFixedAnswer[] = "fixed answer of the runtime";

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    commandBuffer = new char[COMMAND_BUFFER_SIZE]();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(uint8_t const* data, size_t size) {
    if (size < 1)
        return 0;
    uint8_t const mode = data[0];
    std::string const body(reinterpret_cast<char const*>(data) + 1, size - 1);

    g_fakeZel = FakeZel{};
    g_fakeZel.rwStatus = (mode & 1) ? -1 : 0;
    if (mode & 2)
        g_fakeZel.answer = std::string(kFixedAnswer);
    if (mode & 4)
        g_fakeZel.reportedCount = COMMAND_BUFFER_SIZE + 1000; // more than the buffer holds

    http::request<http::string_body> req{http::verb::post, "/Velmora", (mode & 8) ? 10 : 11};
    req.keep_alive((mode & 16) != 0);
    req.body() = body;
    req.prepare_payload();

    auto const number = CommandOf(body);
    std::string const padded = body + '\0'; // the channel's copy: one zero byte more
    auto const decoded = DecodeCommand(padded.data());
    FUZZ_CHECK(decoded == number, "decoded %u, expected %lld", decoded,
               static_cast<long long>(number));

    CCommandReply reply = HandleCommand(req);
    auto const& res = reply.response;
    auto const& out = res.body();

    FUZZ_CHECK(res.result_int() == 200 && res.version() == 11, "status line");
    FUZZ_CHECK(res[http::field::content_type] == "application/octet-stream", "type");
    FUZZ_CHECK(res.find(http::field::content_length) == res.end(), "a Content-Length");
    FUZZ_CHECK(res.find(http::field::server) == res.end(), "a Server field");
    FUZZ_CHECK(res.keep_alive() == req.keep_alive(), "keep-alive not copied");
    FUZZ_CHECK(!out.more, "more announced");
    FUZZ_CHECK(out.size <= COMMAND_BUFFER_SIZE, "reply of %zu bytes", out.size);
    FUZZ_CHECK((out.size == 0) == (out.data == nullptr), "data and size disagree");
    FUZZ_CHECK(out.size == 0 || out.data == reply.pBytes.get(), "body outside its bytes");
    std::string const replied(static_cast<char const*>(out.data ? out.data : ""), out.size);

    auto const& rw = g_fakeZel.readWrites;
    switch (number) {
    case COMMAND_SESSION_OPEN:
        FUZZ_CHECK(replied == "|50000|0|1|false|", "session-open reply");
        FUZZ_CHECK(rw.empty(), "session-open reached the runtime");
        break;
    case COMMAND_ADDRESS:
        FUZZ_CHECK(replied == "IPv4:::1|", "address reply");
        FUZZ_CHECK(g_fakeZel.calls.empty(), "the address command used the link");
        break;
    case COMMAND_RUNTIME_EXCHANGE: {
        if (body.size() < 4) {
            FUZZ_CHECK(rw.empty() && replied.empty(), "exchange without a command word");
            break;
        }
        FUZZ_CHECK(rw.size() == 1, "%zu read-writes for one exchange", rw.size());
        FUZZ_CHECK(rw[0].group == 42 && rw[0].offset == 42 && rw[0].readLength == 50000,
                   "read-write parameters");
        FUZZ_CHECK(rw[0].data == body.substr(4), "payload not relayed unchanged");
        std::string expected;
        if (g_fakeZel.rwStatus == 0) {
            size_t const n =
                g_fakeZel.reportedCount
                    ? COMMAND_BUFFER_SIZE
                    : std::min<size_t>(g_fakeZel.answer.value_or(body.substr(4)).size(),
                                       COMMAND_BUFFER_SIZE);
            expected.assign(commandBuffer, n);
        }
        FUZZ_CHECK(replied == expected, "exchange reply of %zu bytes, expected %zu", replied.size(),
                   expected.size());
        break;
    }
    default:
        FUZZ_CHECK(g_fakeZel.calls.empty() && replied.empty(), "command %lld did something",
                   static_cast<long long>(number));
    }
    return 0;
}
