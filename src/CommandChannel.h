// The command channel: one command per POST under the service prefix, answered with raw bytes.
#pragma once

#include <boost/beast/http/buffer_body.hpp>
#include <boost/beast/http/message.hpp>
#include <boost/beast/http/string_body.hpp>

#include <cstdint>
#include <memory>

// The commands, by the number decoded from a body's command word.
enum ECommand : uint32_t {
    COMMAND_SESSION_OPEN = 1,     // point the link at the runtime; reply the session parameters
    COMMAND_RUNTIME_EXCHANGE = 2, // relay the payload to the runtime; reply its answer
    COMMAND_ADDRESS = 3,          // reply the address text
};

// A command reply: a buffer-body response and the bytes its body points at, which must live
// until the response has been written.
struct CCommandReply {
    boost::beast::http::response<boost::beast::http::buffer_body> response;
    std::unique_ptr<char[]> pBytes;
};

// Carries out the command in a request's body and builds its reply; the reply keeps the
// request's keep-alive setting.
CCommandReply HandleCommand(boost::beast::string_view body, bool bKeepAlive);

template <class Fields>
CCommandReply
HandleCommand(boost::beast::http::request<boost::beast::http::string_body, Fields> const& req) {
    return HandleCommand(req.body(), req.keep_alive());
}

// Reads the command number from the first bytes of a body copy (zero-padded by one byte).
uint32_t DecodeCommand(char const* pCopy);
