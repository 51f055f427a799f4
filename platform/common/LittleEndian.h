// Little-endian integer fields, as the stand-ins' frames carry them.
#pragma once

#include <cstdint>
#include <string>

namespace ovcommon {

inline void PutU16(uint8_t* p, uint16_t v) {
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
}

inline void PutU32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        p[i] = uint8_t(v >> (8 * i));
}

inline uint16_t GetU16(const uint8_t* p) {
    return uint16_t(p[0] | (p[1] << 8));
}

inline uint32_t GetU32(const uint8_t* p) {
    return uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 24);
}

inline uint32_t GetU32(const char* p) {
    return GetU32(reinterpret_cast<const uint8_t*>(p));
}

// Appends the four bytes of v.
inline void AppendU32(std::string& out, uint32_t v) {
    uint8_t b[4];
    PutU32(b, v);
    out.append(reinterpret_cast<const char*>(b), sizeof b);
}

} // namespace ovcommon
