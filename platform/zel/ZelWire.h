// Frames between the link library stand-in and zel-router, over a Unix stream socket.
// Internal to the two; not part of OvZel.h.
//
// Every frame: a 20-byte header, then `length` payload bytes. All integers little-endian.
//   0  magic   4 bytes "ZELW"
//   4  version u16 (kVersion)
//   6  op      u16 (Op)
//   8  id      u32 request id, echoed in the answer
//  12  status  i32 0 in requests; the result in answers
//  16  length  u32 payload bytes, at most kMaxPayload
// A peer that sends anything else is cut off: the connection is closed.
#pragma once

#include "LittleEndian.h"

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace zelwire {

constexpr uint8_t kMagic[4] = {'Z', 'E', 'L', 'W'};
constexpr uint16_t kVersion = 1;
constexpr size_t kHeaderSize = 20;
constexpr uint32_t kMaxPayload = 1u << 20;

enum class Op : uint16_t {
    PortOpen = 1,     // request: empty. answer: u32 port granted (0 = none)
    PortClose = 2,    // request: u32 port. answer: empty
    LocalAddress = 3, // request: empty. answer: 6-byte net id
    ReadWrite = 4,    // request: ReadWriteRequest, then the write data. answer: the read data
};

// Statuses of the link. Failures are negative everywhere, so they read as failures both
// where "non-zero" and where "negative" means failure.
constexpr int32_t kOk = 0;
constexpr int32_t kErrNoRouter = -1;       // nothing answers at the socket
constexpr int32_t kErrTimeout = -2;        // no answer within the time-out
constexpr int32_t kErrBadAnswer = -3;      // the router's answer broke the frame rules
constexpr int32_t kErrInvalidArg = -4;     // null pointer or request too large
constexpr int32_t kErrUnknownTarget = -10; // net id is not the local system
constexpr int32_t kErrNoService = -11;     // no service at that port
constexpr int32_t kErrBadIndex = -12;      // index group or offset not served
constexpr int32_t kErrNotFound = -13;      // registry key or value missing

struct Header {
    uint16_t version = kVersion;
    uint16_t op = 0;
    uint32_t id = 0;
    int32_t status = 0;
    uint32_t length = 0;
};

// Fixed part of a read-write request's payload; the write data follows it.
constexpr size_t kReadWriteFixed = 24;
struct ReadWriteRequest {
    uint8_t netId[6] = {};
    uint16_t port = 0;
    uint32_t indexGroup = 0;
    uint32_t indexOffset = 0;
    uint32_t readLength = 0;
    uint32_t writeLength = 0;
};
constexpr uint32_t kMaxWrite = kMaxPayload - kReadWriteFixed;

using ovcommon::GetU16;
using ovcommon::GetU32;
using ovcommon::PutU16;
using ovcommon::PutU32;

inline void EncodeHeader(const Header& h, uint8_t* out) {
    std::memcpy(out, kMagic, 4);
    PutU16(out + 4, h.version);
    PutU16(out + 6, h.op);
    PutU32(out + 8, h.id);
    PutU32(out + 12, uint32_t(h.status));
    PutU32(out + 16, h.length);
}

// False for a wrong magic, a wrong version or a payload over kMaxPayload.
inline bool DecodeHeader(const uint8_t* in, Header& h) {
    if (std::memcmp(in, kMagic, 4) != 0)
        return false;
    h.version = GetU16(in + 4);
    h.op = GetU16(in + 6);
    h.id = GetU32(in + 8);
    h.status = int32_t(GetU32(in + 12));
    h.length = GetU32(in + 16);
    return h.version == kVersion && h.length <= kMaxPayload;
}

inline void EncodeReadWrite(const ReadWriteRequest& r, uint8_t* out) {
    std::memcpy(out, r.netId, 6);
    PutU16(out + 6, r.port);
    PutU32(out + 8, r.indexGroup);
    PutU32(out + 12, r.indexOffset);
    PutU32(out + 16, r.readLength);
    PutU32(out + 20, r.writeLength);
}

// False unless the payload is exactly the fixed part plus writeLength bytes.
inline bool DecodeReadWrite(const uint8_t* in, size_t n, ReadWriteRequest& r) {
    if (n < kReadWriteFixed)
        return false;
    std::memcpy(r.netId, in, 6);
    r.port = GetU16(in + 6);
    r.indexGroup = GetU32(in + 8);
    r.indexOffset = GetU32(in + 12);
    r.readLength = GetU32(in + 16);
    r.writeLength = GetU32(in + 20);
    return r.writeLength == n - kReadWriteFixed;
}

} // namespace zelwire
