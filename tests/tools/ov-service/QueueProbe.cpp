// A small program for ov-service to drive: queue-probe [ADDRESS]
// Registers as "queue-probe" (with ADDRESS as the "Address" parameter when given), then answers
// each code with code*10; 5 answers 0 and ends with 0; 7 gets no answer; 9 ends with 3
// unanswered; a failed receive ends with 4.
#include "OvSystem.h"

#include <cstring>
#include <string>

namespace {

// A system string kept in a std::string: length prefix, characters, NUL.
struct SysString {
    explicit SysString(const char* text) : block(4 + strlen(text) + 1, '\0') {
        int32_t n = static_cast<int32_t>(strlen(text));
        memcpy(&block[0], &n, 4);
        memcpy(&block[4], text, static_cast<size_t>(n));
    }
    char* get() { return &block[4]; }
    std::string block;
};

} // namespace

int main(int argc, char* argv[]) {
    void* p = nullptr;
    if (CreateOvSystemObject(CLSID_OvServerMessageQueueFactory, IID_IOvServerMessageQueueFactory,
                             &p) < 0)
        return 1;
    auto* factory = static_cast<IOvServerMessageQueueFactory*>(p);
    IOvServerMessageQueue* queue = nullptr;
    int32_t hr = factory->CreateMessageQueue(argc > 1, &queue);
    factory->Release();
    if (hr < 0)
        return 2;
    SysString name("queue-probe");
    if (argc > 1) {
        SysString key("Address"), value(argv[1]);
        queue->SetParameter(key.get(), value.get());
    }
    queue->InitQueue(name.get());
    for (;;) {
        int32_t code = 0;
        if (queue->ReceiveMessage(&code) < 0)
            return 4;
        if (code == 7)
            continue;
        if (code == 9)
            return 3;
        queue->ReplyMessage(code == 5 ? 0 : code * 10);
        if (code == 5)
            break;
    }
    queue->Release();
    return 0;
}
