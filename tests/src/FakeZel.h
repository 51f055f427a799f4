// A scriptable double of the link library, linked into unit tests in place of the real one.
#pragma once

#include "OvZel.h"

#include <map>
#include <optional>
#include <string>
#include <vector>

struct FakeZel {
    // Port and address calls.
    int32_t portEnabled = 0;
    int32_t portOpenResult = 7;
    int32_t localStatus = 0;
    ZelNetId localNetId{{10, 1, 2, 3, 1, 1}};
    ZelNetId failedNetId{{9, 9, 9, 9, 9, 9}}; // what a failed local-address call leaves behind

    // Runtime read-writes: the answer is the payload unless `answer` is set.
    int32_t rwStatus = 0;
    std::optional<std::string> answer;
    std::optional<uint32_t> reportedCount; // a count the link reports regardless of the answer
    struct ReadWrite {
        ZelAddr addr;
        uint32_t group, offset, readLength, writeLength;
        std::string data;
    };
    std::vector<ReadWrite> readWrites;

    // Registry service: "key path\0value name" -> the bytes it answers (a missing entry fails).
    int32_t createClientStatus = 0;
    int32_t createSyncStatus = 0;
    std::map<std::string, std::string> registry;
    std::vector<std::string> regRequests;
    std::vector<uint32_t> regReadLengths;
    int clientsMade = 0, clientsReleased = 0, syncsMade = 0, syncsReleased = 0;
    ZelNetId syncNetId{};
    uint16_t syncPort = 0;

    std::vector<std::string> calls; // names of the library functions called, in order

    void SetValue(const std::string& key, const std::string& name, const std::string& bytes) {
        registry[key + std::string(1, '\0') + name] = bytes;
    }
};

extern FakeZel g_fakeZel;
