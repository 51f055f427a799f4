// The registry contents that zel-router serves, read from an INI file.
#pragma once

#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace zelrouter {

// Key path -> value name -> value bytes.
using Registry = std::map<std::string, std::map<std::string, std::string>>;

struct IniResult {
    Registry registry;
    std::vector<int> ignoredLines; // 1-based numbers of lines that mean nothing
};

// Lines end with LF; one trailing CR is dropped. Blank lines and lines starting with ';' or '#'
// are skipped. "[path]" opens the key "path", exactly as written. "name=value" splits at the
// first '='; neither side is trimmed. A value line before any key, or a line that is none of
// these, is ignored and reported.
IniResult ParseRegistryIni(std::string_view text);

} // namespace zelrouter
