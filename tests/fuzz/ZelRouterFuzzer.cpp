// zel-router's request handling (Services::Handle) on fuzzed requests, with a small registry.
// Checked: a request is refused exactly when it breaks the frame rules; an answer fits the
// frame limit and the read length asked for; the runtime echoes the write data; registry reads
// answer the value and its terminating zero, cut to the read length.
//
// Input: bytes 0-1 the op (little-endian), byte 2 the runtime's behaviour, the rest the payload.
#include "FuzzCheck.h"
#include "RegistryIni.h"
#include "Router.h"

#include <string>

using namespace zelrouter;

namespace {

constexpr char kRegistry[] = "[SOFTWARE\\Orvane\\Runtime]\n"
                             "BootDir=/opt/orvane/boot/\n"
                             "InstallDir=/opt/orvane/\n"
                             "Empty=\n"
                             "[]\n"
                             "=nameless\n";

} // namespace

extern "C" int LLVMFuzzerTestOneInput(uint8_t const* data, size_t size) {
    if (size < 3)
        return 0;
    uint16_t const op = zelwire::GetU16(data);
    Options options;
    options.runtime = static_cast<Options::Runtime>(data[2] % 4);
    options.runtimeError = -1234;
    std::vector<uint8_t> const payload(data + 3, data + size);

    Services services(options);
    if (data[2] & 0x80)
        services.SetRegistry(ParseRegistryIni(kRegistry).registry);
    Reply reply;
    bool const handled = services.Handle(op, payload, reply);

    zelwire::ReadWriteRequest req;
    bool const isReadWrite = op == uint16_t(zelwire::Op::ReadWrite);
    bool const wellFormed =
        (op == uint16_t(zelwire::Op::PortOpen) && payload.empty()) ||
        (op == uint16_t(zelwire::Op::PortClose) && payload.size() == 4) ||
        (op == uint16_t(zelwire::Op::LocalAddress) && payload.empty()) ||
        (isReadWrite && zelwire::DecodeReadWrite(payload.data(), payload.size(), req));
    FUZZ_CHECK(handled == wellFormed, "op %u with %zu bytes: handled %d", op, payload.size(),
               handled);
    if (!handled)
        return 0;
    FUZZ_CHECK(!reply.logLine.empty(), "no log line");
    FUZZ_CHECK(reply.logLine.find('\n') == std::string::npos, "log line with a line end");
    FUZZ_CHECK(reply.data.size() <= zelwire::kMaxPayload, "answer of %zu bytes", reply.data.size());
    if (!isReadWrite)
        return 0;

    FUZZ_CHECK(reply.data.size() <= req.readLength, "answer longer than asked for");
    FUZZ_CHECK(reply.status == 0 || reply.data.empty(), "a failure with data");
    uint8_t const* write = payload.data() + zelwire::kReadWriteFixed;
    bool const local = std::all_of(req.netId, req.netId + 6, [](uint8_t b) { return b == 0; }) ||
                       std::equal(req.netId, req.netId + 6, options.netId.begin());
    if (local && req.port == kRuntimePort && req.indexGroup == kRuntimeGroup &&
        req.indexOffset == kRuntimeOffset && options.runtime == Options::Runtime::Echo) {
        size_t const n =
            std::min<size_t>(req.writeLength, std::min(req.readLength, zelwire::kMaxPayload));
        FUZZ_CHECK(reply.status == 0 && std::equal(write, write + n, reply.data.begin()) &&
                       reply.data.size() == n,
                   "echo of %zu bytes", n);
    }
    if (local && req.port == kRegistryPort && reply.status == 0) {
        FUZZ_CHECK(data[2] & 0x80, "a registry read answered without a registry");
        FUZZ_CHECK(reply.data.size() == req.readLength || reply.data.back() == 0,
                   "registry value without its zero");
    }
    return 0;
}
