#include "Plant.h"

#include <algorithm>
#include <cmath>

namespace zelrouter::plant {

namespace {

constexpr double kDt = kStepMs / 1000.0;

double Toward(double from, double to, double maxStep) {
    return from + std::clamp(to - from, -maxStep, maxStep);
}

// Triangular noise in [-peak, peak): two uniform draws, so small values are the common ones.
double Jitter(Noise& n, double peak) {
    return (n.Next() + n.Next()) / 2 * peak;
}

// Raises at `high`, clears below `high - kHysteresis` (or the mirror image for a low limit).
void Evaluate(AlarmState& a, bool beyond, bool back, uint32_t nowMs) {
    if (!a.active && beyond) {
        a.active = true;
        a.unacknowledged = true;
        a.raisedMs = nowMs;
    } else if (a.active && back) {
        a.active = false;
    }
}

void RunHeater(Process& p) {
    p.heaterBlocked = p.alarms[LevelLow].active;
    if (!p.heater || p.heaterBlocked) {
        p.heaterOutput = 0;
        p.heaterIntegral = 0;
        return;
    }
    // PI control on the measured temperature; the integral stops while the output is pinned
    // at a limit that the error pushes further (no wind-up).
    const double error = p.setpoint - p.measuredTemperature;
    const double unclamped = kHeaterGain * (error + p.heaterIntegral);
    const bool pinned = (unclamped >= 100 && error > 0) || (unclamped <= 0 && error < 0);
    if (!pinned)
        p.heaterIntegral =
            std::clamp(p.heaterIntegral + error * kHeaterResetPerS * kDt, 0.0, 100 / kHeaterGain);
    p.heaterOutput = std::clamp(kHeaterGain * (error + p.heaterIntegral), 0.0, 100.0);
}

} // namespace

double Noise::Next() {
    s_ ^= s_ >> 12;
    s_ ^= s_ << 25;
    s_ ^= s_ >> 27;
    const uint64_t r = s_ * 0x2545F4914F6CDD1DULL;
    return double(r >> 11) / double(1ULL << 52) - 1.0;
}

double Process::Outflow() const {
    return kValveLitresPerS * valvePosition / 100 * std::sqrt(litres / kTankLitres);
}

void Step(Process& p) {
    ++p.steps;
    const uint32_t now = p.TimeMs();

    p.valvePosition = Toward(p.valvePosition, p.valveCommand, kValvePercentPerS * kDt);
    p.litres = std::clamp(p.litres + (p.Inflow() - p.Outflow()) * kDt, 0.0, kTankLitres);

    RunHeater(p);
    p.temperature +=
        (p.heaterOutput / 100 * kHeatCPerS - (p.temperature - kAmbientC) / kCoolingTimeS) * kDt;

    if (p.conveyor) {
        p.nextPartS -= kDt;
        if (p.nextPartS <= 0) {
            ++p.parts;
            p.nextPartS += kPartGapS + kPartJitterS * p.noise.Next();
        }
    }

    p.level =
        std::clamp(p.litres / kTankLitres * 100 + Jitter(p.noise, kLevelNoisePercent), 0.0, 100.0);
    p.measuredTemperature = p.temperature + Jitter(p.noise, kTemperatureNoiseC);

    Evaluate(p.alarms[LevelHigh], p.level >= kLevelHighPercent,
             p.level < kLevelHighPercent - kHysteresis, now);
    Evaluate(p.alarms[LevelLow], p.level <= kLevelLowPercent,
             p.level > kLevelLowPercent + kHysteresis, now);
    Evaluate(p.alarms[TemperatureHigh], p.measuredTemperature >= kTemperatureHighC,
             p.measuredTemperature < kTemperatureHighC - kHysteresis, now);
}

void AdvanceTo(Process& p, uint64_t targetSteps) {
    if (targetSteps > p.steps + kMaxCatchUpSteps)
        p.steps = targetSteps - kMaxCatchUpSteps;
    while (p.steps < targetSteps)
        Step(p);
}

Refusal Write(Process& p, uint8_t item, float value) {
    if (!std::isfinite(value))
        return Refusal::BadValue;
    const bool isSwitch = value == 0 || value == 1;
    switch (Item(item)) {
    case Item::Pump:
    case Item::Heater:
    case Item::Conveyor: {
        if (!isSwitch)
            return Refusal::BadValue;
        bool& which = Item(item) == Item::Pump     ? p.pump
                      : Item(item) == Item::Heater ? p.heater
                                                   : p.conveyor;
        which = value == 1;
        if (!p.heater)
            p.heaterOutput = p.heaterIntegral = 0; // off at once, not at the next step
        return Refusal::None;
    }
    case Item::Valve:
        if (value < 0 || value > 100)
            return Refusal::BadValue;
        p.valveCommand = value;
        return Refusal::None;
    case Item::Setpoint:
        if (value < kSetpointMinC || value > kSetpointMaxC)
            return Refusal::BadValue;
        p.setpoint = value;
        return Refusal::None;
    case Item::PartCount:
        if (value != 0)
            return Refusal::BadValue;
        p.parts = 0;
        return Refusal::None;
    }
    return Refusal::UnknownItem;
}

Refusal Acknowledge(Process& p, uint8_t mask) {
    if (mask == 0 || (mask & ~kAllAlarms) != 0)
        return Refusal::UnknownAlarm;
    for (int i = 0; i < kAlarmCount; ++i)
        if (mask & (1u << i))
            p.alarms[i].unacknowledged = false;
    return Refusal::None;
}

} // namespace zelrouter::plant
