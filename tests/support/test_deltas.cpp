#include "support/test_deltas.h"

#include <vector>

#include "archive/sha256.h"
#include "publish/delta_maker.h"
#include "support/test_env.h"

namespace corvana::test {

std::string TestDelta(bool bWrongResult) {
    const std::string base = ReadWholeFile(TestArchive("delta-base.dat"));
    const std::string result = ReadWholeFile(TestArchive("delta-result.dat"));
    const std::string program = ReadWholeFile(TestArchive("delta-prog-base.dat"));
    const std::string programResult = ReadWholeFile(TestArchive("delta-prog-result.dat"));
    const auto item = [](DeltaMethod method, const char* pszName, const std::string& from,
                         const std::string& to, const std::string& payload) {
        DeltaItem made;
        made.method = method;
        made.name = pszName;
        if (method != DeltaMethod::WHOLE) {
            made.nBaseSize = from.size();
            made.baseSha256 = Sha256Hex(from);
        }
        made.nResultSize = to.size();
        made.resultSha256 = Sha256Hex(to);
        made.nPayloadSize = payload.size();
        made.dwDosDate = 0x52642A24;
        made.dwVersionMadeBy = 3 << 8 | 20;
        made.dwExternalAttributes = 0100644u << 16;
        return made;
    };
    const std::vector<std::string> payloads{
        ZstdFrame(result, base, true), DiffPayload(program, programResult), ZstdFrame("new\n")};
    std::vector<DeltaItem> items{
        item(DeltaMethod::ZSTD, "bin/game.dat", base, result, payloads[0]),
        item(DeltaMethod::DIFF, "bin/prog.bin", program, programResult, payloads[1]),
        item(DeltaMethod::WHOLE, "new.txt", "", "new\n", payloads[2])};
    if (bWrongResult) items[0].resultSha256 = Sha256Hex(base);
    return DeltaFile(items, payloads);
}

}  // namespace corvana::test
