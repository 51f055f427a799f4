#include "PlantProtocol.h"

#include "ZelWire.h"

#include <cstring>

namespace zelrouter::plant {

namespace {

constexpr double kCubicMetresPerHour = 3.6; // per L/s

void PutF32(uint8_t* p, double v) {
    const float f = float(v);
    uint32_t bits;
    std::memcpy(&bits, &f, 4);
    zelwire::PutU32(p, bits);
}

float GetF32(const uint8_t* p) {
    const uint32_t bits = zelwire::GetU32(p);
    float f;
    std::memcpy(&f, &bits, 4);
    return f;
}

std::vector<uint8_t> Refuse(Error e, size_t maxAnswer) {
    if (maxAnswer < kErrorSize)
        return {};
    return {kErrorAnswer, uint8_t(e)};
}

Error FromRefusal(Refusal r) {
    switch (r) {
    case Refusal::UnknownItem:
        return Error::UnknownItem;
    case Refusal::UnknownAlarm:
        return Error::UnknownAlarm;
    default:
        return Error::BadValue;
    }
}

// Bytes each request takes, its first byte included; 0 for no request.
size_t RequestSize(uint8_t op) {
    switch (op) {
    case kRead:
        return 1;
    case kWrite:
        return 6;
    case kAcknowledge:
        return 2;
    default:
        return 0;
    }
}

} // namespace

std::vector<uint8_t> EncodeState(const Process& p) {
    std::vector<uint8_t> out(kStateSize, 0);
    uint8_t* b = out.data();
    b[0] = kStateAnswer;
    b[1] = uint8_t(p.pump | p.heater << 1 | p.conveyor << 2 | p.heaterBlocked << 3);
    for (int i = 0; i < kAlarmCount; ++i) {
        b[2] |= uint8_t(p.alarms[i].active << i);
        b[3] |= uint8_t(p.alarms[i].unacknowledged << i);
        zelwire::PutU32(b + 44 + 4 * i, p.alarms[i].raisedMs);
    }
    zelwire::PutU32(b + 4, p.TimeMs());
    PutF32(b + 8, p.level);
    PutF32(b + 12, p.Inflow() * kCubicMetresPerHour);
    PutF32(b + 16, p.Outflow() * kCubicMetresPerHour);
    PutF32(b + 20, p.valveCommand);
    PutF32(b + 24, p.valvePosition);
    PutF32(b + 28, p.measuredTemperature);
    PutF32(b + 32, p.setpoint);
    PutF32(b + 36, p.heaterOutput);
    zelwire::PutU32(b + 40, p.parts);
    return out;
}

std::vector<uint8_t> Handle(const uint8_t* request, size_t n, Process& process, size_t maxAnswer) {
    if (n == 0)
        return Refuse(Error::Empty, maxAnswer);
    const uint8_t op = request[0];
    const size_t size = RequestSize(op);
    if (size == 0)
        return Refuse(Error::UnknownRequest, maxAnswer);
    if (n != size)
        return Refuse(Error::BadLength, maxAnswer);
    // Checked before anything is carried out, so a write never goes unanswered.
    if (maxAnswer < kStateSize)
        return Refuse(Error::AnswerTooLong, maxAnswer);

    Refusal r = Refusal::None;
    if (op == kWrite)
        r = Write(process, request[1], GetF32(request + 2));
    else if (op == kAcknowledge)
        r = Acknowledge(process, request[1]);
    if (r != Refusal::None)
        return Refuse(FromRefusal(r), maxAnswer);
    return EncodeState(process);
}

Runtime::Runtime(Clock clock, uint64_t seed)
    : clock_(std::move(clock)), start_(clock_()), process_(seed) {}

std::vector<uint8_t> Runtime::Exchange(const uint8_t* request, size_t n, size_t maxAnswer) {
    const auto elapsed = clock_() - start_;
    if (elapsed.count() > 0)
        AdvanceTo(process_, uint64_t(elapsed / std::chrono::milliseconds(kStepMs)));
    return Handle(request, n, process_, maxAnswer);
}

} // namespace zelrouter::plant
