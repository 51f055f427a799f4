#include "RegistryIni.h"

namespace zelrouter {

IniResult ParseRegistryIni(std::string_view text) {
    IniResult result;
    if (text.substr(0, 3) == "\xEF\xBB\xBF") // UTF-8 byte order mark
        text.remove_prefix(3);
    std::map<std::string, std::string>* key = nullptr;
    int number = 0;
    while (!text.empty()) {
        ++number;
        size_t end = text.find('\n');
        std::string_view line = text.substr(0, end);
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
        if (!line.empty() && line.back() == '\r')
            line.remove_suffix(1);

        if (line.empty() || line.front() == ';' || line.front() == '#')
            continue;
        if (line.front() == '[' && line.size() >= 2 && line.back() == ']') {
            key = &result.registry[std::string(line.substr(1, line.size() - 2))];
            continue;
        }
        size_t eq = line.find('=');
        if (eq == std::string_view::npos || !key) {
            result.ignoredLines.push_back(number);
            continue;
        }
        (*key)[std::string(line.substr(0, eq))] = std::string(line.substr(eq + 1));
    }
    return result;
}

} // namespace zelrouter
