// Small helpers of the HTTP service: content types, path joining, failure reports.
#pragma once

#include <boost/beast/core/string.hpp>
#include <boost/system/error_code.hpp>

#include <string>

// Content type of a file from its extension (the text from the path's last '.').
boost::beast::string_view mime_type(boost::beast::string_view path);

// base followed by path; one trailing '/' of base is dropped, no separator is added.
std::string path_cat(boost::beast::string_view base, boost::beast::string_view path);

// The text with &, <, >, " and ' written as HTML character references, so that it shows as
// text wherever it is quoted into a page.
std::string html_escape(boost::beast::string_view text);

// Writes "what: message" as one line to standard error.
void fail(boost::system::error_code ec, char const* what);
