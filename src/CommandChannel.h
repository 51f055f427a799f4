// The command channel: one command per POST under the service prefix, answered with raw bytes.
#pragma once

#include <boost/beast/http/buffer_body.hpp>
#include <boost/beast/http/message.hpp>
#include <boost/beast/http/string_body.hpp>

#include <memory>

// A command reply: a buffer-body response and the bytes its body points at, which must live
// until the response has been written.
struct command_reply {
    boost::beast::http::response<boost::beast::http::buffer_body> msg;
    std::unique_ptr<char[]> bytes;
};

// Carries out the command in the request's body and builds its reply.
command_reply
handle_command(boost::beast::http::request<boost::beast::http::string_body> const& req);

// Reads the command number from the first bytes of a body copy (zero-padded by one byte).
uint32_t decode_command(char const* pCopy);
