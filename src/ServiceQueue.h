// The service message queue from the platform's system library, with the owning helpers for
// its system strings and interface pointers.
#pragma once

#include "OvSystem.h"

#include <cstdint>

// The messages that the system service sends through the queue.
enum EServiceMessage : int32_t {
    SERVICE_MESSAGE_INIT = 1,     // open the link, create the listener
    SERVICE_MESSAGE_START = 2,    // start the I/O threads
    SERVICE_MESSAGE_SHUTDOWN = 3, // stop the I/O context
    SERVICE_MESSAGE_STOP = 4,     // join the I/O threads, close the link
    SERVICE_MESSAGE_QUIT = 5,     // end the message loop
};

// The statuses that answer a handled message: done, or failed (an "init" whose listener could
// not be set up, a "start" that could not create its threads).
constexpr int32_t SERVICE_REPLY_OK = 0;
constexpr int32_t SERVICE_REPLY_FAILED = static_cast<int32_t>(0x80004005);

// A system string: the int32 length in the 4 bytes before the characters, then a NUL.
// Returns the address of the first character, or null when out of memory.
char* SysAllocString(const char* text);
// Frees a system string; ignores null.
void SysFreeString(char* s);

// Owns one system string.
class _bstr_t {
public:
    explicit _bstr_t(const char* text) : m_str(SysAllocString(text)) {}
    ~_bstr_t() {
        if (m_str)
            SysFreeString(m_str);
    }
    _bstr_t(const _bstr_t&) = delete;
    _bstr_t& operator=(const _bstr_t&) = delete;

    operator char* const&() const { return m_str; }

private:
    char* m_str;
};

// Owns one interface pointer; never adds references.
template <class I> class _com_ptr_t {
public:
    _com_ptr_t() = default;
    ~_com_ptr_t() {
        if (m_p)
            m_p->Release();
    }
    _com_ptr_t(const _com_ptr_t&) = delete;
    _com_ptr_t& operator=(const _com_ptr_t&) = delete;

    I* operator->() const { return m_p; }
    operator I*() const { return m_p; }
    // Lets go of the held interface and hands out the slot for a creating call.
    I** operator&() {
        if (m_p)
            m_p->Release();
        m_p = nullptr;
        return &m_p;
    }

private:
    I* m_p = nullptr;
};

int ovMessageQueueFactoryCreate(_com_ptr_t<IOvServerMessageQueueFactory>& factory);
int ovServerMessageQueueCreate(_com_ptr_t<IOvServerMessageQueue>& queue, bool addressGiven);
