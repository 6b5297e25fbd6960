#include "install/install_step.h"

#include "archive/delta.h"
#include "archive/zip_extractor.h"
#include "install/transaction.h"
#include "platform/files.h"
#include "platform/platform.h"
#include "platform/text.h"

#include <set>

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

// The archive's folder relative to the installation folder, with its separator
// (empty for the folder itself).
std::string ArchivePrefix(const std::string& folder, const std::string& path) {
    const std::string destination = path.substr(0, path.find_last_of(kPathSeparator));
    return destination.size() < folder.size() ? std::string()
                                              : destination.substr(folder.size()) + kPathSeparator;
}

InstallOutcome Unusable(const std::string& deltaName, const std::string& why) {
    return {InstallResult::DELTA_UNUSABLE, {deltaName, why}};
}

// Writes an item rebuilt from a delta into the staging folder, with the time and
// the attributes its full archive gives it, and lists it for the commit.
Result StageItem(InstallTransaction& transaction, const std::string& target, std::string_view data,
                 const DeltaItem& item) {
    if (Result made = MakeFolders(target); !made) return made;
    ReplacementFile file;
    if (Result created = file.Create(target.c_str(), transaction.StagingFolder().c_str());
        !created) {
        return created;
    }
    if (Result written = file.Write(data.data(), static_cast<uint32_t>(data.size())); !written) {
        return written;
    }
    if (Result finished = file.Finish(true); !finished) return finished;
    SetFileTimeFromDos(file.TemporaryPath().c_str(), item.dwDosDate);
    ApplyStoredAttributes(file.TemporaryPath().c_str(), item.dwVersionMadeBy,
                          item.dwExternalAttributes);
    transaction.Staged().push_back({file.Release(), target});
    return {};
}

}  // namespace

InstallOutcome InstallFromDelta(const std::string& folder, const std::string& archiveName,
                                std::string_view delta,
                                const std::function<void(InstallStage)>& onStage) {
    const std::string deltaName = archiveName + DELTA_SUFFIX;
    onStage(InstallStage::SAVING);
    if (Result place = CheckPlace(folder, archiveName); !place) {
        return Refused(InstallResult::UNSAFE, archiveName, "refused as unsafe", place);
    }
    const std::string prefix = ArchivePrefix(folder, folder + archiveName);
    // The index, then every base it names: the file in the folder, as it was when
    // the delta was made.
    const Expected<std::vector<DeltaItem>> index = ReadDelta(delta);
    if (!index) return Unusable(deltaName, index.GetFailure().Text());
    if ((*index).empty()) return Unusable(deltaName, "no item in its index");
    for (const DeltaItem& item : *index) {
        const std::string relative = prefix + NativePath(item.name);
        if (Result place = CheckPlace(folder, relative); !place) {
            return Refused(InstallResult::UNSAFE, deltaName, "refused as unsafe", place);
        }
        if (item.method != DeltaMethod::WHOLE) {
            const std::optional<std::string> base =
                ReadSmallFile((folder + relative).c_str(), DELTA_FILE_LIMIT);
            if (!base || base->size() != item.nBaseSize || Sha256Hex(*base) != item.baseSha256) {
                return Unusable(deltaName, relative + " is not the file the delta was made from");
            }
        }
    }
    onStage(InstallStage::COMPARING);
    onStage(InstallStage::UNPACKING);
    // Each item rebuilt and staged; nothing replaces a file before all are.
    InstallTransaction transaction(folder);
    if (Result begun = transaction.Begin({}); !begun) {
        return Refused(InstallResult::NOT_UNPACKED, archiveName, "could not be unpacked whole",
                       begun);
    }
    for (const DeltaItem& item : *index) {
        if (item.method == DeltaMethod::SAME) continue;
        const std::string target = folder + prefix + NativePath(item.name);
        std::optional<std::string> base;
        if (item.method != DeltaMethod::WHOLE) {
            base = ReadSmallFile(target.c_str(), DELTA_FILE_LIMIT);
            if (!base) return Unusable(deltaName, target + " cannot be read");
        }
        const Expected<std::string> result = RebuildItem(item, base ? *base : std::string());
        if (!result) return Unusable(deltaName, result.GetFailure().Text());
        if (Result staged = StageItem(transaction, target, *result, item); !staged) {
            return Refused(InstallResult::NOT_UNPACKED, archiveName, "could not be unpacked whole",
                           staged);
        }
    }
    if (Result committed = transaction.Commit(); !committed) {
        return Refused(InstallResult::NOT_UNPACKED, archiveName, "could not be unpacked whole",
                       committed);
    }
    onStage(InstallStage::INSTALLED);
    return {InstallResult::INSTALLED, {}};
}

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
    const std::string prefix = ArchivePrefix(folder, path);
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

InstallOutcome RestoreFiles(const std::string& folder, const std::string& name,
                            std::string_view body, const std::set<std::string>& paths) {
    const auto ignore = [](InstallStage) {};
    if (!EndsWithNoCaseMbcs(name, "zip")) return InstallFile(folder, name, body, ignore);
    if (Result place = CheckPlace(folder, name); !place) {
        return Refused(InstallResult::UNSAFE, name, "refused as unsafe", place);
    }
    const std::string path = folder + name;
    const std::string prefix = ArchivePrefix(folder, path);
    std::set<std::string> wanted;
    for (const std::string& wantedPath : paths) wanted.insert(NativePath(wantedPath));
    ZipExtractor extractor;
    if (!extractor.OpenMemory(body.data(), body.size(),
                              path.substr(0, path.find_last_of(kPathSeparator)).c_str())) {
        return Refused(InstallResult::NOT_UNPACKED, name, "could not be unpacked whole",
                       Failure{{}, "a damaged archive"});
    }
    InstallTransaction transaction(folder);
    if (Result begun = transaction.Begin({}); !begun) {
        return Refused(InstallResult::NOT_UNPACKED, name, "could not be unpacked whole", begun);
    }
    extractor.StageInto(transaction.StagingFolder().c_str(), &transaction.Staged());
    // Only the items asked for; every other file of the folder stays as it is.
    std::size_t nFound = 0;
    for (bool bMore = extractor.GoToFirstItem(); bMore; bMore = extractor.GoToNextItem()) {
        ZipItemInfo info;
        if (!extractor.GetCurrentItemInfo(info) || info.bFolder || info.bNameTooLong ||
            wanted.count(prefix + info.szName) == 0) {
            continue;
        }
        if (Result place = CheckPlace(folder, prefix + info.szName); !place) {
            return Refused(InstallResult::UNSAFE, name, "refused as unsafe", place);
        }
        if (Result extracted = extractor.ExtractCurrentItem(); !extracted) {
            return Refused(InstallResult::NOT_UNPACKED, name, "could not be unpacked whole",
                           extracted);
        }
        ++nFound;
    }
    extractor.Close();
    if (nFound != wanted.size()) {
        return {InstallResult::NOT_UNPACKED, {name, "it lacks files the index says it holds"}};
    }
    if (Result committed = transaction.Commit(); !committed) {
        return Refused(InstallResult::NOT_UNPACKED, name, "could not be unpacked whole", committed);
    }
    return {InstallResult::INSTALLED, {}};
}

}  // namespace corvana
