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
Result SaveThroughStaging(const InstallTransaction& transaction, const std::string& path,
                          std::string_view data, bool bArchive) {
    if (Result made = MakeFolders(path); !made) return made;
    return ReplaceWholeFile(path, data, transaction.StagingFolder().c_str(), bArchive);
}

// The first item of the archive that may not be written (see CheckPlace), prefix
// being the archive's folder relative to the installation folder.
Result CheckItemPlaces(ZipExtractor& extractor, const std::string& folder,
                       const std::string& prefix) {
    for (bool bMore = extractor.GoToFirstItem(); bMore; bMore = extractor.GoToNextItem()) {
        ZipItemInfo info;
        if (!extractor.GetCurrentItemInfo(info)) break;
        if (info.bNameTooLong) continue;  // never written: the extraction refuses it
        if (Result place = CheckPlace(folder, prefix + info.szName); !place) return place;
    }
    return {};
}

InstallOutcome Refused(InstallResult result, const std::string& name, const std::string& step,
                       const Result& cause) {
    return {result, {name, step + " (" + cause.GetFailure().Text() + ")"}};
}

}  // namespace

InstallOutcome InstallFile(const std::string& folder, const std::string& name,
                           std::string_view body,
                           const std::function<void(InstallStage)>& onStage) {
    const std::string path = folder + name;
    const bool bArchive = EndsWithNoCaseMbcs(path, "zip");
    onStage(InstallStage::SAVING);
    if (Result place = CheckPlace(folder, name); !place) {
        return Refused(InstallResult::UNSAFE, name, "refused as unsafe", place);
    }
    InstallTransaction transaction(folder);
    // The archive is ours to delete whatever happens; any other file is the installation.
    Result saved = transaction.Begin(bArchive ? name : std::string());
    if (saved) saved = SaveThroughStaging(transaction, path, body, bArchive);
    if (!bArchive && saved) {
        SetNormalAttributes(path.c_str());
        saved = FlushFileSystem(folder.c_str());
    }
    if (!saved) return Refused(InstallResult::NOT_SAVED, name, "could not be saved", saved);
    if (!bArchive) {
        onStage(InstallStage::COMPARING);
        onStage(InstallStage::UNPACKING);
        onStage(InstallStage::INSTALLED);
        return {InstallResult::INSTALLED, {}};
    }
    SetHiddenAttribute(path.c_str());
    onStage(InstallStage::COMPARING);
    onStage(InstallStage::UNPACKING);
    // The items are inflated from the body in memory; the saved archive is the
    // same bytes, and the folder shows it as it did.
    const std::string destination = path.substr(0, path.find_last_of(kPathSeparator));
    // The archive's folder relative to the installation folder, with its separator.
    const std::string prefix = destination.size() < folder.size()
                                   ? std::string()
                                   : destination.substr(folder.size()) + kPathSeparator;
    InstallOutcome outcome{InstallResult::INSTALLED, {}};
    Result unpacked;
    ZipExtractor extractor;
    if (!extractor.OpenMemory(body.data(), body.size(), destination.c_str())) {
        outcome = Refused(InstallResult::NOT_UNPACKED, name, "could not be unpacked whole",
                          Failure{{}, "a damaged archive"});
    } else if (Result place = CheckItemPlaces(extractor, folder, prefix); !place) {
        // Nothing is written outside the folder, nor what would not fit.
        outcome = Refused(InstallResult::UNSAFE, name, "refused as unsafe", place);
    } else if (extractor.DeclaredSize() > FreeSpace(folder.c_str())) {
        outcome = {InstallResult::NO_SPACE,
                   {name, "its items do not fit the free space in " + folder}};
    } else {
        extractor.StageInto(transaction.StagingFolder().c_str(), &transaction.Staged());
        unpacked = extractor.ExtractAll(false);
    }
    extractor.Close();
    // The archive goes while the record that would remove it after a crash still
    // stands; the transaction removes that record when it ends.
    SetNormalAttributes(path.c_str());
    DeleteOneFile(path.c_str());
    if (outcome.result != InstallResult::INSTALLED) return outcome;
    if (unpacked) unpacked = transaction.Commit();
    if (!unpacked) {
        return Refused(InstallResult::NOT_UNPACKED, name, "could not be unpacked whole", unpacked);
    }
    onStage(InstallStage::INSTALLED);
    return outcome;
}

}  // namespace corvana
