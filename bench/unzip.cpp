// Unpacks an archive into the folder that holds it, as the update run does:
// unzip ARCHIVE. Exit status 0 when every item was unpacked.
#include <cstdio>

#include "install/install_step.h"

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: unzip ARCHIVE\n");
        return 2;
    }
    bool bExtracted = false;
    corvana::UnzipFile(argv[1], &bExtracted);
    return bExtracted ? 0 : 1;
}
