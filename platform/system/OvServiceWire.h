// Frames between the system library stand-in and ov-service, over a Unix stream socket.
// Internal to the two; not part of OvSystem.h.
//
// Every frame: a 12-byte header, then `length` payload bytes. All integers little-endian.
//   0  magic   4 bytes "OVSQ"
//   4  type    u32 (Type)
//   8  length  u32 payload bytes, at most kMaxPayload
// A peer that sends anything else is cut off: the connection is closed.
#pragma once

#include "LittleEndian.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

namespace ovwire {

constexpr char kMagic[4] = {'O', 'V', 'S', 'Q'};
constexpr size_t kHeaderSize = 12;
constexpr uint32_t kMaxPayload = 4096;

enum Type : uint32_t {
    // library -> service
    Queue = 1, // u8 address flag (0 or 1); answered by Ack
    Param = 2, // u32 name length, name, value (the rest); answered by Ack
    Init = 3,  // the queue's name; answered by Ack
    Reply = 4, // i32 code of the message answered, i32 status; not answered
    // service -> library
    Ack = 16,     // i32 status of the request
    Message = 17, // i32 message code
};

using ovcommon::GetU32;

inline void PutU32(std::string& out, uint32_t v) {
    ovcommon::AppendU32(out, v);
}

// One whole frame ready to send; false when the payload is too long.
inline bool Encode(uint32_t type, const std::string& payload, std::string& out) {
    if (payload.size() > kMaxPayload)
        return false;
    out.assign(kMagic, sizeof kMagic);
    PutU32(out, type);
    PutU32(out, static_cast<uint32_t>(payload.size()));
    out += payload;
    return true;
}

inline std::string I32(int32_t v) {
    std::string s;
    PutU32(s, static_cast<uint32_t>(v));
    return s;
}

struct Frame {
    uint32_t type = 0;
    std::string payload;
};

// Collects received bytes and cuts them into frames. The caller feeds bounded chunks and takes
// every complete frame after each feed, so the buffer never exceeds one frame plus one chunk.
class FrameReader {
public:
    enum Result { NeedMore, Got, Bad };

    void Feed(const char* data, size_t n) { buf_.append(data, n); }

    Result Next(Frame& frame) {
        size_t magic = buf_.size() < sizeof kMagic ? buf_.size() : sizeof kMagic;
        if (memcmp(buf_.data(), kMagic, magic) != 0)
            return Bad; // cut off at the first wrong byte
        if (buf_.size() < kHeaderSize)
            return NeedMore;
        uint32_t length = GetU32(buf_.data() + 8);
        if (length > kMaxPayload)
            return Bad;
        if (buf_.size() < kHeaderSize + length)
            return NeedMore;
        frame.type = GetU32(buf_.data() + 4);
        frame.payload.assign(buf_, kHeaderSize, length);
        buf_.erase(0, kHeaderSize + length);
        return Got;
    }

    size_t Buffered() const { return buf_.size(); }

private:
    std::string buf_;
};

} // namespace ovwire
