// The link's frames (platform/zel/ZelWire.h) as the stand-in and zel-router decode them: a
// header, then a read-write request's fixed part. Checked: whatever decodes keeps the rules
// (version, payload limit, exact write length) and encodes back to the same bytes.
#include "FuzzCheck.h"
#include "ZelWire.h"

#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(uint8_t const* data, size_t size) {
    if (size >= zelwire::kHeaderSize) {
        zelwire::Header h;
        if (zelwire::DecodeHeader(data, h)) {
            FUZZ_CHECK(h.version == zelwire::kVersion, "version %u", h.version);
            FUZZ_CHECK(h.length <= zelwire::kMaxPayload, "length %u", h.length);
            uint8_t again[zelwire::kHeaderSize];
            zelwire::EncodeHeader(h, again);
            FUZZ_CHECK(std::memcmp(again, data, sizeof again) == 0, "header round trip");
        } else {
            FUZZ_CHECK(std::memcmp(data, zelwire::kMagic, 4) != 0 ||
                           (data[4] | data[5] << 8) != zelwire::kVersion ||
                           zelwire::GetU32(data + 16) > zelwire::kMaxPayload,
                       "a good header refused");
        }
    }
    // The rest as a read-write request's payload.
    size_t const at = size >= zelwire::kHeaderSize ? zelwire::kHeaderSize : 0;
    uint8_t const* payload = data + at;
    size_t const n = size - at;
    zelwire::ReadWriteRequest r;
    if (zelwire::DecodeReadWrite(payload, n, r)) {
        FUZZ_CHECK(n >= zelwire::kReadWriteFixed && r.writeLength == n - zelwire::kReadWriteFixed,
                   "write length %u for %zu bytes", r.writeLength, n);
        uint8_t again[zelwire::kReadWriteFixed];
        zelwire::EncodeReadWrite(r, again);
        FUZZ_CHECK(std::memcmp(again, payload, sizeof again) == 0, "read-write round trip");
    } else {
        FUZZ_CHECK(n < zelwire::kReadWriteFixed ||
                       zelwire::GetU32(payload + 20) != n - zelwire::kReadWriteFixed,
                   "a good read-write refused");
    }
    return 0;
}
