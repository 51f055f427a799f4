// Read-only access to the platform registry, answered by the registry service over the link.
#pragma once

#include "OvZel.h"

#include <cstdint>
#include <memory>
#include <string>

typedef void* HKEY;
// The local-machine root, sign-extended to pointer width as the registry API numbers it.
inline HKEY const HKEY_LOCAL_MACHINE =
    reinterpret_cast<HKEY>(static_cast<intptr_t>(int32_t(0x80000002)));
constexpr uint32_t KEY_READ = 0x20019;

constexpr int32_t ERROR_SUCCESS = 0;
constexpr int32_t ERROR_ACCESS_DENIED = 5;
constexpr int32_t ERROR_MORE_DATA = 234;
constexpr int32_t ERROR_NOT_FOUND = 1168;

constexpr uint32_t REG_SZ = 1;

// Where the registry service listens, and how a value read is addressed.
constexpr uint16_t ZEL_REGISTRY_PORT = 10000;
constexpr uint32_t ZEL_REGISTRY_INDEX_GROUP = 200;
constexpr uint32_t ZEL_REGISTRY_INDEX_OFFSET = 0;
constexpr uint64_t ZEL_REGISTRY_BUFFER_SIZE = 4096;

// Key provider: the key path and the requester that carries the value reads.
class CZelRegKey {
public:
    CZelRegKey() = default;
    ~CZelRegKey();
    CZelRegKey(const CZelRegKey&) = delete;
    CZelRegKey& operator=(const CZelRegKey&) = delete;

    void SetKey(const char* keyPath);
    // request = key path, NUL, value name (when given).
    void SetKeyValueName(const char* valueName, std::string& request);
    uint8_t* GetBuffer();
    uint64_t GetBufferLen() const { return nBufferLen; }
    IZelSync* GetZelSync();
    IZelSync* CreateZelSync();

    std::string sKey;
    std::unique_ptr<uint8_t[]> pBuffer;
    uint64_t nBufferLen = 0;
    IZelSync* pSync = nullptr;
};

// A registry key, opened under a root; values are read through the key provider TKey.
template <class TKey> class COvReg {
public:
    COvReg() = default;
    ~COvReg() { Close(); }
    COvReg(const COvReg&) = delete;
    COvReg& operator=(const COvReg&) = delete;

    int32_t Open(HKEY hKeyParent, const char* keyPath, uint32_t samDesired) {
        Close();
        pKey.reset(new TKey());
        int32_t nStatus = OpenInternalA(hKeyParent, keyPath, samDesired);
        if (nStatus != ERROR_SUCCESS)
            pKey.reset();
        return nStatus;
    }

    // The service is not asked whether the key exists: a missing key shows at the first query.
    int32_t OpenInternalA(HKEY hKeyParent, const char* keyPath, uint32_t /*samDesired*/) {
        if (hKeyParent != HKEY_LOCAL_MACHINE)
            return ERROR_ACCESS_DENIED;
        if (pKey->GetZelSync() == nullptr)
            return ERROR_ACCESS_DENIED;
        pKey->SetKey(keyPath);
        return ERROR_SUCCESS;
    }

    // *pnChars: in, the buffer's capacity; out, the bytes received (0 on failure).
    int32_t QueryStringValue(const char* valueName, char* buffer, uint32_t* pnChars) {
        uint32_t nCapacity = *pnChars;
        *pnChars = 0;
        uint32_t nType = REG_SZ;
        int32_t nStatus =
            QueryValueInternalA(valueName, &nType, reinterpret_cast<uint8_t*>(buffer), &nCapacity);
        if (nStatus != ERROR_SUCCESS)
            return nStatus;
        *pnChars = nCapacity;
        return ERROR_SUCCESS;
    }

    int32_t QueryValueInternalA(const char* valueName, uint32_t* /*pType*/, uint8_t* pData,
                                uint32_t* pnBytes) {
        IZelSync* pSync = pKey->GetZelSync();
        if (pSync == nullptr)
            return ERROR_NOT_FOUND;
        std::string request;
        pKey->SetKeyValueName(valueName, request);
        uint8_t* pRead = pData;
        uint32_t nReadLen = pData ? *pnBytes : 0;
        if (pData == nullptr) {
            pRead = pKey->GetBuffer();
            nReadLen = static_cast<uint32_t>(pKey->GetBufferLen());
        }
        uint32_t nBytesRead = 0;
        int32_t nStatus = pSync->ReadWrite(
            ZEL_REGISTRY_INDEX_GROUP, ZEL_REGISTRY_INDEX_OFFSET, nReadLen, pRead,
            static_cast<uint32_t>(request.size() + 1), request.c_str(), &nBytesRead);
        if (nStatus < 0)
            return ERROR_NOT_FOUND;
        // Never report more than the buffer holds, whatever the link said.
        *pnBytes = nBytesRead < nReadLen ? nBytesRead : nReadLen;
        return ERROR_SUCCESS;
    }

    int32_t Close() {
        if (pKey) {
            CloseKeyInternal();
            pKey.reset();
        }
        return ERROR_SUCCESS;
    }

    int32_t CloseKeyInternal() { return ERROR_SUCCESS; }

    std::unique_ptr<TKey> pKey;
};

// The text of a string value: the received bytes up to the first NUL, or all of them.
std::string RegValueText(const char* buffer, uint32_t nReceived);

// Key name of the current platform version ("Software\Mervold\Orvane3\<version>").
// 0, 234 when the buffer is too small, or the status of the failing registry step.
int32_t GetCurrentVersionKeyName(char* buffer, uint64_t nSize);
// The same as a string; empty when the name can't be read.
std::string GetCurrentVersionKeyName();
