// Bytes as lower-case hexadecimal text, two digits a byte, for logs and test messages.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace ovcommon {

inline std::string Hex(const void* data, size_t n) {
    static const char digits[] = "0123456789abcdef";
    const auto* p = static_cast<const uint8_t*>(data);
    std::string s;
    s.reserve(2 * n);
    for (size_t i = 0; i < n; ++i) {
        s += digits[p[i] >> 4];
        s += digits[p[i] & 15];
    }
    return s;
}

inline std::string Hex(std::string_view bytes) {
    return Hex(bytes.data(), bytes.size());
}

} // namespace ovcommon
