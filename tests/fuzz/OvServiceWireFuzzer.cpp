// The system library's frames (platform/system/OvServiceWire.h): fuzzed bytes fed to a
// FrameReader in fuzzed chunks, as the stand-in and ov-service receive them. Checked: every
// frame taken encodes back to exactly the bytes it came from; Bad comes only at a wrong magic
// byte or an over-long payload, and ends the stream; the buffer never holds more than one frame
// and one chunk.
//
// Input: byte 0 seeds the chunk sizes, the rest is the stream.
#include "FuzzCheck.h"
#include "OvServiceWire.h"

#include <string>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(uint8_t const* data, size_t size) {
    if (size < 1)
        return 0;
    uint32_t seed = data[0] * 2654435761u + 7;
    std::string_view const stream(reinterpret_cast<char const*>(data) + 1, size - 1);
    constexpr size_t kChunk = 64;

    ovwire::FrameReader reader;
    std::string taken; // the bytes of the frames taken so far, encoded again
    size_t fed = 0;
    bool bad = false;
    while (fed < stream.size() && !bad) {
        seed = seed * 1103515245u + 12345u;
        size_t const n = std::min(stream.size() - fed, 1 + (seed >> 8) % kChunk);
        reader.Feed(stream.data() + fed, n);
        fed += n;
        for (;;) {
            ovwire::Frame frame;
            auto const got = reader.Next(frame);
            if (got == ovwire::FrameReader::NeedMore)
                break;
            if (got == ovwire::FrameReader::Bad) {
                bad = true;
                break;
            }
            std::string encoded;
            FUZZ_CHECK(ovwire::Encode(frame.type, frame.payload, encoded), "frame too long");
            taken += encoded;
        }
        FUZZ_CHECK(reader.Buffered() <= ovwire::kHeaderSize + ovwire::kMaxPayload + kChunk,
                   "%zu bytes buffered", reader.Buffered());
    }
    // The frames taken are the stream's beginning, byte for byte.
    FUZZ_CHECK(stream.substr(0, taken.size()) == taken, "frames differ from the stream");
    std::string_view const left = stream.substr(taken.size(), fed - taken.size());
    if (bad) {
        bool const wrongMagic =
            std::string_view(ovwire::kMagic, 4).substr(0, std::min<size_t>(4, left.size())) !=
            left.substr(0, std::min<size_t>(4, left.size()));
        bool const tooLong = left.size() >= ovwire::kHeaderSize &&
                             ovwire::GetU32(left.data() + 8) > ovwire::kMaxPayload;
        FUZZ_CHECK(wrongMagic || tooLong, "a good frame refused");
    } else {
        FUZZ_CHECK(reader.Buffered() == left.size(), "bytes lost");
    }
    return 0;
}
