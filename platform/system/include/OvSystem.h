// The platform's system library: the factory of the service message queue and the queue
// through which the system service drives a program.
#pragma once

#include <cstdint>

struct _GUID {
    uint32_t Data1;
    uint16_t Data2;
    uint16_t Data3;
    uint8_t Data4[8];
};

inline bool operator==(const _GUID& a, const _GUID& b) {
    if (a.Data1 != b.Data1 || a.Data2 != b.Data2 || a.Data3 != b.Data3)
        return false;
    for (int i = 0; i < 8; ++i)
        if (a.Data4[i] != b.Data4[i])
            return false;
    return true;
}
inline bool operator!=(const _GUID& a, const _GUID& b) {
    return !(a == b);
}

// A system string: points at the first character; its length (int32) sits in the 4 bytes before.
typedef char* OvSysString;

// {d70f8b95-0007-4ca8-b058-e4ca3ad264ee}: the queue factory's class.
constexpr _GUID CLSID_OvServerMessageQueueFactory = {
    0xd70f8b95, 0x0007, 0x4ca8, {0xb0, 0x58, 0xe4, 0xca, 0x3a, 0xd2, 0x64, 0xee}};
// {4d21ade0-413d-4e3b-b374-af6485fd8e34}
constexpr _GUID IID_IOvServerMessageQueueFactory = {
    0x4d21ade0, 0x413d, 0x4e3b, {0xb3, 0x74, 0xaf, 0x64, 0x85, 0xfd, 0x8e, 0x34}};

// Statuses: negative means failure.
constexpr int32_t OV_S_OK = 0;
constexpr int32_t OV_E_FAIL = static_cast<int32_t>(0x80004005);        // service gone, bad answer
constexpr int32_t OV_E_NOINTERFACE = static_cast<int32_t>(0x80004002); // unknown interface
constexpr int32_t OV_E_POINTER = static_cast<int32_t>(0x80004003);     // null out-pointer
constexpr int32_t OV_E_INVALIDARG = static_cast<int32_t>(0x80070057);  // string too long
constexpr int32_t OV_E_CLASSNOTAVAILABLE = static_cast<int32_t>(0x80040111); // unknown class
constexpr int32_t OV_E_NOSERVICE = static_cast<int32_t>(0x800706BA);         // nothing answers
constexpr int32_t OV_E_INTERRUPTED = static_cast<int32_t>(0x800704C7);       // wait cut by a signal

// Slots 0 to 2 of every interface.
struct IOvUnknown {
    virtual int32_t QueryInterface(const _GUID& iid, void** ppv) = 0;
    virtual uint32_t AddRef() = 0;
    virtual uint32_t Release() = 0;
};

struct IOvServerMessageQueue : IOvUnknown {
    // Slot 3: registers the queue under the program's name.
    virtual int32_t InitQueue(OvSysString name) = 0;
    // Slot 4: waits for the next service message. A signal cuts the wait: negative status.
    virtual int32_t ReceiveMessage(int32_t* pCode) = 0;
    // Slot 5: answers the message just received.
    virtual int32_t ReplyMessage(int32_t status) = 0;
    // Slot 6: hands a named value to the service.
    virtual int32_t SetParameter(OvSysString name, OvSysString value) = 0;
};

struct IOvServerMessageQueueFactory : IOvUnknown {
    // Slot 3: connects to the system service and makes the program's queue.
    virtual int32_t CreateMessageQueue(bool addressGiven, IOvServerMessageQueue** ppQueue) = 0;
};

extern "C" {
// Makes the object of class clsid and hands out its interface iid in *ppv (one reference).
int32_t CreateOvSystemObject(const _GUID& clsid, const _GUID& iid, void** ppv);
}
