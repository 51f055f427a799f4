#include "HttpUtil.h"

#include <gtest/gtest.h>

#include <boost/asio/error.hpp>
#include <iostream>
#include <sstream>

TEST(MimeType, ExtensionDecides) {
    struct Case {
        const char* path;
        const char* type;
    } cases[] = {
        {"/srv/Plc/INDEX.HTM", "text/html"},
        {"/a.html", "text/html"},
        {"/a.php", "text/html"},
        {"/a.css", "text/css"},
        {"/a.txt", "text/plain"},
        {"/a.js", "application/javascript"},
        {"/a.json", "application/json"},
        {"/a.xml", "application/xml"},
        {"/a.swf", "application/x-shockwave-flash"},
        {"/a.flv", "video/x-flv"},
        {"/logo.PNG", "image/png"},
        {"/a.jpe", "image/jpeg"},
        {"/a.jpeg", "image/jpeg"},
        {"/a.jpg", "image/jpeg"},
        {"/a.gif", "image/gif"},
        {"/a.bmp", "image/bmp"},
        {"/a.ico", "image/vnd.microsoft.icon"},
        {"/a.tiff", "image/tiff"},
        {"/a.tif", "image/tiff"},
        {"/a.svg", "image/svg+xml"},
        {"/a.SvGz", "image/svg+xml"},
        {"/archive.tar.gz", "application/text"},
        {"/file.", "application/text"},
        {"/usr/local/etc/Orvane/3.1/Boot/Plc/README", "application/text"},
        {"/.htaccess", "application/text"},
        {"", "application/text"},
        {"/index.html?v=2", "application/text"},
    };
    for (auto& c : cases)
        EXPECT_EQ(mime_type(c.path), c.type) << c.path;
}

TEST(PathCat, JoinsWithoutAddingSeparators) {
    struct Case {
        const char* base;
        const char* path;
        const char* want;
    } cases[] = {
        {"", "/a", "/a"},
        {"/srv/Plc", "", "/srv/Plc"},
        {"/srv/Plc/", "/a", "/srv/Plc/a"},
        {"/srv/Plc//", "/a", "/srv/Plc//a"},
        {"/srv/Plc", "a", "/srv/Plca"},
        {"/srv/Plc", "/x/y.js", "/srv/Plc/x/y.js"},
    };
    for (auto& c : cases)
        EXPECT_EQ(path_cat(c.base, c.path), c.want) << c.base << " + " << c.path;
}

TEST(Fail, WritesOneLine) {
    std::ostringstream captured;
    auto* old = std::cerr.rdbuf(captured.rdbuf());
    boost::system::error_code ec = boost::asio::error::connection_reset;
    fail(ec, "read");
    std::cerr.rdbuf(old);
    EXPECT_EQ(captured.str(), "read: " + ec.message() + "\n");
}
