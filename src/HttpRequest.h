// Request routing: every request becomes exactly one response, handed to `send`.
#pragma once

#include "CommandChannel.h"
#include "HttpUtil.h"
#include "ProcessObjects.h"

#include <boost/beast/core/file_stdio.hpp>
#include <boost/beast/http/empty_body.hpp>
#include <boost/beast/http/file_body.hpp>
#include <boost/beast/http/string_body.hpp>

#include <string>

// The "Server" field of every static response.
constexpr char server_name[] = "Boost.Beast/356";

// Static files are streamed from C standard I/O files.
using file_stdio_body = boost::beast::http::basic_file_body<boost::beast::file_stdio>;

enum class open_result { ok, not_found, failed };

// Opens a static file for streaming. Only regular files are opened, and opening never blocks
// (a FIFO would wait for a writer). On failure `message` is the text for the 500 response.
open_result open_static_file(std::string const& path, file_stdio_body::value_type& body,
                             std::string& message);

template <class Body, class Allocator, class Send>
void handle_request(
    boost::beast::string_view doc_root,
    boost::beast::http::request<Body, boost::beast::http::basic_fields<Allocator>>&& req,
    Send& send) {
    namespace beast = boost::beast;
    namespace http = beast::http;

    // The refusal and failure responses: short HTML-typed texts with a length.
    auto const text_response = [&req](http::status status, std::string body) {
        http::response<http::string_body> res{status, req.version()};
        res.set(http::field::server, server_name);
        res.set(http::field::content_type, "text/html");
        res.keep_alive(req.keep_alive());
        res.body() = std::move(body);
        res.prepare_payload();
        return res;
    };
    auto const bad_request = [&](beast::string_view why) {
        return text_response(http::status::bad_request, std::string(why));
    };
    auto const not_found = [&](beast::string_view target) {
        return text_response(http::status::not_found,
                             "The resource '" + std::string(target) + "' was not found.");
    };
    auto const server_error = [&](beast::string_view what) {
        return text_response(http::status::internal_server_error,
                             "An error occurred: '" + std::string(what) + "'");
    };

    if (req.method() != http::verb::get && req.method() != http::verb::head &&
        req.method() != http::verb::post)
        return send(bad_request("Unknown HTTP-method"));

    if (req.target().empty() || req.target()[0] != '/' ||
        req.target().find("..") != beast::string_view::npos)
        return send(bad_request("Illegal request-target"));

    // Split off the service prefix: a plain character prefix.
    std::string const target(req.target());
    std::string head = target;
    std::string pathPart = target;
    if (target.compare(0, sServiceTarget.size(), sServiceTarget) == 0) {
        head = target.substr(0, sServiceTarget.size());
        pathPart = target.substr(sServiceTarget.size());
    }

    if (req.method() == http::verb::post && head == sServiceTarget) {
        CCommandReply reply = HandleCommand(req);
        return send(std::move(reply.response), std::move(reply.pBytes));
    }

    std::string path = path_cat(doc_root, pathPart);
    if (target.back() == '/')
        path.append("index.html");

    file_stdio_body::value_type body;
    std::string message;
    switch (open_static_file(path, body, message)) {
    case open_result::not_found:
        return send(not_found(pathPart));
    case open_result::failed:
        return send(server_error(message));
    case open_result::ok:
        break;
    }

    auto const size = body.size();

    if (req.method() == http::verb::head) {
        http::response<http::empty_body> res{http::status::ok, req.version()};
        res.set(http::field::server, server_name);
        res.set(http::field::content_type, mime_type(path));
        res.content_length(size);
        res.keep_alive(req.keep_alive());
        return send(std::move(res));
    }

    http::response<file_stdio_body> res{std::piecewise_construct, std::make_tuple(std::move(body)),
                                        std::make_tuple(http::status::ok, req.version())};
    res.set(http::field::server, server_name);
    res.set(http::field::content_type, mime_type(path));
    res.content_length(size);
    res.keep_alive(req.keep_alive());
    return send(std::move(res));
}
