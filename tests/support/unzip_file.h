// Unpacks a saved archive into the folder that holds it, as the tests and the
// tools that look at one archive do.
#pragma once

#include "archive/zip_extractor.h"
#include "platform/text.h"

namespace corvana::test {

// Whether the path was taken as an archive (its name ends in "zip", any case);
// *pbExtracted, when given, says whether every item was unpacked.
inline bool UnzipFile(const char* pszPath, bool* pbExtracted = nullptr) {
    if (pbExtracted != nullptr) *pbExtracted = false;
    if (!EndsWithNoCaseMbcs(pszPath, "zip")) return false;
    ZipExtractor extractor;
    extractor.Open(pszPath, false);
    const bool bExtracted = static_cast<bool>(extractor.ExtractAll(false));
    extractor.Close();
    if (pbExtracted != nullptr) *pbExtracted = bExtracted;
    return true;
}

}  // namespace corvana::test
