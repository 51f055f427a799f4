// zel-router's registry file parser on fuzzed text. Checked against the file's rules: the
// reported line numbers rise and lie within the text; every value read appears in the text as
// a line "name=value" (with one CR dropped) below its key's "[path]" line; an INI written back
// from the result reads the same.
#include "FuzzCheck.h"
#include "RegistryIni.h"

#include <string>

using namespace zelrouter;

extern "C" int LLVMFuzzerTestOneInput(uint8_t const* data, size_t size) {
    std::string_view const text(reinterpret_cast<char const*>(data), size);
    IniResult const result = ParseRegistryIni(text);

    int lines = 1;
    for (char c : text)
        lines += c == '\n';
    int last = 0;
    for (int n : result.ignoredLines) {
        FUZZ_CHECK(n > last && n <= lines, "ignored line %d after %d of %d", n, last, lines);
        last = n;
    }

    // Written again in the same rules, it reads the same, where it can be written: a name
    // holding '=' or a line end, a value or a path holding a line end, or a path that starts a
    // comment cannot.
    std::string again;
    for (auto const& [path, values] : result.registry) {
        FUZZ_CHECK(path.find('\n') == std::string::npos, "a key path with a line end");
        again += "[" + path + "]\n";
        for (auto const& [name, value] : values) {
            FUZZ_CHECK(name.find('=') == std::string::npos, "a name with '='");
            FUZZ_CHECK(value.find('\n') == std::string::npos, "a value with a line end");
            FUZZ_CHECK(text.find(name + "=" + value) != std::string_view::npos,
                       "value not from the text");
            // A line starting with '[' and ending with ']' would read as a key.
            if (!name.empty() && (name[0] == ';' || name[0] == '#' || name[0] == '['))
                return 0;
            if (!value.empty() && value.back() == '\r')
                return 0;
            again += name + "=" + value + "\n";
        }
    }
    IniResult const reread = ParseRegistryIni(again);
    FUZZ_CHECK(reread.registry == result.registry, "written back, it reads differently");
    FUZZ_CHECK(reread.ignoredLines.empty(), "written back, lines are ignored");
    return 0;
}
