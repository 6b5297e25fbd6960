#include "install/install_step.h"

#include "archive/zip_extractor.h"
#include "install/transaction.h"
#include "platform/files.h"
#include "platform/platform.h"
#include "platform/text.h"

namespace corvana {

namespace {

// Saves data as path through a temporary file in the staging folder.
bool SaveThroughStaging(const InstallTransaction& transaction, const std::string& path,
                        std::string_view data) {
    return ZipExtractor::EnsureParentDirectory(path.c_str()) &&
           ReplaceWholeFile(path, data, transaction.StagingFolder().c_str(), true);
}

}  // namespace

InstallResult InstallFile(const std::string& folder, const std::string& name, std::string_view body,
                          const std::function<void(InstallStage)>& onStage) {
    const std::string path = folder + name;
    const bool bArchive = EndsWithNoCaseMbcs(path, "zip");
    ClearFileError();  // the first failure from here on is this install's cause
    onStage(InstallStage::SAVING);
    InstallTransaction transaction(folder);
    // The archive is ours to delete whatever happens; any other file is the installation.
    if (!transaction.Begin(bArchive ? path : std::string()) ||
        !SaveThroughStaging(transaction, path, body)) {
        return InstallResult::NOT_SAVED;
    }
    if (!bArchive) {
        SetNormalAttributes(path.c_str());
        if (!FlushFileSystem(folder.c_str())) return InstallResult::NOT_SAVED;
        onStage(InstallStage::COMPARING);
        onStage(InstallStage::UNPACKING);
        onStage(InstallStage::INSTALLED);
        return InstallResult::INSTALLED;
    }
    SetHiddenAttribute(path.c_str());
    onStage(InstallStage::COMPARING);
    onStage(InstallStage::UNPACKING);
    // The items are inflated from the body in memory; the saved archive is the
    // same bytes, and the folder shows it as it did.
    const std::string destination = path.substr(0, path.find_last_of(kPathSeparator));
    ZipExtractor extractor;
    InstallResult result = InstallResult::NOT_UNPACKED;
    bool bStaged = false;
    if (extractor.OpenMemory(body.data(), body.size(), destination.c_str())) {
        // Nothing is written that would not fit.
        if (extractor.DeclaredSize() > FreeSpace(folder.c_str())) {
            result = InstallResult::NO_SPACE;
        } else {
            extractor.StageInto(transaction.StagingFolder().c_str(), &transaction.Staged());
            bStaged = extractor.ExtractAll(false);
        }
    }
    extractor.Close();
    // The archive goes while the record that would remove it after a crash still
    // stands; the transaction removes that record when it ends.
    SetNormalAttributes(path.c_str());
    DeleteOneFile(path.c_str());
    if (!bStaged || !transaction.Commit()) return result;
    onStage(InstallStage::INSTALLED);
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
