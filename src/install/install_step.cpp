#include "install/install_step.h"

#include "archive/zip_extractor.h"
#include "platform/files.h"
#include "platform/text.h"

namespace corvana {

InstallResult InstallFile(const std::string& path, std::string_view body,
                          const std::function<void(InstallStage)>& onStage) {
    onStage(InstallStage::SAVING);
    if (!WriteWholeFile(path.c_str(), body.data(), static_cast<uint32_t>(body.size()), true)) {
        return InstallResult::NOT_SAVED;
    }
    onStage(InstallStage::COMPARING);
    onStage(InstallStage::UNPACKING);
    bool bExtracted = false;
    const bool bArchive = UnzipFile(path.c_str(), &bExtracted);
    if (bArchive && !bExtracted) {
        DeleteOneFile(path.c_str());
        return InstallResult::NOT_UNPACKED;
    }
    onStage(InstallStage::INSTALLED);
    // An archive goes once unpacked; any other file is what was to be installed.
    if (bArchive) {
        DeleteOneFile(path.c_str());
    } else {
        SetNormalAttributes(path.c_str());
    }
    return InstallResult::INSTALLED;
}

bool UnzipFile(const char* pszPath, bool* pbExtracted) {
    if (pbExtracted != nullptr) *pbExtracted = false;
    if (!EndsWithNoCaseMbcs(pszPath, "zip")) return false;
    ZipExtractor extractor;
    extractor.Open(pszPath, false);
    const bool bExtracted = extractor.ExtractAll(false);
    extractor.Close();
    if (pbExtracted != nullptr) *pbExtracted = bExtracted;
    return true;
}

}  // namespace corvana
