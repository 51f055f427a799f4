// Small text helpers of the tests: hex dumps, counting occurrences, the registry file.
#pragma once

#include "Hex.h"

#include <cstddef>
#include <string>

namespace testsupport {

using ovcommon::Hex;

// How often `what` occurs in `text` (e.g. lines of one kind in a log).
inline size_t Count(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t pos = text.find(what); pos != std::string::npos; pos = text.find(what, pos + 1))
        ++n;
    return n;
}

// The registry file of the demo with `values` ("Name=value" lines) in the current version's
// key.
std::string RegistryIni(const std::string& values);

} // namespace testsupport
