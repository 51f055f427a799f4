#include "CommandChannel.h"

#include "ProcessObjects.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace http = boost::beast::http;

static int s_iSessionId = 1;

// Size of the buffers that the reply texts are formatted into.
constexpr size_t REPLY_TEXT_SIZE = 40;
// The command word's size; the payload follows it.
constexpr size_t COMMAND_WORD_SIZE = 4;

// Bounded formatting: always terminated; -1 when the text did not fit.
__attribute__((format(printf, 3, 4))) static int sprintf_s(char* buffer, size_t size,
                                                           char const* format, ...) {
    va_list args;
    va_start(args, format);
    int n = vsnprintf(buffer, size, format, args);
    va_end(args);
    return (n < 0 || static_cast<size_t>(n) >= size) ? -1 : n;
}

uint32_t DecodeCommand(char const* pCopy) {
    auto const b0 = static_cast<int8_t>(pCopy[0]);
    int32_t nValue;
    if (b0 >= 'A') {
        // Letter form: two letters read as hexadecimal digits, 'A' standing for 0.
        auto const b1 = static_cast<int8_t>(pCopy[1]);
        nValue = (b0 - 'A') * 16 + (b1 - 'A');
    } else {
        nValue = b0;
    }
    return static_cast<uint32_t>(nValue) & 0x7FFFFFFFu;
}

CCommandReply HandleCommand(boost::beast::string_view body, bool bKeepAlive) {
    size_t const nBody = body.size();

    // A private copy with one extra zero byte, so a missing second byte reads as zero.
    std::unique_ptr<char[]> pCopy(new char[nBody + 1]());
    std::memcpy(pCopy.get(), body.data(), nBody);

    std::unique_ptr<char[]> pReply;
    size_t nReply = 0;
    int32_t nStatus = 0;

    switch (DecodeCommand(pCopy.get())) {
    case COMMAND_SESSION_OPEN: {
        {
            std::lock_guard<std::mutex> lock(_mutex);
            // A link port that could not be opened at start (no link then) is opened now, so
            // the link comes back without a restart.
            communicator.OpenZelConnection();
            communicator.RefreshTargetAddress();
        }
        pReply.reset(new char[REPLY_TEXT_SIZE]);
        sprintf_s(pReply.get(), REPLY_TEXT_SIZE, "|%d|%d|%d|%s|", int(COMMAND_BUFFER_SIZE), 0,
                  s_iSessionId, "false");
        nReply = std::strlen(pReply.get());
        break;
    }
    case COMMAND_RUNTIME_EXCHANGE: {
        // A body without a whole command word gets the empty reply.
        if (nBody < COMMAND_WORD_SIZE || commandBuffer == nullptr)
            break;
        std::lock_guard<std::mutex> lock(_mutex);
        uint32_t nRead = 0;
        nStatus = communicator.ZelReadWrite(ZEL_RUNTIME_INDEX_GROUP, ZEL_RUNTIME_INDEX_OFFSET,
                                            COMMAND_BUFFER_SIZE, commandBuffer,
                                            static_cast<uint32_t>(nBody - COMMAND_WORD_SIZE),
                                            pCopy.get() + COMMAND_WORD_SIZE, &nRead);
        if (nStatus == 0) {
            nReply = std::min<size_t>(nRead, COMMAND_BUFFER_SIZE);
            if (nReply > 0) {
                pReply.reset(new char[nReply]);
                std::memcpy(pReply.get(), commandBuffer, nReply);
            }
        }
        break;
    }
    case COMMAND_ADDRESS: {
        pReply.reset(new char[REPLY_TEXT_SIZE]);
        sprintf_s(pReply.get(), REPLY_TEXT_SIZE, "IPv4:%s|", "::1");
        nReply = std::strlen(pReply.get());
        break;
    }
    default:
        break;
    }

    CCommandReply reply;
    reply.response.set(http::field::content_type, sReply);
    reply.response.keep_alive(bKeepAlive);
    if (nStatus == 0 && pReply && nReply > 0) {
        reply.response.body().data = pReply.get();
        reply.response.body().size = nReply;
        reply.pBytes = std::move(pReply);
    } else {
        reply.response.body().data = nullptr;
        reply.response.body().size = 0;
    }
    reply.response.body().more = false;
    return reply;
}
