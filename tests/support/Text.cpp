#include "Text.h"

#include "Process.h"

namespace testsupport {

std::string RegistryIni(const std::string& values) {
    std::string text = ReadFile(std::string(VELMORA_SOURCE_DIR) + "/demo/registry.ini.in");
    const std::string placeholder = "@VALUES@";
    auto at = text.find(placeholder);
    if (at != std::string::npos)
        text.replace(at, placeholder.size(), values);
    return text;
}

} // namespace testsupport
