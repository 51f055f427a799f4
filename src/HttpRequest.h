// Request routing: every request becomes exactly one response, handed to `send`.
#pragma once

#include "CommandChannel.h"
#include "HttpFileBody.h"
#include "HttpUtil.h"
#include "ProcessObjects.h"

#include <boost/beast/http/empty_body.hpp>
#include <boost/beast/http/string_body.hpp>

#include <string>

// The "Server" field of every static response.
constexpr char server_name[] = "Boost.Beast/356";

enum class open_result { ok, not_found, failed };

// Opens a static file for sending. Only regular files are opened, and opening never blocks
// (a FIFO would wait for a writer). On failure `message` is the text for the 500 response.
open_result open_static_file(std::string const& path, static_file_body::value_type& body,
                             std::string& message);

// Whether a command request comes from a page of another origin: an Origin field whose host
// and port differ from the Host field's (the scheme is not compared, so a TLS proxy in front
// keeps working; "null" never matches), or a Sec-Fetch-Site field other than "same-origin" or
// "none". A request with neither field (no browser sent it) is not refused.
bool is_cross_origin(std::size_t origins, boost::beast::string_view origin, std::size_t hosts,
                     boost::beast::string_view host, std::size_t fetch_sites,
                     boost::beast::string_view fetch_site);

template <class Fields> bool is_cross_origin(Fields const& fields) {
    namespace http = boost::beast::http;
    return is_cross_origin(fields.count(http::field::origin), fields[http::field::origin],
                           fields.count(http::field::host), fields[http::field::host],
                           fields.count("Sec-Fetch-Site"), fields["Sec-Fetch-Site"]);
}

template <class Body, class Allocator, class Send>
void handle_request(
    boost::beast::string_view doc_root,
    boost::beast::http::request<Body, boost::beast::http::basic_fields<Allocator>>&& req,
    Send& send) {
    namespace beast = boost::beast;
    namespace http = beast::http;
    // Responses keep their fields in the same memory as the request's.
    using fields = http::basic_fields<Allocator>;

    // The refusal and failure responses: short HTML-typed texts with a length. A HEAD response
    // keeps the length of the text but carries no body.
    auto const text_response = [&req](http::status status, std::string body) {
        http::response<http::string_body, fields> res{status, req.version()};
        res.set(http::field::server, server_name);
        res.set(http::field::content_type, "text/html");
        res.keep_alive(req.keep_alive());
        res.body() = std::move(body);
        res.prepare_payload();
        if (req.method() == http::verb::head)
            res.body().clear();
        return res;
    };
    auto const bad_request = [&](beast::string_view why) {
        return text_response(http::status::bad_request, html_escape(why));
    };
    auto const forbidden = [&](beast::string_view why) {
        return text_response(http::status::forbidden, html_escape(why));
    };
    auto const not_found = [&](beast::string_view target) {
        return text_response(http::status::not_found,
                             "The resource '" + html_escape(target) + "' was not found.");
    };
    auto const server_error = [&](beast::string_view what) {
        return text_response(http::status::internal_server_error,
                             "An error occurred: '" + html_escape(what) + "'");
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
        // Before any command is decoded: a page of another origin must not reach the runtime.
        if (is_cross_origin(req.base()))
            return send(forbidden("Cross-origin request refused"));
        CCommandReply reply = HandleCommand(req);
        return send(std::move(reply.response), std::move(reply.pBytes));
    }

    // "/VelmoraX" names a file inside the root, never one beside it ("<root>X").
    if (!pathPart.empty() && pathPart[0] != '/')
        pathPart = target;

    std::string path = path_cat(doc_root, pathPart);
    if (target.back() == '/')
        path.append("index.html");

    static_file_body::value_type body;
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
        http::response<http::empty_body, fields> res{http::status::ok, req.version()};
        res.set(http::field::server, server_name);
        res.set(http::field::content_type, mime_type(path));
        res.content_length(size);
        res.keep_alive(req.keep_alive());
        return send(std::move(res));
    }

    http::response<static_file_body, fields> res{std::piecewise_construct,
                                                 std::make_tuple(std::move(body)),
                                                 std::make_tuple(http::status::ok, req.version())};
    res.set(http::field::server, server_name);
    res.set(http::field::content_type, mime_type(path));
    res.content_length(size);
    res.keep_alive(req.keep_alive());
    return send(std::move(res));
}
