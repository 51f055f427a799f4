// The demo plant behind `zel-router --runtime plant`: a tank filled by a pump and drained
// through a valve, with a heater under temperature control and a conveyor that counts parts.
// The simulation runs in fixed steps, so its state depends only on how many steps have run:
// the same elapsed time gives the same values, whatever the pattern of requests.
#pragma once

#include <array>
#include <cstdint>

namespace zelrouter::plant {

constexpr uint32_t kStepMs = 50;
constexpr uint64_t kSeed = 0x5EED; // of the sensor noise and the part spacing
// Catch-up after a long pause runs at most this many steps; older time is skipped.
constexpr uint64_t kMaxCatchUpSteps = 3600 * 1000 / kStepMs;

// Tank and pipes.
constexpr double kTankLitres = 200;
constexpr double kPumpLitresPerS = 8;    // inflow while the pump runs
constexpr double kValveLitresPerS = 12;  // outflow, valve fully open, tank full
constexpr double kValvePercentPerS = 25; // valve travel speed
// Temperature: heating rate at full output, cooling towards the surroundings.
constexpr double kAmbientC = 18;
constexpr double kHeatCPerS = 0.6;
constexpr double kCoolingTimeS = 100;
constexpr double kHeaterGain = 20;        // % output per °C below the setpoint
constexpr double kHeaterResetPerS = 0.02; // integral action, 1/s
// Conveyor: one part every kPartGapS ± kPartJitterS while it runs.
constexpr double kPartGapS = 1.0, kPartJitterS = 0.3;
// Sensor noise, peak.
constexpr double kLevelNoisePercent = 0.25, kTemperatureNoiseC = 0.05;

// Alarm limits, each with a small band so that noise does not make them chatter.
constexpr double kLevelHighPercent = 90, kLevelLowPercent = 10, kTemperatureHighC = 70;
constexpr double kHysteresis = 2;

// Writable items: what a write request names, and the values each one takes.
enum class Item : uint8_t {
    Pump = 1,      // 0 stop, 1 run
    Valve = 2,     // outlet valve command, 0..100 %
    Heater = 3,    // 0 off, 1 temperature control on
    Setpoint = 4,  // temperature setpoint, 5..90 °C
    Conveyor = 5,  // 0 stop, 1 run
    PartCount = 6, // only 0: resets the counter
};
constexpr double kSetpointMinC = 5, kSetpointMaxC = 90;

enum Alarm : uint8_t { LevelHigh = 0, LevelLow = 1, TemperatureHigh = 2, kAlarmCount = 3 };
constexpr uint8_t kAllAlarms = (1u << kAlarmCount) - 1;

struct AlarmState {
    bool active = false;         // the condition holds now
    bool unacknowledged = false; // raised and not yet acknowledged by an operator
    uint32_t raisedMs = 0;       // plant time of the last raise
};

// Small deterministic generator (xorshift64*), so a seed gives the same noise everywhere.
class Noise {
public:
    explicit Noise(uint64_t seed) : s_(seed ? seed : 1) {}
    // Uniform in [-1, 1).
    double Next();

private:
    uint64_t s_;
};

struct Process {
    explicit Process(uint64_t seed = kSeed) : noise(seed) {}

    uint64_t steps = 0; // steps run or skipped since the start
    Noise noise;

    // Operator settings.
    bool pump = true;
    double valveCommand = 80;
    bool heater = true;
    double setpoint = 45;
    bool conveyor = true;

    // The process itself.
    double litres = 0.5 * kTankLitres;
    double valvePosition = 80;
    double temperature = 20;
    double heaterIntegral = 0;
    double heaterOutput = 0;
    bool heaterBlocked = false; // low level: the heater would run dry
    double nextPartS = kPartGapS;
    uint32_t parts = 0;

    // Measurements, sensor noise included.
    double level = 50;
    double measuredTemperature = 20;

    std::array<AlarmState, kAlarmCount> alarms{};

    uint32_t TimeMs() const { return uint32_t(steps * kStepMs); }
    double Inflow() const { return pump ? kPumpLitresPerS : 0; } // L/s
    double Outflow() const;                                      // L/s
};

// Runs one step of kStepMs.
void Step(Process& p);
// Runs the steps up to `targetSteps` since the start (none when it is not ahead).
void AdvanceTo(Process& p, uint64_t targetSteps);

// Operator actions. Each refuses a value it cannot take and then changes nothing.
enum class Refusal { None, UnknownItem, BadValue, UnknownAlarm };
Refusal Write(Process& p, uint8_t item, float value);
// Acknowledges every alarm whose bit is set; bits of no alarm, or none at all, are refused.
Refusal Acknowledge(Process& p, uint8_t mask);

} // namespace zelrouter::plant
