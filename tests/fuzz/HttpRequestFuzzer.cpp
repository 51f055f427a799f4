// Fuzzed bytes cut into requests by Beast's parser with the server's limits; every request goes
// to handle_request against a small document root, with the test double of the link behind the
// command channel. Checked: one response per request; HEAD responses carry no body; no response
// carries a file from outside the root; a command reply's body lies in its own bytes; refusal
// texts quote the request only escaped.
#include "DocumentTree.h"
#include "FakeZel.h"
#include "FuzzCheck.h"
#include "HttpRequest.h"
#include "HttpSession.h"
#include "ProcessObjects.h"

#include <boost/asio/buffer.hpp>
#include <boost/beast/http/parser.hpp>
#include <boost/beast/http/serializer.hpp>

#include <cstring>
#include <string_view>
#include <unistd.h>

namespace beast = boost::beast;
namespace http = beast::http;
namespace net = boost::asio;
using fuzzsupport::kOutsideMarker;

namespace {

// The text quoted into a refusal: & < > " ' only as the character references that stand for them.
bool IsEscaped(std::string_view s) {
    static constexpr std::string_view refs[] = {"&amp;", "&lt;", "&gt;", "&quot;", "&#39;"};
    for (size_t i = 0; i < s.size(); ++i) {
        char const c = s[i];
        if (c == '<' || c == '>' || c == '"' || c == '\'')
            return false;
        if (c == '&') {
            bool known = false;
            for (auto ref : refs)
                known = known || s.substr(i, ref.size()) == ref;
            if (!known)
                return false;
        }
    }
    return true;
}

// A refusal's body: a fixed text, or a fixed frame around an escaped quote.
bool QuotesSafely(std::string_view body) {
    static constexpr std::pair<std::string_view, std::string_view> frames[] = {
        {"The resource '", "' was not found."},
        {"An error occurred: '", "'"},
    };
    for (auto [open, close] : frames) {
        if (body.size() >= open.size() + close.size() && body.substr(0, open.size()) == open &&
            body.substr(body.size() - close.size()) == close)
            return IsEscaped(body.substr(open.size(), body.size() - open.size() - close.size()));
    }
    return IsEscaped(body);
}

template <class Message> std::string Serialise(Message& msg) {
    http::serializer<false, typename Message::body_type, typename Message::fields_type> sr{msg};
    std::string out;
    beast::error_code ec;
    while (!ec && !sr.is_done()) {
        sr.next(ec, [&](beast::error_code&, auto const& buffers) {
            std::size_t n = 0;
            for (auto const b : beast::buffers_range_ref(buffers)) {
                out.append(static_cast<char const*>(b.data()), b.size());
                n += b.size();
            }
            sr.consume(n);
        });
    }
    FUZZ_CHECK(!ec, "serialising: %s", ec.message().c_str());
    return out;
}

// What a request expects of its one response.
struct Sink {
    http::verb method;
    bool command;      // POST under the service prefix
    bool quotesMarker; // the request itself holds the marker text, which a reply may quote
    int responses = 0;

    void Common(http::response_header<> const& h) {
        ++responses;
        FUZZ_CHECK(responses == 1, "a second response to one request");
        FUZZ_CHECK(h.find(http::field::content_type) != h.end(), "no Content-Type");
    }

    // Refusals and failures.
    void operator()(http::response<http::string_body>&& res, std::unique_ptr<char[]> = nullptr) {
        Common(res.base());
        auto const status = res.result_int();
        FUZZ_CHECK(status == 400 || status == 403 || status == 404 || status == 500,
                   "text response with status %u", status);
        FUZZ_CHECK(status != 403 || command, "403 outside the command channel");
        FUZZ_CHECK(res[http::field::content_type] == "text/html", "refusal type");
        if (method == http::verb::head)
            FUZZ_CHECK(res.body().empty(), "HEAD refusal with a body");
        FUZZ_CHECK(QuotesSafely(res.body()), "refusal quotes unescaped: %s", res.body().c_str());
        FUZZ_CHECK(quotesMarker || res.body().find(kOutsideMarker) == std::string::npos,
                   "outside file quoted");
        Serialise(res);
    }

    void operator()(http::response<http::empty_body>&& res, std::unique_ptr<char[]> = nullptr) {
        Common(res.base());
        FUZZ_CHECK(method == http::verb::head, "empty-body response to a non-HEAD request");
        FUZZ_CHECK(res.result_int() == 200 && res.has_content_length(), "HEAD response");
        Serialise(res);
    }

    void operator()(http::response<static_file_body>&& res, std::unique_ptr<char[]> = nullptr) {
        Common(res.base());
        FUZZ_CHECK(method != http::verb::head, "a HEAD response with a file body");
        FUZZ_CHECK(!command, "a command answered with a file");
        auto& file = res.body();
        FUZZ_CHECK(file.is_open(), "file response without a file");
        FUZZ_CHECK(fuzzsupport::OpenedInsideRoot(file.native_handle()), "served from outside");
        std::string content(static_cast<size_t>(file.size()), '\0');
        FUZZ_CHECK(pread(file.native_handle(), content.data(), content.size(), 0) ==
                       static_cast<ssize_t>(content.size()),
                   "file shorter than its length");
        FUZZ_CHECK(content.find(kOutsideMarker) == std::string::npos, "outside file served");
        FUZZ_CHECK(res[http::field::content_length] == std::to_string(file.size()), "length");
    }

    void operator()(http::response<http::buffer_body>&& res, std::unique_ptr<char[]> bytes) {
        Common(res.base());
        FUZZ_CHECK(command, "a command reply outside the command channel");
        FUZZ_CHECK(res.result_int() == 200, "command reply status");
        FUZZ_CHECK(!res.has_content_length() && !res.chunked(), "command reply length");
        auto const& body = res.body();
        FUZZ_CHECK(!body.more, "command reply announces more");
        if (body.size == 0) {
            FUZZ_CHECK(body.data == nullptr, "empty reply with data");
        } else {
            FUZZ_CHECK(bytes && body.data == bytes.get(), "reply body outside its own bytes");
            FUZZ_CHECK(body.size <= COMMAND_BUFFER_SIZE, "reply longer than the buffer");
        }
        // Reads every byte the body points at (AddressSanitizer checks the bounds).
        std::string const wire = Serialise(res);
        FUZZ_CHECK(quotesMarker || wire.find(kOutsideMarker) == std::string::npos,
                   "outside file relayed");
    }
};

void Handle(http::request<http::string_body>&& req) {
    Sink sink{req.method(), false, false};
    sink.command = req.method() == http::verb::post &&
                   req.target().substr(0, sServiceTarget.size()) == sServiceTarget;
    sink.quotesMarker = req.target().find(kOutsideMarker) != beast::string_view::npos ||
                        req.body().find(kOutsideMarker) != std::string::npos;
    handle_request(fuzzsupport::Tree().root, std::move(req), sink);
    FUZZ_CHECK(sink.responses == 1, "%d responses to one request", sink.responses);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzzsupport::Tree();
    commandBuffer = new char[COMMAND_BUFFER_SIZE]();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(uint8_t const* data, size_t size) {
    g_fakeZel = FakeZel{};
    // As the session reads them: a fresh parser for every request, taking what it can.
    net::const_buffer rest(data, size);
    while (rest.size() > 0) {
        http::request_parser<http::string_body> parser;
        parser.header_limit(8192);
        parser.body_limit(http_session::body_limit);
        beast::error_code ec;
        while (rest.size() > 0 && !parser.is_done()) {
            auto const used = parser.put(rest, ec);
            rest += used;
            if (ec || used == 0)
                break;
        }
        if (!parser.is_done())
            break; // a malformed or unfinished request ends the connection
        Handle(parser.release());
    }
    return 0;
}
