#include "RegistryIni.h"

#include <gtest/gtest.h>

using zelrouter::ParseRegistryIni;
using zelrouter::Registry;

TEST(RegistryIni, Cases) {
    struct Case {
        const char* what;
        std::string text;
        Registry want;
        std::vector<int> ignored;
    } cases[] = {
        {"sample file",
         "; comment lines start with ';' or '#'\n"
         "[Software\\Mervold\\Orvane3]\n"
         "CurrentVersion=3.1\n"
         "\n"
         "[Software\\Mervold\\Orvane3\\3.1]\n"
         "InstallDir=/usr/local/etc/Orvane/3.1/\n"
         "BootDir=/usr/local/etc/Orvane/3.1/Boot/\n",
         {{"Software\\Mervold\\Orvane3", {{"CurrentVersion", "3.1"}}},
          {"Software\\Mervold\\Orvane3\\3.1",
           {{"InstallDir", "/usr/local/etc/Orvane/3.1/"},
            {"BootDir", "/usr/local/etc/Orvane/3.1/Boot/"}}}},
         {}},
        {"CRLF, one CR dropped, no final newline",
         "[K]\r\nA=1\r\nB=2\r\r\nC=3",
         {{"K", {{"A", "1"}, {"B", "2\r"}, {"C", "3"}}}},
         {}},
        {"untrimmed, split at the first '='",
         "[ K ]\n name = value \nA=b=c\nEmpty=\n=nameless\n",
         {{" K ", {{" name ", " value "}, {"A", "b=c"}, {"Empty", ""}, {"", "nameless"}}}},
         {}},
        {"comments only at the line start",
         "# hash\n[K]\n; semi\n  ;x=y\n#a=b\n",
         {{"K", {{"  ;x", "y"}}}},
         {}},
        {"lines that mean nothing",
         "orphan=1\n[K]\nno equals sign\n[broken\nA=1\n",
         {{"K", {{"A", "1"}}}},
         {1, 3, 4}},
        {"repeated key merges, last value wins",
         "[K]\nA=1\nB=1\n[L]\nC=1\n[K]\nA=2\n",
         {{"K", {{"A", "2"}, {"B", "1"}}}, {"L", {{"C", "1"}}}},
         {}},
        {"byte order mark, empty key path, empty section",
         "\xEF\xBB\xBF[]\nA=1\n[Empty]\n",
         {{"", {{"A", "1"}}}, {"Empty", {}}},
         {}},
        {"empty file", "", {}, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        auto r = ParseRegistryIni(c.text);
        EXPECT_EQ(r.registry, c.want);
        EXPECT_EQ(r.ignoredLines, c.ignored);
    }
}
