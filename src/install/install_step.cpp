#include "install/install_step.h"

#include "archive/delta.h"
#include "archive/item_name.h"
#include "archive/sha256.h"
#include "archive/zip_extractor.h"
#include "install/transaction.h"
#include "platform/platform.h"
#include "platform/text.h"

#include <optional>

namespace corvana {

namespace {

InstallOutcome Refused(InstallResult result, const std::string& name, const std::string& step,
                       const Failure& cause) {
    return {result, {name, step + " (" + cause.Text() + ")"}};
}

InstallOutcome Unsafe(const std::string& name, const Failure& cause) {
    return Refused(InstallResult::UNSAFE, name, "refused as unsafe", cause);
}

InstallOutcome NotUnpacked(const std::string& name, const Failure& cause) {
    return Refused(InstallResult::NOT_UNPACKED, name, "could not be unpacked whole", cause);
}

InstallOutcome Unusable(const std::string& deltaName, const std::string& why) {
    return {InstallResult::DELTA_UNUSABLE, {deltaName, why}};
}

const Failure DAMAGED{{}, "a damaged archive"};

// The folder part of a relative path, with its separator (empty for the top).
std::string FolderOf(std::string_view relative) {
    const std::size_t nCut = relative.find_last_of("/\\");
    return nCut == std::string_view::npos ? std::string()
                                          : std::string(relative.substr(0, nCut + 1));
}

std::string NameOf(std::string_view relative) {
    const std::size_t nCut = relative.find_last_of("/\\");
    return std::string(nCut == std::string_view::npos ? relative : relative.substr(nCut + 1));
}

// The first item of the archive that may not be written (see CheckPlace), prefix
// being the archive's folder relative to the installation folder.
Result CheckItemPlaces(ZipExtractor& extractor, const FolderHandle& root,
                       const std::string& prefix) {
    for (bool bMore = extractor.GoToFirstItem(); bMore; bMore = extractor.GoToNextItem()) {
        ZipItemInfo info;
        if (!extractor.GetCurrentItemInfo(info)) break;
        if (info.bNameTooLong) continue;  // never written: the extraction refuses it
        if (Result place = CheckPlace(root, prefix + info.szName); !place) return place;
    }
    return {};
}

// The file at relative, whole, when it is a plain file of at most the delta's limit.
Expected<std::string> ReadBase(const FolderHandle& root, const std::string& relative) {
    const Expected<FolderHandle> folder = root.OpenBelow(FolderOf(relative), false);
    if (!folder) return folder.GetFailure();
    return (*folder).ReadSmallFile(NameOf(relative), DELTA_FILE_LIMIT);
}

// Whether the file at relative is the base of a windowed item, read in blocks.
Result CheckWindowedBase(const FolderHandle& root, const std::string& relative,
                         const DeltaItem& item) {
    const Failure other{relative, "is not the file the delta was made from"};
    const Expected<FolderHandle> folder = root.OpenBelow(FolderOf(relative), false);
    if (!folder) return other;
    const Expected<DataFile> base = (*folder).OpenDataFile(NameOf(relative), true);
    if (!base || (*base).Size() != item.nBaseSize) return other;
    Sha256Hash hash;
    if (!HashFilePart(*base, 0, item.nBaseSize, hash) || hash.HexDigest() != item.baseSha256) {
        return other;
    }
    return {};
}

// Rebuilds a windowed item into the transaction window by window: a failure
// of the rebuild is the delta's (bUnusable), any other the folder's.
Result StageWindows(InstallTransaction& transaction, const FolderHandle& root,
                    const std::string& relative, const DeltaItem& item, bool& bUnusable) {
    bUnusable = true;
    const Expected<FolderHandle> folder = root.OpenBelow(FolderOf(relative), false);
    if (!folder) return folder.GetFailure();
    const Expected<DataFile> base = (*folder).OpenDataFile(NameOf(relative), true);
    if (!base) return base.GetFailure();
    Expected<NewFile> file = transaction.Create(relative);
    if (!file) {
        bUnusable = false;
        return file.GetFailure();
    }
    Result written;
    Result rebuilt = RebuildWindows(
        item,
        [&](uint64_t nOffset, char* pOut, std::size_t nSize) {
            return (*base).ReadAt(nOffset, pOut, nSize);
        },
        [&](std::string_view data) {
            written = (*file).Write(data.data(), data.size());
            return written;
        });
    if (!written) {
        bUnusable = false;
        return written;
    }
    if (!rebuilt) return rebuilt;
    bUnusable = false;
    (*file).SetTimeAndAttributes(item.dwDosDate, item.dwVersionMadeBy, item.dwExternalAttributes);
    if (Result finished = (*file).Finish(true); !finished) return finished;
    return transaction.Keep(std::move(*file));
}

// Writes an item rebuilt from a delta into the transaction, with the time and
// the attributes its full archive gives it.
Result StageItem(InstallTransaction& transaction, const std::string& relative,
                 std::string_view data, const DeltaItem& item) {
    Expected<NewFile> file = transaction.Create(relative);
    if (!file) return file.GetFailure();
    if (Result written = (*file).Write(data.data(), data.size()); !written) return written;
    (*file).SetTimeAndAttributes(item.dwDosDate, item.dwVersionMadeBy, item.dwExternalAttributes);
    if (Result finished = (*file).Finish(true); !finished) return finished;
    return transaction.Keep(std::move(*file));
}

bool OpenBody(ZipExtractor& extractor, const FetchedBody& body) {
    return body.pFile != nullptr ? extractor.OpenDataFile(*body.pFile, "")
                                 : extractor.OpenMemory(body.memory.data(), body.memory.size(), "");
}

// Stages a copy of the file as relative, in blocks.
Result StageCopy(InstallTransaction& transaction, const std::string& relative,
                 const DataFile& source) {
    Expected<NewFile> file = transaction.Create(relative);
    if (!file) return file.GetFailure();
    std::string block(EXTRACT_CHUNK_SIZE, '\0');
    for (uint64_t nDone = 0; nDone < source.Size();) {
        const Expected<std::size_t> read = source.ReadAt(nDone, block.data(), block.size());
        if (!read) return read.GetFailure();
        if (*read == 0) return Failure{source.Path(), "shorter than it was"};
        if (Result written = (*file).Write(block.data(), *read); !written) return written;
        nDone += *read;
    }
    if (Result finished = (*file).Finish(true); !finished) return finished;
    return transaction.Keep(std::move(*file));
}

// Removes the saved archive (never a folder or a link in its place).
void RemoveSaved(const FolderHandle& root, const std::string& name) {
    const Expected<FolderHandle> folder = root.OpenBelow(FolderOf(name), false);
    if (!folder || (*folder).KindOf(NameOf(name)) != EntryKind::FILE) return;
    (*folder).SetHidden(NameOf(name), false);
    (*folder).RemoveEntry(NameOf(name));
}

}  // namespace

InstallOutcome InstallFile(const FolderHandle& root, const std::string& name,
                           const FetchedBody& body, const StageReport& onStage) {
    const bool bArchive = EndsWithNoCaseMbcs(name, "zip");
    onStage(InstallStage::SAVING);
    if (Result place = CheckPlace(root, name); !place) return Unsafe(name, place.GetFailure());
    InstallTransaction transaction(root);
    // A body in memory is saved first; one in a file of ours is read from there.
    // The saved archive is ours to delete whatever happens; any other file is
    // the installation.
    const bool bSave = body.pFile == nullptr;
    Result saved = transaction.Begin(bArchive && bSave ? name : std::string());
    if (saved && bSave) {
        saved = transaction.SaveNow(name, body.memory, bArchive);
    } else if (saved && !bArchive) {
        saved = StageCopy(transaction, name, *body.pFile);
        if (saved) saved = transaction.Commit();
    }
    if (!saved) {
        return Refused(InstallResult::NOT_SAVED, name, "could not be saved", saved.GetFailure());
    }
    if (!bArchive) {
        onStage(InstallStage::INSTALLED);
        return {InstallResult::INSTALLED, {}};
    }
    onStage(InstallStage::UNPACKING);
    // The items are inflated from the body where it is; the saved archive is the
    // same bytes, and the folder shows it as it did.
    const std::string prefix = FolderOf(name);
    InstallOutcome outcome{InstallResult::INSTALLED, {}};
    Result unpacked;
    ZipExtractor extractor;
    if (!OpenBody(extractor, body)) {
        outcome = NotUnpacked(name, DAMAGED);
    } else if (Result places = CheckItemPlaces(extractor, root, prefix); !places) {
        // Nothing is written outside the folder, nor what would not fit.
        outcome = Unsafe(name, places.GetFailure());
    } else if (extractor.DeclaredSize() > root.FreeSpace()) {
        outcome = {InstallResult::NO_SPACE,
                   {name, "its items do not fit the free space in " + root.Path()}};
    } else {
        extractor.StageInto(&transaction, prefix);
        unpacked = extractor.ExtractAll(false);
    }
    extractor.Close();
    // The archive goes while the record that would remove it after a crash still
    // stands; the transaction removes that record when it ends.
    if (bSave) RemoveSaved(root, name);
    if (outcome.result != InstallResult::INSTALLED) return outcome;
    if (unpacked) unpacked = transaction.Commit();
    if (!unpacked) return NotUnpacked(name, unpacked.GetFailure());
    onStage(InstallStage::INSTALLED);
    return outcome;
}

InstallOutcome InstallFromDelta(const FolderHandle& root, const std::string& archiveName,
                                std::string_view delta, const StageReport& onStage,
                                const SignedFiles& signedFiles) {
    const std::string deltaName = archiveName + DELTA_SUFFIX;
    if (Result place = CheckPlace(root, archiveName); !place) {
        return Unsafe(archiveName, place.GetFailure());
    }
    const std::string prefix = FolderOf(archiveName);
    // The index, then every base it names: the file in the folder, as it was when
    // the delta was made.
    Expected<std::vector<DeltaItem>> index = ReadDelta(delta);
    if (!index) return Unusable(deltaName, index.GetFailure().Text());
    if ((*index).empty() && signedFiles.own.empty()) {
        return Unusable(deltaName, "no item in its index");
    }
    onStage(InstallStage::COMPARING);
    // A file that holds what it must; nothing to check where expected is empty.
    const auto holds = [&](const std::string& relative, const std::string& expected,
                           const std::optional<uint64_t>& nSize) {
        const Expected<std::string> base = ReadBase(root, relative);
        return base && (!nSize || base->size() == *nSize) &&
               (expected.empty() || Sha256Hex(*base) == expected);
    };
    const auto notTheBase = [&](const std::string& relative) {
        return Unusable(deltaName, relative + " is not the file the delta was made from");
    };
    // Each item is named as the extraction of the full archive names it.
    std::set<std::string> named;
    for (DeltaItem& item : *index) {
        const std::string path = ItemPath(prefix + item.name);
        named.insert(path);
        const std::string relative = NativePath(path);
        if (Result place = CheckPlace(root, relative); !place) {
            return Unsafe(deltaName, place.GetFailure());
        }
        if (item.method == DeltaMethod::WINDOWS) {  // never held whole: hashed in blocks
            if (Result same = CheckWindowedBase(root, relative, item); !same) {
                return Unusable(deltaName, same.GetFailure().Text());
            }
            continue;
        }
        if (item.resultSha256.empty()) {  // what the signed index says it holds
            const Expected<std::string> indexed = signedFiles.hashOf(path);
            if (!indexed) return Unusable(deltaName, indexed.GetFailure().Text());
            if (indexed->empty() && item.method != DeltaMethod::SAME) {
                return Unusable(deltaName, path + ": the signed index does not say what it holds");
            }
            item.resultSha256 = *indexed;
            if (item.method == DeltaMethod::SAME) item.baseSha256 = *indexed;
        }
        if (item.method == DeltaMethod::WHOLE) continue;
        if (item.method == DeltaMethod::SAME && item.baseSha256.empty()) continue;
        if (!holds(relative, item.baseSha256, item.nBaseSize)) return notTheBase(relative);
    }
    // What the delta leaves out of its archive's files is unchanged.
    for (const auto& [path, sha256] : signedFiles.own) {
        if (named.count(path) != 0) continue;
        const std::string relative = NativePath(path);
        if (Result place = CheckPlace(root, relative); !place) {
            return Unsafe(deltaName, place.GetFailure());
        }
        if (!holds(relative, sha256, std::nullopt)) return notTheBase(relative);
    }
    onStage(InstallStage::UNPACKING);
    // Each item rebuilt and staged; nothing replaces a file before all are.
    InstallTransaction transaction(root);
    if (Result begun = transaction.Begin({}); !begun) {
        return NotUnpacked(archiveName, begun.GetFailure());
    }
    for (const DeltaItem& item : *index) {
        if (item.method == DeltaMethod::SAME) continue;
        const std::string relative = NativePath(ItemPath(prefix + item.name));
        if (item.method == DeltaMethod::WINDOWS) {
            bool bUnusable = false;
            if (Result staged = StageWindows(transaction, root, relative, item, bUnusable);
                !staged) {
                return bUnusable ? Unusable(deltaName, staged.GetFailure().Text())
                                 : NotUnpacked(archiveName, staged.GetFailure());
            }
            continue;
        }
        Expected<std::string> base = std::string();
        if (item.method != DeltaMethod::WHOLE) {
            base = ReadBase(root, relative);
            if (!base) return Unusable(deltaName, base.GetFailure().Text());
        }
        const Expected<std::string> result = RebuildItem(item, *base);
        if (!result) return Unusable(deltaName, result.GetFailure().Text());
        if (Result staged = StageItem(transaction, relative, *result, item); !staged) {
            return NotUnpacked(archiveName, staged.GetFailure());
        }
    }
    if (Result committed = transaction.Commit(); !committed) {
        return NotUnpacked(archiveName, committed.GetFailure());
    }
    onStage(InstallStage::INSTALLED);
    return {InstallResult::INSTALLED, {}};
}

InstallOutcome RestoreFiles(const FolderHandle& root, const std::string& name,
                            const FetchedBody& body, const std::set<std::string>& paths) {
    if (!EndsWithNoCaseMbcs(name, "zip")) return InstallFile(root, name, body, [](InstallStage) {});
    if (Result place = CheckPlace(root, name); !place) return Unsafe(name, place.GetFailure());
    const std::string prefix = FolderOf(name);
    std::set<std::string> wanted;
    for (const std::string& wantedPath : paths) wanted.insert(NativePath(wantedPath));
    ZipExtractor extractor;
    if (!OpenBody(extractor, body)) return NotUnpacked(name, DAMAGED);
    InstallTransaction transaction(root);
    if (Result begun = transaction.Begin({}); !begun) return NotUnpacked(name, begun.GetFailure());
    extractor.StageInto(&transaction, prefix);
    // Only the items asked for; every other file of the folder stays as it is.
    std::size_t nFound = 0;
    for (bool bMore = extractor.GoToFirstItem(); bMore; bMore = extractor.GoToNextItem()) {
        ZipItemInfo info;
        if (!extractor.GetCurrentItemInfo(info) || info.bFolder || info.bNameTooLong ||
            wanted.count(prefix + info.szName) == 0) {
            continue;
        }
        if (Result place = CheckPlace(root, prefix + info.szName); !place) {
            return Unsafe(name, place.GetFailure());
        }
        if (Result extracted = extractor.ExtractCurrentItem(); !extracted) {
            return NotUnpacked(name, extracted.GetFailure());
        }
        ++nFound;
    }
    extractor.Close();
    if (nFound != wanted.size()) {
        return {InstallResult::NOT_UNPACKED, {name, "it lacks files the index says it holds"}};
    }
    if (Result committed = transaction.Commit(); !committed) {
        return NotUnpacked(name, committed.GetFailure());
    }
    return {InstallResult::INSTALLED, {}};
}

}  // namespace corvana
