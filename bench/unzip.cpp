// Unpacks an archive into the folder that holds it, as the update run does:
// unzip ARCHIVE. Exit status 0 when every item was unpacked.
#include <cstdio>

#include "archive/zip_extractor.h"

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: unzip ARCHIVE\n");
        return 2;
    }
    corvana::ZipExtractor extractor;
    extractor.Open(argv[1], false);
    const bool bExtracted = static_cast<bool>(extractor.ExtractAll(false));
    extractor.Close();
    return bExtracted ? 0 : 1;
}
