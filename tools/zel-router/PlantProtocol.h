// Runtime exchanges with the demo plant: the bytes the visualisation sends after the command
// word, and the plant's answers. Integers and floats (IEEE 754 single) are little-endian.
//
//   request              answer
//   01                   81 state        read all values
//   02 item f32          81 state        write a setting (Item), then read all values
//   03 mask              81 state        acknowledge the alarms whose bits are set
//   anything else        FF code         refused (Error); nothing has changed
//
// State (kStateSize bytes, after the 81):
//    1 u8  switches: bit 0 pump, 1 heater control, 2 conveyor, 3 heater blocked by low level
//    2 u8  alarms active          (bit = Alarm)
//    3 u8  alarms unacknowledged  (bit = Alarm)
//    4 u32 plant time, ms since the runtime started (wraps)
//    8 f32 level %            12 f32 inflow m³/h        16 f32 outflow m³/h
//   20 f32 valve command %    24 f32 valve position %   28 f32 temperature °C
//   32 f32 setpoint °C        36 f32 heater output %    40 u32 parts counted
//   44 u32 × 3  plant time at which each alarm was last raised
#pragma once

#include "Plant.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

namespace zelrouter::plant {

enum Request : uint8_t { kRead = 0x01, kWrite = 0x02, kAcknowledge = 0x03 };
constexpr uint8_t kStateAnswer = 0x81, kErrorAnswer = 0xFF;
constexpr size_t kStateSize = 56, kErrorSize = 2;

enum class Error : uint8_t {
    Empty = 1,          // no request byte at all
    UnknownRequest = 2, // first byte is no request
    BadLength = 3,      // request cut short, or bytes after its end
    UnknownItem = 4,    // write of an item that does not exist
    BadValue = 5,       // not a number, out of range, or a switch value other than 0 or 1
    UnknownAlarm = 6,   // acknowledge mask with no bit, or a bit of no alarm
    AnswerTooLong = 7,  // the read length cannot hold the state: nothing was done
};

// Decodes one request of n bytes, carries it out on the process and returns the answer,
// at most maxAnswer bytes (empty when not even a refusal fits). Reads only request[0, n).
std::vector<uint8_t> Handle(const uint8_t* request, size_t n, Process& process, size_t maxAnswer);

// The state answer for the process as it is.
std::vector<uint8_t> EncodeState(const Process& process);

// The plant as the router runs it: advanced to the clock's time before each exchange.
class Runtime {
public:
    using Clock = std::function<std::chrono::steady_clock::time_point()>;
    explicit Runtime(Clock clock = std::chrono::steady_clock::now, uint64_t seed = kSeed);

    std::vector<uint8_t> Exchange(const uint8_t* request, size_t n, size_t maxAnswer);
    const Process& process() const { return process_; }

private:
    Clock clock_;
    std::chrono::steady_clock::time_point start_;
    Process process_;
};

} // namespace zelrouter::plant
