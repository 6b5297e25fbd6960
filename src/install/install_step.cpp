#include "install/install_step.h"

#include "archive/zip_extractor.h"
#include "install/transaction.h"
#include "platform/files.h"
#include "platform/platform.h"
#include "platform/text.h"

namespace corvana {

namespace {

// Saves data as path through a temporary file in the staging folder. A file that
// stays (not an archive) is on the disk before it replaces the old one.
bool SaveThroughStaging(const InstallTransaction& transaction, const std::string& path,
                        std::string_view data, bool bArchive) {
    return ZipExtractor::EnsureParentDirectory(path.c_str()) &&
           ReplaceWholeFile(path, data, transaction.StagingFolder().c_str(), bArchive);
}

// Why an item of the archive may not be written (see CheckPlace), prefix being
// the archive's folder relative to the installation folder; empty when all may.
std::string CheckItemPlaces(ZipExtractor& extractor, const std::string& folder,
                            const std::string& prefix) {
    for (bool bMore = extractor.GoToFirstItem(); bMore; bMore = extractor.GoToNextItem()) {
        ZipItemInfo info;
        if (!extractor.GetCurrentItemInfo(info)) break;
        if (info.bNameTooLong) continue;  // never written: the extraction refuses it
        if (std::string why = CheckPlace(folder, prefix + info.szName); !why.empty()) return why;
    }
    return {};
}

}  // namespace

InstallResult InstallFile(const std::string& folder, const std::string& name, std::string_view body,
                          const std::function<void(InstallStage)>& onStage) {
    const std::string path = folder + name;
    const bool bArchive = EndsWithNoCaseMbcs(path, "zip");
    ClearFileError();  // the first failure from here on is this install's cause
    onStage(InstallStage::SAVING);
    if (std::string why = CheckPlace(folder, name); !why.empty()) {
        NoteFileError(path, std::move(why));
        return InstallResult::UNSAFE;
    }
    InstallTransaction transaction(folder);
    // The archive is ours to delete whatever happens; any other file is the installation.
    if (!transaction.Begin(bArchive ? name : std::string()) ||
        !SaveThroughStaging(transaction, path, body, bArchive)) {
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
    // The archive's folder relative to the installation folder, with its separator.
    const std::string prefix = destination.size() < folder.size()
                                   ? std::string()
                                   : destination.substr(folder.size()) + kPathSeparator;
    if (extractor.OpenMemory(body.data(), body.size(), destination.c_str())) {
        // Nothing is written outside the folder, nor what would not fit.
        if (std::string why = CheckItemPlaces(extractor, folder, prefix); !why.empty()) {
            NoteFileError(path, std::move(why));
            result = InstallResult::UNSAFE;
        } else if (extractor.DeclaredSize() > FreeSpace(folder.c_str())) {
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
