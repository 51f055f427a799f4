// The demo plant: its request decoder, the state answer, operator actions, the physics, and
// the plant behind a running zel-router.
#include "OvZel.h"
#include "PlantProtocol.h"
#include "RunningRouter.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <functional>
#include <limits>
#include <memory>

using namespace std::chrono_literals;
using namespace zelrouter::plant;
using Bytes = std::vector<uint8_t>;

namespace {

// The state answer read back field by field at the offsets the page uses.
struct State {
    bool pump, heater, conveyor, heaterBlocked;
    uint8_t active, unacknowledged;
    uint32_t timeMs;
    float level, inflow, outflow, valveCommand, valvePosition, temperature, setpoint, heaterOutput;
    uint32_t parts;
    uint32_t raisedMs[3];
};

uint32_t U32(const Bytes& b, size_t at) {
    return uint32_t(b[at]) | uint32_t(b[at + 1]) << 8 | uint32_t(b[at + 2]) << 16 |
           uint32_t(b[at + 3]) << 24;
}
float F32(const Bytes& b, size_t at) {
    uint32_t bits = U32(b, at);
    float f;
    std::memcpy(&f, &bits, 4);
    return f;
}

State Decode(const Bytes& b) {
    EXPECT_EQ(b.size(), 56u);
    EXPECT_EQ(b.at(0), 0x81);
    State s{};
    if (b.size() != 56)
        return s;
    s.pump = b[1] & 1;
    s.heater = b[1] & 2;
    s.conveyor = b[1] & 4;
    s.heaterBlocked = b[1] & 8;
    s.active = b[2];
    s.unacknowledged = b[3];
    s.timeMs = U32(b, 4);
    s.level = F32(b, 8);
    s.inflow = F32(b, 12);
    s.outflow = F32(b, 16);
    s.valveCommand = F32(b, 20);
    s.valvePosition = F32(b, 24);
    s.temperature = F32(b, 28);
    s.setpoint = F32(b, 32);
    s.heaterOutput = F32(b, 36);
    s.parts = U32(b, 40);
    for (int i = 0; i < 3; ++i)
        s.raisedMs[i] = U32(b, 44 + 4 * i);
    return s;
}

Bytes WriteRequest(uint8_t item, float value) {
    Bytes r = {0x02, item, 0, 0, 0, 0};
    uint32_t bits;
    std::memcpy(&bits, &value, 4);
    for (int i = 0; i < 4; ++i)
        r[2 + i] = uint8_t(bits >> (8 * i));
    return r;
}

// Hands the decoder a buffer of exactly the request's size, so a read past it is a heap
// overrun that the sanitizers report.
Bytes Send(Process& p, const Bytes& request, size_t maxAnswer = 50000) {
    std::unique_ptr<uint8_t[]> exact(new uint8_t[request.size()]);
    if (!request.empty())
        std::memcpy(exact.get(), request.data(), request.size());
    return Handle(request.empty() ? nullptr : exact.get(), request.size(), p, maxAnswer);
}

State Read(Process& p) {
    return Decode(Send(p, {0x01}));
}

void RunFor(Process& p, std::chrono::milliseconds t) {
    AdvanceTo(p, p.steps + uint64_t(t / std::chrono::milliseconds(kStepMs)));
}

// Runs until done() holds, at most `limit` of plant time.
bool RunUntil(Process& p, const std::function<bool(const State&)>& done,
              std::chrono::seconds limit) {
    for (auto t = 0s; t < limit; t += 1s) {
        if (done(Read(p)))
            return true;
        RunFor(p, 1s);
    }
    return done(Read(p));
}

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();

} // namespace

TEST(PlantProtocol, RefusesBadRequestsAndChangesNothing) {
    struct Case {
        const char* what;
        Bytes request;
        size_t maxAnswer;
        Bytes answer;
    } cases[] = {
        {"empty", {}, 50000, {0xFF, 0x01}},
        {"unknown request 00", {0x00}, 50000, {0xFF, 0x02}},
        {"unknown request 04", {0x04, 0x01}, 50000, {0xFF, 0x02}},
        {"an answer code sent back", {0x81}, 50000, {0xFF, 0x02}},
        {"read with a trailing byte", {0x01, 0x00}, 50000, {0xFF, 0x03}},
        {"write cut short", {0x02, 0x04, 0, 0, 0x70}, 50000, {0xFF, 0x03}},
        {"write with a trailing byte", {0x02, 0x04, 0, 0, 0x70, 0x42, 0}, 50000, {0xFF, 0x03}},
        {"acknowledge without mask", {0x03}, 50000, {0xFF, 0x03}},
        {"acknowledge with two masks", {0x03, 0x01, 0x01}, 50000, {0xFF, 0x03}},
        {"oversized", Bytes(9996, 0x01), 50000, {0xFF, 0x03}},
        {"write of item 0", WriteRequest(0, 1), 50000, {0xFF, 0x04}},
        {"write of item 7", WriteRequest(7, 1), 50000, {0xFF, 0x04}},
        {"pump 0.5", WriteRequest(1, 0.5f), 50000, {0xFF, 0x05}},
        {"pump 2", WriteRequest(1, 2), 50000, {0xFF, 0x05}},
        {"valve NaN", WriteRequest(2, kNaN), 50000, {0xFF, 0x05}},
        {"valve over 100", WriteRequest(2, 100.5f), 50000, {0xFF, 0x05}},
        {"valve below 0", WriteRequest(2, -1), 50000, {0xFF, 0x05}},
        {"setpoint infinite", WriteRequest(4, kInf), 50000, {0xFF, 0x05}},
        {"setpoint over 90", WriteRequest(4, 91), 50000, {0xFF, 0x05}},
        {"setpoint below 5", WriteRequest(4, 4.9f), 50000, {0xFF, 0x05}},
        {"part count set to 5", WriteRequest(6, 5), 50000, {0xFF, 0x05}},
        {"acknowledge nothing", {0x03, 0x00}, 50000, {0xFF, 0x06}},
        {"acknowledge alarm bit 3", {0x03, 0x08}, 50000, {0xFF, 0x06}},
        {"read length one short", {0x01}, 55, {0xFF, 0x07}},
        {"write, read length too short", WriteRequest(4, 60), 2, {0xFF, 0x07}},
        {"read length 1: no room for a refusal", {0x01}, 1, {}},
        {"read length 0", {0x00}, 0, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Process p;
        RunFor(p, 5s);
        const Bytes before = EncodeState(p);
        EXPECT_EQ(Send(p, c.request, c.maxAnswer), c.answer);
        EXPECT_EQ(EncodeState(p), before);
    }
}

TEST(PlantProtocol, EveryCutOfARequestIsRefused) {
    const Bytes whole[] = {WriteRequest(4, 60), {0x03, 0x01}, {0x01}};
    for (const Bytes& request : whole) {
        for (size_t n = 0; n < request.size(); ++n) {
            SCOPED_TRACE(testing::Message()
                         << "request " << int(request[0]) << ", " << n << " bytes");
            Process p;
            const Bytes before = EncodeState(p);
            const Bytes answer = Send(p, Bytes(request.begin(), request.begin() + n));
            ASSERT_EQ(answer.size(), 2u);
            EXPECT_EQ(answer[0], 0xFF);
            EXPECT_EQ(EncodeState(p), before);
        }
    }
}

TEST(PlantProtocol, ReadAnswersTheStartingPlant) {
    Process p;
    const State s = Read(p);
    EXPECT_TRUE(s.pump);
    EXPECT_TRUE(s.heater);
    EXPECT_TRUE(s.conveyor);
    EXPECT_FALSE(s.heaterBlocked);
    EXPECT_EQ(s.active, 0);
    EXPECT_EQ(s.unacknowledged, 0);
    EXPECT_EQ(s.timeMs, 0u);
    EXPECT_FLOAT_EQ(s.level, 50);
    EXPECT_FLOAT_EQ(s.inflow, 28.8f); // 8 L/s
    EXPECT_FLOAT_EQ(s.valveCommand, 80);
    EXPECT_FLOAT_EQ(s.valvePosition, 80);
    EXPECT_NEAR(s.outflow, 12 * 0.8 * std::sqrt(0.5) * 3.6, 1e-3);
    EXPECT_FLOAT_EQ(s.temperature, 20);
    EXPECT_FLOAT_EQ(s.setpoint, 45);
    EXPECT_EQ(s.parts, 0u);

    RunFor(p, 3s);
    const State later = Read(p);
    EXPECT_EQ(later.timeMs, 3000u);
    EXPECT_NE(later.level, s.level);
    EXPECT_GT(later.parts, 0u);
}

TEST(PlantProtocol, WritesAreReadBack) {
    struct Case {
        const char* what;
        uint8_t item;
        float value;
        std::function<bool(const State&)> readBack;
    } cases[] = {
        {"pump off", 1, 0, [](const State& s) { return !s.pump && s.inflow == 0; }},
        {"pump on", 1, 1, [](const State& s) { return s.pump; }},
        {"valve 35 %", 2, 35, [](const State& s) { return s.valveCommand == 35; }},
        {"valve fully open", 2, 100, [](const State& s) { return s.valveCommand == 100; }},
        {"heater off", 3, 0, [](const State& s) { return !s.heater && s.heaterOutput == 0; }},
        {"setpoint 60.5 °C", 4, 60.5f, [](const State& s) { return s.setpoint == 60.5f; }},
        {"setpoint at its lower end", 4, 5, [](const State& s) { return s.setpoint == 5; }},
        {"conveyor off", 5, 0, [](const State& s) { return !s.conveyor; }},
        {"part count reset", 6, 0, [](const State& s) { return s.parts == 0; }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Process p;
        RunFor(p, 5s);
        EXPECT_TRUE(c.readBack(Decode(Send(p, WriteRequest(c.item, c.value)))));
        if (c.item == 6)
            continue; // the count moves on
        RunFor(p, 1s);
        EXPECT_TRUE(c.readBack(Read(p))) << "still so a second later";
    }
}

TEST(PlantProtocol, ValveTravelsToItsCommand) {
    Process p;
    Send(p, WriteRequest(2, 30));
    RunFor(p, 1s);
    const State moving = Read(p);
    EXPECT_GT(moving.valvePosition, 30);
    EXPECT_LT(moving.valvePosition, 80);
    RunFor(p, 2s);
    EXPECT_FLOAT_EQ(Read(p).valvePosition, 30);
}

TEST(PlantProtocol, LevelAlarmIsRaisedAcknowledgedAndCleared) {
    Process p;
    Send(p, WriteRequest(2, 0)); // valve shut, pump running: the tank fills
    ASSERT_TRUE(RunUntil(
        p, [](const State& s) { return s.active & 1; }, 60s));
    State s = Read(p);
    EXPECT_GE(s.level, 90);
    EXPECT_EQ(s.active, 1);
    EXPECT_EQ(s.unacknowledged, 1);
    EXPECT_GT(s.raisedMs[0], 0u);
    EXPECT_LE(s.raisedMs[0], s.timeMs);

    s = Decode(Send(p, {0x03, 0x01}));
    EXPECT_EQ(s.active, 1) << "acknowledging does not clear the condition";
    EXPECT_EQ(s.unacknowledged, 0);

    Send(p, WriteRequest(1, 0));
    Send(p, WriteRequest(2, 100));
    ASSERT_TRUE(RunUntil(
        p, [](const State& s) { return s.level < 80; }, 60s));
    s = Read(p);
    EXPECT_EQ(s.active, 0);
    EXPECT_EQ(s.unacknowledged, 0);
}

TEST(PlantProtocol, AlarmThatClearsUnacknowledgedStaysUntilAcknowledged) {
    Process p;
    Send(p, WriteRequest(1, 0)); // pump off, valve fully open: the tank drains
    Send(p, WriteRequest(2, 100));
    ASSERT_TRUE(RunUntil(
        p, [](const State& s) { return s.active & 2; }, 120s));
    State s = Read(p);
    EXPECT_TRUE(s.heaterBlocked) << "no heating in an empty tank";
    EXPECT_EQ(s.heaterOutput, 0);

    Send(p, WriteRequest(1, 1));
    Send(p, WriteRequest(2, 0));
    ASSERT_TRUE(RunUntil(
        p, [](const State& s) { return s.level > 30; }, 60s));
    s = Read(p);
    EXPECT_EQ(s.active, 0);
    EXPECT_EQ(s.unacknowledged, 2);
    EXPECT_FALSE(s.heaterBlocked);
    EXPECT_EQ(Decode(Send(p, {0x03, 0x07})).unacknowledged, 0);
}

TEST(PlantProtocol, TemperatureAlarmAboveSeventyDegrees) {
    Process p;
    Send(p, WriteRequest(4, 90));
    ASSERT_TRUE(RunUntil(
        p, [](const State& s) { return s.active & 4; }, 300s));
    EXPECT_GE(Read(p).temperature, 70);
    EXPECT_EQ(Read(p).unacknowledged, 4);
}

TEST(PlantPhysics, Directions) {
    struct Case {
        const char* what;
        std::vector<Bytes> writes;
        std::function<double(const State&)> value;
        int direction; // +1 rises, -1 falls, 0 stays
    } cases[] = {
        {"pump on, valve shut: level rises",
         {WriteRequest(2, 0)},
         [](const State& s) { return s.level; },
         +1},
        {"pump off, valve open: level falls",
         {WriteRequest(1, 0)},
         [](const State& s) { return s.level; },
         -1},
        {"pump off, valve shut: level holds",
         {WriteRequest(1, 0), WriteRequest(2, 0)},
         [](const State& s) { return s.level; },
         0},
        {"setpoint far above: temperature rises",
         {WriteRequest(4, 80)},
         [](const State& s) { return s.temperature; },
         +1},
        {"heater off: temperature falls",
         {WriteRequest(3, 0)},
         [](const State& s) { return s.temperature; },
         -1},
        {"conveyor running: parts are counted", {}, [](const State& s) { return s.parts; }, +1},
        {"conveyor stopped: count holds",
         {WriteRequest(5, 0)},
         [](const State& s) { return s.parts; },
         0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Process p;
        RunFor(p, 60s); // warm, settled, some parts counted
        for (const Bytes& w : c.writes)
            ASSERT_EQ(Send(p, w).at(0), 0x81);
        RunFor(p, 3s); // the valve has travelled
        const double before = c.value(Read(p));
        RunFor(p, 8s);
        const double change = c.value(Read(p)) - before;
        if (c.direction == 0)
            EXPECT_NEAR(change, 0, 1.0); // within the sensor noise
        else
            EXPECT_GT(change * c.direction, 1.0);
    }
}

TEST(PlantRuntime, StateDependsOnlyOnElapsedTime) {
    auto now = std::chrono::steady_clock::time_point{};
    auto clock = [&now] { return now; };
    Runtime often(clock), once(clock), otherSeed(clock, 42);
    const uint8_t read = 0x01;
    for (int i = 0; i < 400; ++i) { // irregular polls, 20 s in all
        now += std::chrono::milliseconds(i % 3 == 0 ? 17 : 58 - i % 7);
        often.Exchange(&read, 1, 50000);
    }
    const Bytes a = often.Exchange(&read, 1, 50000);
    EXPECT_EQ(once.Exchange(&read, 1, 50000), a);
    auto elapsedMs = [&now] {
        return uint32_t(
            std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count());
    };
    EXPECT_EQ(Decode(a).timeMs, elapsedMs() / 50 * 50);
    EXPECT_NE(Decode(otherSeed.Exchange(&read, 1, 50000)).level, Decode(a).level)
        << "the noise comes from the seed";

    // After a long pause the plant time still follows the clock (older time is skipped).
    now += 30h;
    EXPECT_EQ(Decode(once.Exchange(&read, 1, 50000)).timeMs, elapsedMs() / 50 * 50);
}

TEST(PlantRouter, AnswersAtRuntimePort) {
    RunningRouter router({"--runtime", "plant"});
    setenv("ZEL_ROUTER_SOCKET", router.Socket().c_str(), 1);
    setenv("ZEL_TIMEOUT_MS", "5000", 1);
    auto exchange = [](Bytes write, uint32_t readLength = 50000) {
        Bytes buf(readLength);
        uint32_t n = 0;
        ZelAddr addr{};
        addr.port = 851;
        EXPECT_EQ(ZelSyncReadWriteReqEx(&addr, 42, 42, readLength, buf.data(),
                                        uint32_t(write.size()), write.data(), &n),
                  0);
        buf.resize(std::min(n, readLength));
        return buf;
    };
    EXPECT_FLOAT_EQ(Decode(exchange(WriteRequest(4, 60))).setpoint, 60);
    EXPECT_FLOAT_EQ(Decode(exchange({0x01})).setpoint, 60);
    EXPECT_EQ(exchange({0x09}), (Bytes{0xFF, 0x02}));
    EXPECT_EQ(exchange({0x01}, 40), (Bytes{0xFF, 0x07}));
    EXPECT_NE(router.Log().find("data=020400007042 status=0"), std::string::npos) << router.Log();
    EXPECT_EQ(router.Stop(), 0);
}
