#include "ZelCommunicationReg.h"

#include "ZelCommunication.h"

#include <cstring>

static const char* const ORVANE_KEY = "Software\\Mervold\\Orvane3";
constexpr uint32_t VERSION_CAPACITY = 10;
constexpr uint32_t DIRECTORY_CAPACITY = 1024;

CZelRegKey::~CZelRegKey() {
    if (pSync != nullptr)
        pSync->Release();
}

void CZelRegKey::SetKey(const char* keyPath) {
    sKey = keyPath ? keyPath : "";
}

void CZelRegKey::SetKeyValueName(const char* valueName, std::string& request) {
    request = sKey;
    request.push_back('\0');
    if (valueName != nullptr)
        request.append(valueName);
}

uint8_t* CZelRegKey::GetBuffer() {
    if (!pBuffer) {
        pBuffer.reset(new uint8_t[ZEL_REGISTRY_BUFFER_SIZE]);
        nBufferLen = ZEL_REGISTRY_BUFFER_SIZE;
    }
    return pBuffer.get();
}

IZelSync* CZelRegKey::GetZelSync() {
    if (pSync == nullptr)
        pSync = CreateZelSync();
    return pSync;
}

IZelSync* CZelRegKey::CreateZelSync() {
    IZelClient* pClient = nullptr;
    if (CreateZelClient(&pClient) < 0 || pClient == nullptr)
        return nullptr;
    ZelNetId netId{}; // the local system
    IZelSync* pNewSync = nullptr;
    int32_t nStatus =
        pClient->CreateSync(&netId, ZEL_REGISTRY_PORT, 0, &pNewSync, 0, vtMissing, vtMissing);
    pClient->Release();
    if (nStatus < 0) {
        if (pNewSync != nullptr)
            pNewSync->Release();
        return nullptr;
    }
    return pNewSync;
}

std::string RegValueText(const char* buffer, uint32_t nReceived) {
    return std::string(buffer, strnlen(buffer, nReceived));
}

int32_t GetCurrentVersionKeyName(char* buffer, uint64_t nSize) {
    std::string sName = ORVANE_KEY;
    COvReg<CZelRegKey> key;
    int32_t nStatus = key.Open(HKEY_LOCAL_MACHINE, sName.c_str(), KEY_READ);
    if (nStatus == ERROR_SUCCESS) {
        char version[VERSION_CAPACITY];
        uint32_t nLen = VERSION_CAPACITY;
        nStatus = key.QueryStringValue("CurrentVersion", version, &nLen);
        if (nStatus == ERROR_SUCCESS) {
            sName += "\\";
            sName += RegValueText(version, nLen);
        }
    }
    key.Close();
    if (nStatus == ERROR_SUCCESS) {
        if (nSize < sName.size() + 1)
            return ERROR_MORE_DATA;
        std::memcpy(buffer, sName.c_str(), sName.size() + 1);
    }
    return nStatus;
}

std::string GetCurrentVersionKeyName() {
    char buffer[1024];
    if (GetCurrentVersionKeyName(buffer, sizeof(buffer)) == ERROR_SUCCESS)
        return buffer;
    return std::string();
}

// Reads a directory value of the current version's key; false when it can't be read.
static bool QueryDirectory(COvReg<CZelRegKey>& key, const char* valueName, std::string& value) {
    char buffer[DIRECTORY_CAPACITY];
    uint32_t nLen = DIRECTORY_CAPACITY;
    if (key.QueryStringValue(valueName, buffer, &nLen) != ERROR_SUCCESS)
        return false;
    value = RegValueText(buffer, nLen);
    return true;
}

static void EndWithSlash(std::string& path) {
    if (!path.empty() && path.back() != '/')
        path += '/';
}

bool ZelCommunicatior::GetOvInstallPath(std::string& path) {
    path.clear();
    std::string sKey = GetCurrentVersionKeyName();
    COvReg<CZelRegKey> key;
    if (key.Open(HKEY_LOCAL_MACHINE, sKey.c_str(), KEY_READ) != ERROR_SUCCESS)
        return false;
    if (!QueryDirectory(key, "InstallDir", path))
        return false;
    EndWithSlash(path);
    return true;
}

bool ZelCommunicatior::GetOvBootPath(std::string& path) {
    path.clear();
    std::string sKey = GetCurrentVersionKeyName();
    COvReg<CZelRegKey> key;
    if (key.Open(HKEY_LOCAL_MACHINE, sKey.c_str(), KEY_READ) != ERROR_SUCCESS)
        return false;
    if (!QueryDirectory(key, "BootDir", path)) {
        if (!QueryDirectory(key, "InstallDir", path)) {
            path.clear();
            return false;
        }
        path += "Boot/"; // the install directory's own separator is kept as it is
    }
    EndWithSlash(path);
    return true;
}
