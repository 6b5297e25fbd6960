// A stand-in for the installation package's setup program, setup.exe, for tests
// and the demo: logs its command line to setup.log beside it and keeps running
// for CORVANA_STANDIN_HOLD_MS milliseconds.
#include "stand_in.h"

int main(int argc, char** argv) {
    corvana::standin::LogCommandLine("setup.log", argc, argv);
    corvana::standin::Hold();
    return 0;
}
