#include "ServiceQueue.h"

#include <cstdlib>
#include <cstring>

char* SysAllocString(const char* text) {
    int32_t n = static_cast<int32_t>(strlen(text));
    auto* block = static_cast<char*>(malloc(static_cast<size_t>(n) + 5));
    if (!block)
        return nullptr;
    memcpy(block, &n, sizeof n);
    memcpy(block + 4, text, static_cast<size_t>(n) + 1);
    return block + 4;
}

void SysFreeString(char* s) {
    if (s)
        free(s - 4);
}

int ovMessageQueueFactoryCreate(_com_ptr_t<IOvServerMessageQueueFactory>& factory) {
    return CreateOvSystemObject(CLSID_OvServerMessageQueueFactory, IID_IOvServerMessageQueueFactory,
                                reinterpret_cast<void**>(&factory));
}

int ovServerMessageQueueCreate(_com_ptr_t<IOvServerMessageQueue>& queue, bool addressGiven) {
    _com_ptr_t<IOvServerMessageQueueFactory> factory;
    int hr = ovMessageQueueFactoryCreate(factory);
    if (hr < 0)
        return hr;
    return factory->CreateMessageQueue(addressGiven, &queue);
}
