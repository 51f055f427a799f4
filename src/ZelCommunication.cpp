#include "ZelCommunication.h"

ZelAddr Addr{};
PZelAddr const pAddr = &Addr;

// The link calls arrive with the link library; until then the link does nothing.
void ZelCommunicatior::OpenZelConnection() {}
void ZelCommunicatior::CloseZelConnection() { nPort = 0; }
int32_t ZelCommunicatior::ZelReadWrite(uint32_t, uint32_t, uint32_t, void*, uint32_t, void*,
                                       uint32_t*) {
    return -1;
}
void ZelCommunicatior::RefreshTargetAddress() {}
bool ZelCommunicatior::GetOvInstallPath(std::string& path) {
    path.clear();
    return false;
}
bool ZelCommunicatior::GetOvBootPath(std::string& path) {
    path.clear();
    return false;
}
