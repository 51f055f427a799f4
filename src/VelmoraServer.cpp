// VelmoraServer: serves the PLC's web visualisation and relays its commands to the PLC runtime.
#include "Log.h"
#include "ServiceMode.h"
#include "StandAlone.h"
#include "XmlHandler.h"

#include <csignal>
#include <sys/resource.h>

// A server holds a descriptor per connection: it may use as many as the system allows it
// (the soft limit is often 1024). A connection or a standard-error reader that has gone away
// must not end the process: SIGPIPE is ignored.
static void PrepareServerProcess() {
    struct rlimit limit;
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        setrlimit(RLIMIT_NOFILE, &limit);
    }
    signal(SIGPIPE, SIG_IGN);
}

int main(int argc, char* argv[]) {
    if (argc < 1) {
        WriteOutput(1, "Invalid argument count\n");
        return -1;
    }
    bool bStandAlone = false;
    CString sAddress;
    bool bAddress = false;

    // Only a single argument is looked at; its second character decides.
    if (argc == 2 && argv[1][0] == '-') {
        switch (argv[1][1]) {
        case 'e':
            return SetProlverConfig(true);
        case 'd':
            return SetProlverConfig(false);
        case 't':
            bStandAlone = true;
            break;
        default: {
            CString sArg(argv[1]);
            if (sArg.GetLength() <= 11 || sArg.Left(11).CompareNoCase("-umRuntime=") != 0) {
                WriteOutput(1, "Invalid 2nd argument\n");
                return -1;
            }
            sAddress = sArg.Right(sArg.GetLength() - 11);
            bAddress = true;
        }
        }
    }

    PrepareServerProcess();
    int nResult;
    if (bStandAlone) {
        nResult = StartNormal();
    } else {
        install_signal_handler();
        nResult = StartFromSystemService(CString(argv[0]), sAddress, bAddress);
    }
    delete[] commandBuffer;
    commandBuffer = nullptr;
    return nResult;
}
