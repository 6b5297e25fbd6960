#include "publish/readback.h"

#include <filesystem>
#include <limits>
#include <map>
#include <set>

#include "archive/delta.h"
#include "archive/item_name.h"
#include "archive/sha256.h"
#include "archive/zip_extractor.h"
#include "install/folder_guard.h"
#include "net/http_downloader.h"
#include "platform/files.h"
#include "platform/text.h"
#include "publish/content.h"
#include "run/patch_server.h"
#include "verify/patch_set.h"

namespace corvana {

namespace {

// The largest delta the updater uses (it holds a delta in memory; one larger
// leaves the entry to its archive, which may be of any size).
constexpr uint64_t LARGEST_DELTA = DOWNLOAD_BUFFER_SIZE;
constexpr std::size_t TEXT_LIMIT = std::size_t{64} * 1024 * 1024;

std::string FolderOf(std::string_view name) {
    const std::size_t nCut = name.find_last_of("/\\");
    return nCut == std::string_view::npos ? std::string() : std::string(name.substr(0, nCut + 1));
}

bool IsArchiveName(std::string_view name) {
    return name.size() >= 3 && EqualsNoCase(name.substr(name.size() - 3), "zip");
}

// Why an archive's item could not be written by every player's updater.
Result CheckItemName(const std::string& archive, const ZipItemInfo& info, const std::string& path) {
    const auto refused = [&](const std::string& why) {
        return Failure{archive, std::string(info.szName) + ": " + why};
    };
    if (info.bNameTooLong) return refused("a name longer than a path");
    if (!IsSafeItemName(info.szName, NameRules::POSIX) ||
        !IsSafeItemName(info.szName, NameRules::WINDOWS)) {
        return refused("a name that leaves the folder");
    }
    if (IsReservedName(path)) return refused("a name the updater keeps for itself");
    if (Result portable = CheckPortableName(path, true); !portable) {
        return refused(portable.GetFailure().why);
    }
    return {};
}

Expected<std::string> HashFile(const std::string& path, uint64_t nSize) {
    std::string buffer(std::size_t{1} << 20, '\0');
    Sha256Hash hash;
    if (!ReadInBlocks(path.c_str(), nSize, buffer,
                      [&](std::string_view block) { hash.Update(block); })) {
        return Failure{path, "it cannot be read"};
    }
    return hash.HexDigest();
}

// The size of a plain file (0 when there is none).
uint64_t SizeOf(const std::string& path) {
    std::error_code error;
    const uint64_t nSize = std::filesystem::file_size(path, error);
    return error ? 0 : nSize;
}

}  // namespace

Expected<std::vector<IndexedFile>> FilesTheSetInstalls(const std::string& setFolder,
                                                       const std::vector<ManifestEntry>& entries) {
    std::map<std::string, IndexedFile> files;
    for (const ManifestEntry& entry : entries) {
        if (entry.nNumber < 1) continue;
        const std::string path = setFolder + "/" + entry.strName;
        if (!IsArchiveName(entry.strName)) {
            const uint64_t nSize = SizeOf(path);
            const Expected<std::string> hash = HashFile(path, nSize);
            if (!hash) return hash.GetFailure();
            const std::string installed = ItemPath(entry.strName);
            files[installed] = {installed, nSize, *hash, entry.strName, entry.nNumber};
            continue;
        }
        ZipExtractor archive;
        if (!archive.Open(path.c_str(), false)) {
            return Failure{entry.strName, "not an archive, or a damaged one"};
        }
        const std::string prefix = FolderOf(entry.strName);
        for (bool bMore = archive.GoToFirstItem(); bMore; bMore = archive.GoToNextItem()) {
            ZipItemInfo info;
            if (!archive.GetCurrentItemInfo(info)) {
                return Failure{entry.strName, "a damaged archive"};
            }
            if (info.bFolder) continue;
            const std::string installed = ItemPath(prefix + info.szName);
            if (Result named = CheckItemName(entry.strName, info, installed); !named) {
                return named.GetFailure();
            }
            if (entry.bInstallPackage && EqualsNoCase(ItemPath(info.szName), "setup.exe")) {
                continue;  // the updater deletes it once it has run
            }
            const Expected<std::string> hash = archive.HashCurrentItem();
            if (!hash) return Failure{entry.strName, hash.GetFailure().Text()};
            files[installed] = {installed, info.nUncompressedSize, *hash, entry.strName,
                                entry.nNumber};
        }
    }
    std::vector<IndexedFile> installed;
    std::vector<std::string> paths;
    for (auto& [path, file] : files) {
        paths.push_back(path);
        installed.push_back(std::move(file));
    }
    if (Result unique = CheckCaseClashes(paths); !unique) return unique.GetFailure();
    return installed;
}

Result CheckSetAsAPlayer(const std::string& setFolder, const std::string& publicKeyLine,
                         uint64_t nLiveTimestamp) {
    const auto read = [&](const std::string& name) {
        return ReadSmallFile((setFolder + "/" + name).c_str(), TEXT_LIMIT);
    };
    const Expected<std::string> manifest = read(MANIFEST_NAME);
    if (!manifest) return manifest.GetFailure();
    if (IsManifestRefused(*manifest)) {
        return Failure{MANIFEST_NAME, "empty, or what the updater takes for a web page"};
    }
    const std::vector<ManifestEntry> entries =
        ReadManifest(*manifest, -1, std::numeric_limits<std::size_t>::max()).vecEntries;
    std::set<std::string> names{MANIFEST_NAME};
    for (const ManifestEntry& entry : entries) {
        if (!entry.bSafeName) {
            return Failure{entry.strName,
                           "a name that leaves the folder or that the updater keeps"};
        }
        const uint64_t nSize = SizeOf(setFolder + "/" + entry.strName);
        if (nSize == 0) return Failure{entry.strName, "missing or empty: no player can fetch it"};
        names.insert(entry.strName);
    }
    const Expected<std::vector<IndexedFile>> installed = FilesTheSetInstalls(setFolder, entries);
    if (!installed) return installed.GetFailure();
    if (publicKeyLine.empty()) return {};

    // The signed list, as the updater accepts it, and every file it names.
    PatchSetVerifier verifier;
    verifier.SetPublicKey(publicKeyLine);
    const Expected<std::string> list = read(CHECKSUMS_NAME);
    const Expected<std::string> signature = read(SIGNATURE_NAME);
    if (!list) return list.GetFailure();
    if (!signature) return signature.GetFailure();
    if (Result accepted = verifier.AcceptList(*list, *signature, nLiveTimestamp); !accepted) {
        return accepted;
    }
    if (verifier.Timestamp() <= nLiveTimestamp) {
        return Failure{SIGNATURE_NAME,
                       "signed no later than the live set: players who took that "
                       "one would refuse this one"};
    }
    const Expected<std::map<std::string, Sha256, std::less<>>> sums = ReadChecksums(*list);
    for (const auto& [name, hash] : *sums) {
        const std::string path = PathBelow(setFolder, name);
        const uint64_t nSize = SizeOf(path);
        if (name.ends_with(DELTA_SUFFIX) && nSize > LARGEST_DELTA) {
            return Failure{name, std::to_string(nSize) + " bytes: above the " +
                                     std::to_string(LARGEST_DELTA) +
                                     " bytes of a delta the updater uses"};
        }
        // Read in blocks, as the updater hashes a body as it arrives.
        const Expected<std::string> digest = HashFile(path, nSize);
        if (!digest) return digest.GetFailure();
        if (*digest != HexOf(hash)) return Failure{name, "SHA-256 differs from SHA256SUMS"};
    }
    for (const std::string& name : names) {
        if (!verifier.Lists(name)) return Failure{name, "not listed in SHA256SUMS"};
    }
    // The index, as a repair reads it, against the archives.
    const Expected<std::string> fileSums = read(FILE_SUMS_NAME);
    const Expected<std::string> fileEntries = read(FILE_ENTRIES_NAME);
    if (!fileSums) return fileSums.GetFailure();
    if (!fileEntries) return fileEntries.GetFailure();
    const Expected<std::vector<IndexedFile>> index = ReadFileIndex(*fileSums, *fileEntries);
    if (!index) return index.GetFailure();
    std::map<std::string, const IndexedFile*> indexed;
    for (const IndexedFile& file : *index) indexed[file.path] = &file;
    if (indexed.size() != installed->size()) {
        return Failure{FILE_ENTRIES_NAME, "its files are not the ones the archives install"};
    }
    for (const IndexedFile& file : *installed) {
        const auto found = indexed.find(file.path);
        if (found == indexed.end() || found->second->sha256 != file.sha256 ||
            found->second->nSize != file.nSize || found->second->archive != file.archive) {
            return Failure{FILE_ENTRIES_NAME,
                           file.path + " is not as " + file.archive + " installs it"};
        }
    }
    return {};
}

Result CheckDelta(const std::string& deltaPath, const std::string& archivePath,
                  const std::string& folder, const std::string& baseFolder,
                  const std::set<std::string>& indexed) {
    const Expected<std::string> delta = ReadSmallFile(deltaPath.c_str(), LARGEST_DELTA);
    if (!delta) return delta.GetFailure();
    const Expected<std::vector<DeltaItem>> items = ReadDelta(*delta);
    if (!items) return Failure{deltaPath, items.GetFailure().Text()};
    std::map<std::string, const DeltaItem*> byPath;
    for (const DeltaItem& item : *items) byPath[ItemPath(folder + item.name)] = &item;
    ZipExtractor archive;
    if (!archive.Open(archivePath.c_str(), false)) return Failure{archivePath, "a damaged archive"};
    std::size_t nNamed = 0;
    for (bool bMore = archive.GoToFirstItem(); bMore; bMore = archive.GoToNextItem()) {
        ZipItemInfo info;
        if (!archive.GetCurrentItemInfo(info)) return Failure{archivePath, "a damaged archive"};
        if (info.bFolder) continue;
        const std::string path = ItemPath(folder + info.szName);
        const Expected<std::string> wanted = archive.HashCurrentItem();
        if (!wanted) return Failure{archivePath, wanted.GetFailure().Text()};
        const auto found = byPath.find(path);
        if (found == byPath.end()) {  // unchanged, as the signed index says
            const std::string basePath = PathBelow(baseFolder, path);
            const Expected<std::string> base = HashFile(basePath, SizeOf(basePath));
            if (indexed.count(path) == 0 || !base || *base != *wanted) {
                return Failure{deltaPath, path + " is missing from it"};
            }
            continue;
        }
        ++nNamed;
        DeltaItem item = *found->second;
        if (item.resultSha256.empty() && item.method != DeltaMethod::SAME) {
            item.resultSha256 = *wanted;  // the index's, which is the archive's
        }
        if (item.method == DeltaMethod::WINDOWS) {  // rebuilt as the updater does, in windows
            const Expected<DataFile> windowBase = OpenFileToRead(PathBelow(baseFolder, path));
            if (!windowBase) return Failure{deltaPath, path + ": its base cannot be read"};
            const Result rebuilt = RebuildWindows(
                item,
                [&](uint64_t nOffset, char* pOut, std::size_t nSize) {
                    return (*windowBase).ReadAt(nOffset, pOut, nSize);
                },
                [](std::string_view) { return Result(); });
            if (!rebuilt || item.resultSha256 != *wanted) {
                return Failure{deltaPath, path + " does not rebuild into the archive's item"};
            }
            continue;
        }
        std::string base;
        if (item.method != DeltaMethod::WHOLE) {
            const Expected<std::string> read =
                ReadSmallFile(PathBelow(baseFolder, path).c_str(), DELTA_FILE_LIMIT);
            if (!read) return Failure{deltaPath, path + ": its base cannot be read"};
            base = *read;
        }
        const Expected<std::string> rebuilt = RebuildItem(item, base);
        if (!rebuilt || Sha256Hex(*rebuilt) != *wanted) {
            return Failure{deltaPath, path + " does not rebuild into the archive's item"};
        }
    }
    if (nNamed != items->size()) return Failure{deltaPath, "it names items the archive lacks"};
    return {};
}

}  // namespace corvana
