// A stand-in for the client, cw.exe, for tests and the demo. While it runs it
// holds the mutex "CW". Started with "checkversion" it reports its version
// number (from cw-version.txt beside it, default 150) to the updater's window
// and ends; otherwise it logs its command line to cw.log beside it.
#include <cstring>
#include <fstream>

#include "stand_in.h"

int main(int argc, char** argv) {
    using namespace corvana;
    MutexHandle hMutex = CreateNamedMutex("CW", nullptr);
    bool bCheckVersion = false;
    for (int i = 1; i < argc; ++i) bCheckVersion |= std::strcmp(argv[i], "checkversion") == 0;
    if (bCheckVersion) {
        int nVersion = 150;
        std::ifstream(standin::OwnFolder() + "cw-version.txt") >> nVersion;
        SendClientVersion("CW - AutoUpdater", nVersion);
    } else {
        standin::LogCommandLine("cw.log", argc, argv);
        standin::Hold();
    }
    CloseMutex(hMutex);
    return 0;
}
