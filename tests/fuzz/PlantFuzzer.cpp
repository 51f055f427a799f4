// The demo plant's request decoder (zelrouter::plant::Handle) on fuzzed runtime exchanges, a
// sequence of them with time passing in between.
// Checked: the answer fits the read length; it is a whole state answer or a two-byte refusal
// with a known code; a refused request changes nothing; whatever is written, the plant's
// values stay within their physical ranges and finite.
//
// Input, repeated: one byte n (the request's length, 0 to 15), one byte for the read length
// and the time that passes (low 3 bits: read length choice; high bits: steps to run), then the
// n request bytes. The request is copied to a block of exactly n bytes, so a read beyond it is
// caught.
#include "FuzzCheck.h"
#include "PlantProtocol.h"

#include <cmath>
#include <cstring>
#include <memory>

using namespace zelrouter::plant;

namespace {

constexpr size_t kReadLengths[] = {0, 1, 2, 55, 56, 57, 100, 50000};

void CheckRanges(const Process& p) {
    auto within = [](double v, double lo, double hi) { return std::isfinite(v) && v >= lo && v <= hi; };
    FUZZ_CHECK(within(p.litres, 0, kTankLitres), "litres %f", p.litres);
    FUZZ_CHECK(within(p.level, -1, 101), "level %f", p.level);
    FUZZ_CHECK(within(p.valveCommand, 0, 100), "valve command %f", p.valveCommand);
    FUZZ_CHECK(within(p.valvePosition, 0, 100), "valve position %f", p.valvePosition);
    FUZZ_CHECK(within(p.setpoint, kSetpointMinC, kSetpointMaxC), "setpoint %f", p.setpoint);
    FUZZ_CHECK(within(p.heaterOutput, 0, 100), "heater output %f", p.heaterOutput);
    FUZZ_CHECK(within(p.temperature, -50, 500), "temperature %f", p.temperature);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(uint8_t const* data, size_t size) {
    Process process;
    size_t at = 0;
    while (at + 2 <= size) {
        size_t const n = std::min<size_t>(data[at] & 15, size - at - 2);
        size_t const maxAnswer = kReadLengths[data[at + 1] & 7];
        uint64_t const steps = data[at + 1] >> 3;
        std::unique_ptr<uint8_t[]> request(new uint8_t[n ? n : 1]);
        std::memcpy(request.get(), data + at + 2, n);
        at += 2 + n;

        AdvanceTo(process, process.steps + steps);
        std::vector<uint8_t> const before = EncodeState(process);
        std::vector<uint8_t> const answer = Handle(request.get(), n, process, maxAnswer);

        FUZZ_CHECK(answer.size() <= maxAnswer, "answer of %zu bytes for %zu", answer.size(),
                   maxAnswer);
        if (answer.empty()) {
            FUZZ_CHECK(maxAnswer < kErrorSize, "no answer with room for one");
            FUZZ_CHECK(EncodeState(process) == before, "changed without an answer");
        } else if (answer[0] == kErrorAnswer) {
            FUZZ_CHECK(answer.size() == kErrorSize, "refusal of %zu bytes", answer.size());
            FUZZ_CHECK(answer[1] >= 1 && answer[1] <= 7, "refusal code %u", answer[1]);
            FUZZ_CHECK(EncodeState(process) == before, "a refused request changed the plant");
        } else {
            FUZZ_CHECK(answer[0] == kStateAnswer, "answer kind %u", answer[0]);
            FUZZ_CHECK(answer.size() == kStateSize, "state of %zu bytes", answer.size());
            FUZZ_CHECK(n > 0 && (request[0] == kRead || request[0] == kWrite ||
                                 request[0] == kAcknowledge),
                       "request %u accepted", n ? request[0] : 0);
        }
        CheckRanges(process);
    }
    return 0;
}
