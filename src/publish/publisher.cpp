#include "publish/publisher.h"

#include <algorithm>
#include <charconv>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <limits>
#include <map>
#include <optional>
#include <set>

#include "archive/delta.h"
#include "archive/item_name.h"
#include "archive/sha256.h"
#include "archive/zip_extractor.h"
#include "install/file_index.h"
#include "install/folder_guard.h"
#include "platform/checksum_list.h"
#include "platform/codepage.h"
#include "platform/files.h"
#include "platform/text.h"
#include "publish/content.h"
#include "publish/delta_maker.h"
#include "publish/launcher.h"
#include "publish/password.h"
#include "publish/readback.h"
#include "publish/set_store.h"
#include "publish/zip_writer.h"
#include "run/manifest.h"
#include "run/patch_server.h"
#include "verify/minisign.h"
#include "verify/patch_set.h"

namespace corvana {

const char* const PUBLISH_USAGE =
    "usage: make-patch-set [--append] [--sign KEYFILE [--password-file FILE] [--delta]\n"
    "                      [--mirror HOST]... [--no-mirrors]]\n"
    "                      [--desktop] [--keep N] [--follow-links] OUT_DIR [NUMBER=SOURCE[;LABEL] "
    "...]\n"
    "\n"
    "Builds or extends the patch set served at OUT_DIR: each SOURCE folder packed into\n"
    "NAME.zip (an existing file published as it is), and patch_info.txt listing the\n"
    "entries (labels in CP949). Quote each entry: the ';' before a label ends a shell\n"
    "command otherwise. The new set is read back as a player's updater reads it and\n"
    "put live only when every player can install it.\n"
    "\n"
    "  --append          keep the entries of the live set\n"
    "  --sign KEYFILE    sign the set with a minisign secret key: SHA256SUMS, its\n"
    "                    signature, and the index of installed files (for repairs)\n"
    "  --password-file F the key's password from the first line of F ('-': stdin)\n"
    "  --delta           with --sign: a delta beside each new archive\n"
    "  --mirror HOST     with --sign: a further host that serves the same files\n"
    "                    (repeated for more; in place of the live set's mirrors)\n"
    "  --no-mirrors      with --sign: no mirrors (the live set's are kept otherwise)\n"
    "  --desktop         the desktop launcher beside the Linux updater in a folder\n"
    "  --keep N          sets kept beside the live one (3, at least 2)\n"
    "  --follow-links    pack a link that stays inside its content folder as its file\n"
    "                    (other links are refused)\n";

namespace {

namespace fs = std::filesystem;

constexpr std::size_t TEXT_LIMIT = std::size_t{64} * 1024 * 1024;

bool IsArchiveName(std::string_view name) {
    return name.size() >= 4 && EqualsNoCase(name.substr(name.size() - 4), ".zip");
}

std::string FolderOf(std::string_view name) {
    const std::size_t nCut = name.find_last_of("/\\");
    return nCut == std::string_view::npos ? std::string() : std::string(name.substr(0, nCut + 1));
}

std::string ReadText(const fs::path& path) {
    const Expected<std::string> text = ReadSmallFile(path.string().c_str(), TEXT_LIMIT);
    return text ? *text : std::string();
}

// The entry lines of a manifest as it stands (its labels as the server has them).
std::vector<ManifestLine> ManifestLines(std::string_view manifest) {
    std::vector<ManifestLine> lines;
    for (std::size_t nStart = 0; nStart < manifest.size();) {
        std::size_t nEnd = manifest.find_first_of("\r\n", nStart);
        if (nEnd == std::string_view::npos) nEnd = manifest.size();
        const std::string_view line = manifest.substr(nStart, nEnd - nStart);
        nStart = nEnd + 1;
        if (line == "#END") break;
        if (line.empty() || line[0] == '#') continue;
        const std::size_t nEquals = line.find('=');
        const ManifestEntry entry =
            SplitEntry(nEquals == std::string_view::npos ? line : line.substr(nEquals + 1), 0);
        lines.push_back({ReadEntryNumber(line), entry.strName,
                         entry.bLabelled ? std::string(line.substr(line.find(';') + 1)) : "",
                         entry.bLabelled});
    }
    return lines;
}

std::string LineText(const ManifestLine& line) {
    return std::to_string(line.nNumber) + "=" + line.strName +
           (line.bLabelled ? ";" + line.strLabel : "");
}

// The installation folder as the earlier entries leave it, kept between runs in
// OUT_DIR.sets/.base-cache/: a publish unpacks only the archives the cached base
// lacks (none when it publishes on top of the last publish's set).
class BaseCache {
public:
    BaseCache(const std::string& sets, std::string setFolder)
        : m_strSetFolder(std::move(setFolder)) {
        m_root = fs::path(sets) / ".base-cache";
        m_work = m_root / "work";
    }

    Result Start(const std::vector<ManifestLine>& earlier) {
        std::error_code error;
        fs::remove_all(m_work, error);  // a run that ended half-way
        for (const ManifestLine& line : earlier) m_keys.push_back(Key(line));
        std::vector<std::string> known;
        std::ifstream chain(m_root / "chain");
        for (std::string key; std::getline(chain, key);) known.push_back(key);
        const bool bReuse = chain.is_open() && known.size() <= m_keys.size() &&
                            std::equal(known.begin(), known.end(), m_keys.begin()) &&
                            fs::is_directory(m_root / "base");
        if (bReuse) {
            fs::rename(m_root / "base", m_work, error);
            m_nReused = known.size();
        } else {
            fs::remove_all(m_root, error);
        }
        fs::create_directories(m_work, error);
        if (error) return Failure{m_work.string(), error.message()};
        for (std::size_t i = m_nReused; i < earlier.size(); ++i) {
            if (Result added = Unpack(earlier[i]); !added) return added;
        }
        return {};
    }

    // The base one entry further on.
    Result Add(const ManifestLine& line) {
        m_keys.push_back(Key(line));
        return Unpack(line);
    }

    void Keep() {
        std::error_code error;
        fs::remove(m_root / "chain", error);
        fs::remove_all(m_root / "base", error);
        fs::rename(m_work, m_root / "base", error);
        std::string text;
        for (const std::string& key : m_keys) text += key + "\n";
        static_cast<void>(ReplaceWholeFile((m_root / "chain").string(), text));
    }

    std::string Base() const { return m_work.string(); }
    std::size_t Reused() const { return m_nReused; }

private:
    // What a base depends on for one entry: its line and its file's bytes.
    std::string Key(const ManifestLine& line) const {
        std::string hex;
        static constexpr char DIGITS[] = "0123456789abcdef";
        for (const char c : LineText(line)) {
            hex += DIGITS[static_cast<unsigned char>(c) >> 4];
            hex += DIGITS[static_cast<unsigned char>(c) & 0xF];
        }
        const fs::path file = fs::path(m_strSetFolder) / line.strName;
        std::error_code error;
        const uint64_t nSize = fs::file_size(file, error);
        Sha256Hash hash;
        std::string buffer(std::size_t{1} << 20, '\0');
        if (!error) {
            ReadInBlocks(file.string().c_str(), nSize, buffer,
                         [&](std::string_view block) { hash.Update(block); });
        }
        return hex + " " + hash.HexDigest();
    }

    // The entry installed into the base as the updater installs it.
    Result Unpack(const ManifestLine& line) const {
        const fs::path file = fs::path(m_strSetFolder) / line.strName;
        if (!fs::is_regular_file(file)) return {};
        const fs::path below = m_work / FolderOf(line.strName);
        std::error_code error;
        fs::create_directories(below, error);
        if (!IsArchiveName(line.strName)) {
            fs::copy_file(file, m_work / line.strName, fs::copy_options::overwrite_existing, error);
            if (error) return Failure{file.string(), error.message()};
            return {};
        }
        ZipExtractor archive;
        if (!archive.Open(file.string().c_str(), false)) {
            return Failure{line.strName, "not an archive, or a damaged one"};
        }
        if (Result unpacked = archive.ExtractAllTo(below.string().c_str(), false); !unpacked) {
            return Failure{line.strName, unpacked.GetFailure().Text()};
        }
        return {};
    }

    std::string m_strSetFolder;
    fs::path m_root;
    fs::path m_work;
    std::vector<std::string> m_keys;
    std::size_t m_nReused = 0;
};

Expected<MinisignSecretKey> ObtainKey(const PublishOptions& options) {
    const Expected<std::string> text = ReadSmallFile(options.keyFile.c_str(), 1 << 16);
    if (!text) return Failure{options.keyFile, text.GetFailure().why};
    const Expected<bool> bEncrypted = SecretKeyNeedsPassword(*text);
    if (!bEncrypted) return Failure{options.keyFile, bEncrypted.GetFailure().why};
    std::string password;
    if (*bEncrypted && options.passwordFile == "-") {
        std::getline(std::cin, password);
    } else if (*bEncrypted && !options.passwordFile.empty()) {
        std::ifstream file(options.passwordFile);
        if (!file) return Failure{options.passwordFile, "cannot be read"};
        std::getline(file, password);
    } else if (*bEncrypted) {
        const Expected<std::string> asked = AskPassword("Password for " + options.keyFile + ": ");
        if (asked) {
            password = *asked;
        } else if (!std::getline(std::cin, password)) {
            // No terminal: the first line of the standard input, as scripts give it.
            return Failure{options.keyFile,
                           asked.GetFailure().why + ", nor a line on the standard input"};
        }
    }
    if (!password.empty() && password.back() == '\r') password.pop_back();
    Expected<MinisignSecretKey> key = ReadSecretKey(*text, password);
    if (!key) return Failure{options.keyFile, key.GetFailure().why};
    return key;
}

// Packs a content folder into archive, with the launcher's files it lacks.
Result Pack(const std::string& source, const fs::path& archive, bool bLauncher, bool bFollowLinks) {
    const Expected<std::vector<ContentFile>> files = ScanContent(source, bFollowLinks);
    if (!files) return Failure{source, files.GetFailure().Text()};
    const fs::path partial = archive.string() + ".partial";
    ZipWriter writer;
    if (Result created = writer.Create(partial.string()); !created) return created;
    std::set<std::string> names;
    for (const ContentFile& file : *files) {
        names.insert(file.name);
        if (Result added = writer.AddFile(file.name, file.path, file.nSize,
                                          DosDateOf(file.nModified), file.dwMode);
            !added) {
            return added;
        }
    }
    if (bLauncher) {
        const uint32_t dwNow = DosDateOf(std::time(nullptr));
        for (const auto& [name, data] : LauncherFiles()) {
            if (names.count(name) != 0) continue;  // the folder's own is packed instead
            if (Result added = writer.AddData(name, data, dwNow, 0100644); !added) return added;
        }
    }
    if (Result closed = writer.Close(); !closed) return closed;
    std::error_code error;
    fs::rename(partial, archive, error);
    if (error) return Failure{archive.string(), error.message()};
    return {};
}

// Writes the index of installed files, the signed list and its signature.
Result Sign(const fs::path& folder, const MinisignSecretKey& key, uint64_t nTimestamp,
            const std::function<void(const std::string&)>& say) {
    const std::string manifest = ReadText(folder / MANIFEST_NAME);
    const std::vector<ManifestEntry> entries =
        ReadManifest(manifest, -1, std::numeric_limits<std::size_t>::max()).vecEntries;
    const Expected<std::vector<IndexedFile>> installed =
        FilesTheSetInstalls(folder.string(), entries);
    if (!installed) return installed.GetFailure();
    for (const auto& [name, text] : {std::pair{FILE_SUMS_NAME, WriteFileSums(*installed)},
                                     std::pair{FILE_ENTRIES_NAME, WriteFileEntries(*installed)}}) {
        if (Result written = ReplaceWholeFile((folder / name).string(), text); !written) {
            return written;
        }
    }
    say("indexed " + std::to_string(installed->size()) + " installed files (" + FILE_SUMS_NAME +
        ", " + FILE_ENTRIES_NAME + ")");
    std::vector<std::string> names{MANIFEST_NAME, FILE_SUMS_NAME, FILE_ENTRIES_NAME,
                                   SET_POINTER_NAME};
    if (fs::is_regular_file(folder / MIRRORS_NAME)) names.emplace_back(MIRRORS_NAME);
    for (const ManifestEntry& entry : entries) {
        for (const std::string& name : {entry.strName, entry.strName + DELTA_SUFFIX}) {
            if (std::find(names.begin(), names.end(), name) != names.end()) continue;
            if (name == entry.strName || fs::is_regular_file(folder / name)) names.push_back(name);
        }
    }
    std::vector<ChecksumLine> lines;
    std::string buffer(std::size_t{1} << 20, '\0');
    for (const std::string& name : names) {
        std::error_code error;
        const uint64_t nSize = fs::file_size(folder / name, error);
        Sha256Hash hash;
        if (error || !ReadInBlocks((folder / name).string().c_str(), nSize, buffer,
                                   [&](std::string_view block) { hash.Update(block); })) {
            return Failure{(folder / name).string(), "listed in the manifest but missing"};
        }
        lines.push_back({hash.Digest(), name});
    }
    const std::string list = WriteChecksumList(lines);
    const std::string stamp = "timestamp:" + std::to_string(nTimestamp);
    if (Result written = ReplaceWholeFile((folder / CHECKSUMS_NAME).string(), list); !written) {
        return written;
    }
    if (Result written =
            ReplaceWholeFile((folder / SIGNATURE_NAME).string(), SignFile(key, list, stamp));
        !written) {
        return written;
    }
    say("signed SHA256SUMS (" + std::to_string(names.size()) + " files, " + stamp + ")");
    return {};
}

// Builds the set in folder; the caller puts it live.
Result Build(const PublishOptions& options, const fs::path& folder, const SetStore& store,
             const LiveSet& live, const std::optional<MinisignSecretKey>& key,
             const std::function<void(const std::string&)>& say) {
    std::vector<ManifestLine> lines =
        options.bAppend ? ManifestLines(live.manifest) : std::vector<ManifestLine>{};
    const std::size_t nFirst = lines.size();
    for (const std::string& argument : options.entries) {
        const std::size_t nEquals = argument.find('=');
        const std::string rest = argument.substr(nEquals + 1);
        const std::size_t nSemicolon = rest.find(';');
        const fs::path source = rest.substr(0, nSemicolon);
        const std::string label =
            nSemicolon == std::string::npos ? "" : rest.substr(nSemicolon + 1);
        ManifestLine line;
        line.nNumber = ReadEntryNumber(argument);
        line.bLabelled = nSemicolon != std::string::npos;
        if (line.bLabelled) {
            const Expected<std::string> encoded = EncodeServerText(label);
            if (!encoded) return Failure{argument, "the label " + encoded.GetFailure().why};
            line.strLabel = *encoded;
        }
        const auto taken = [&](const std::string& name) {
            return std::any_of(lines.begin(), lines.end(), [&](const ManifestLine& known) {
                return EqualsNoCase(known.strName, name);
            });
        };
        if (fs::is_directory(source)) {
            line.strName = source.filename().string() + ".zip";
            if (taken(line.strName)) {
                // An earlier entry's archive is never replaced: this one gets a name of its own.
                const std::string earlier = line.strName;
                line.strName =
                    source.filename().string() + "-" + std::to_string(line.nNumber) + ".zip";
                say("  " + earlier + " is the archive of an earlier entry: this one is " +
                    line.strName);
                if (taken(line.strName)) return Failure{argument, line.strName + " is taken too"};
            }
            const bool bLauncher = options.bDesktop && fs::is_regular_file(source / LINUX_UPDATER);
            if (Result packed =
                    Pack(source.string(), folder / line.strName, bLauncher, options.bFollowLinks);
                !packed) {
                return packed;
            }
            if (bLauncher) say("  " + line.strName + ": with the desktop launcher");
        } else {
            line.strName = source.filename().string();
            if (taken(line.strName)) {
                return Failure{argument, "an earlier entry has a file named " + line.strName +
                                             ": give this one another name"};
            }
            std::error_code error;
            if (fs::is_symlink(fs::symlink_status(source, error))) {
                return Failure{source.string(), "a symbolic link: its target is not published"};
            }
            fs::copy_file(source, folder / line.strName, error);
            if (error) return Failure{source.string(), error.message()};
        }
        if (Result portable = CheckPortableName(line.strName); !portable) return portable;
        std::error_code error;
        fs::remove(folder / (line.strName + DELTA_SUFFIX), error);  // an earlier archive's, carried
        lines.push_back(line);
        say("  " + std::to_string(line.nNumber) + "=" + line.strName +
            (line.bLabelled ? ";" + label : ""));
    }
    if (options.bDelta) {
        BaseCache cache(store.Sets(), folder.string());
        const std::vector<ManifestLine> earlier(
            lines.begin(), lines.begin() + static_cast<std::ptrdiff_t>(nFirst));
        if (Result started = cache.Start(earlier); !started) return started;
        say("  base: " + std::to_string(cache.Reused()) + " of " + std::to_string(nFirst) +
            " entries from the cache");
        // The files the set's signed index will have from each archive: a delta
        // leaves those of its own archive that it does not change to the index.
        const Expected<std::vector<IndexedFile>> installed = FilesTheSetInstalls(
            folder.string(),
            ReadManifest(WriteManifest(lines), -1, std::numeric_limits<std::size_t>::max())
                .vecEntries);
        if (!installed) return installed.GetFailure();
        std::map<std::string, std::set<std::string>> indexed;
        for (const IndexedFile& file : *installed) indexed[file.archive].insert(file.path);
        for (std::size_t i = nFirst; i < lines.size(); ++i) {
            const ManifestLine& line = lines[i];
            if (IsArchiveName(line.strName)) {
                const std::string archive = (folder / line.strName).string();
                const std::string deltaPath = archive + DELTA_SUFFIX;
                const std::set<std::string>& own = indexed[line.strName];
                const Expected<DeltaCounts> counts = MakeDelta(
                    archive, ItemPath(FolderOf(line.strName)), cache.Base(), deltaPath, {}, own);
                if (!counts) return counts.GetFailure();
                if (!counts->bMade) {
                    say("  " + line.strName + ": no delta (" + counts->skipped + ")");
                } else if (Result checked =
                               CheckDelta(deltaPath, archive, ItemPath(FolderOf(line.strName)),
                                          cache.Base(), own);
                           !checked) {
                    return checked;
                } else {
                    std::error_code error;
                    const std::string stem = line.strName.substr(0, line.strName.size() - 4);
                    say("  " + line.strName + ".delta: " + std::to_string(counts->nBytes) +
                        " bytes (" + stem +
                        ".zip: " + std::to_string(fs::file_size(archive, error)) + "); " +
                        std::to_string(counts->nSame) + " same, " +
                        std::to_string(counts->nPatched) + " patched, " +
                        std::to_string(counts->nDiffed) + " diffed, " +
                        std::to_string(counts->nWindowed) + " in windows, " +
                        std::to_string(counts->nWhole) + " whole");
                }
            }
            if (Result added = cache.Add(line); !added) return added;
        }
        cache.Keep();
    }
    if (!options.entries.empty() || !fs::exists(folder / MANIFEST_NAME)) {
        std::error_code error;
        fs::remove(folder / MANIFEST_NAME, error);  // it may be the live set's, linked
        if (Result written =
                ReplaceWholeFile((folder / MANIFEST_NAME).string(), WriteManifest(lines));
            !written) {
            return written;
        }
        say("wrote patch_info.txt (" + std::to_string(lines.size()) + " entries)");
    }
    // A signed set names its own folder: players fetch everything else from
    // there, where nothing changes once it is published. The live set's pointer
    // is never carried on.
    std::error_code removed;
    fs::remove(folder / SET_POINTER_NAME, removed);  // it may be the live set's, linked
    if (!options.mirrors.empty() || options.bNoMirrors || !key) {
        fs::remove(folder / MIRRORS_NAME, removed);  // the live set's, replaced or dropped
    }
    if (key && !options.mirrors.empty()) {
        std::string list;
        for (const std::string& mirror : options.mirrors) list += mirror + "\n";
        if (Result written = ReplaceWholeFile((folder / MIRRORS_NAME).string(), list); !written) {
            return written;
        }
        say("wrote mirrors.txt (" + std::to_string(options.mirrors.size()) + " hosts)");
    }
    if (key) {
        if (Result written = ReplaceWholeFile((folder / SET_POINTER_NAME).string(),
                                              folder.filename().string() + "\n");
            !written) {
            return written;
        }
        // Always after the live set's time, whatever the clock says: players who
        // took that one refuse an older one.
        const auto nNow = static_cast<uint64_t>(std::time(nullptr));
        if (Result signedSet = Sign(folder, *key, std::max(nNow, live.nTimestamp + 1), say);
            !signedSet) {
            return signedSet;
        }
    }
    const std::string publicKey = key ? PublicKeyLine(PublicKeyOf(*key)) : std::string();
    return CheckSetAsAPlayer(folder.string(), publicKey, key ? live.nTimestamp : 0);
}

}  // namespace

Expected<PublishOptions> ReadPublishOptions(const std::vector<std::string>& arguments) {
    PublishOptions options;
    std::vector<std::string> rest;
    const Failure usage{{}, PUBLISH_USAGE};
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        const std::string& argument = arguments[i];
        const auto value = [&]() -> const std::string* {
            return i + 1 < arguments.size() ? &arguments[++i] : nullptr;
        };
        if (argument == "--append") {
            options.bAppend = true;
        } else if (argument == "--delta") {
            options.bDelta = true;
        } else if (argument == "--desktop") {
            options.bDesktop = true;
        } else if (argument == "--follow-links") {
            options.bFollowLinks = true;
        } else if (argument == "--no-mirrors") {
            options.bNoMirrors = true;
        } else if (argument == "--mirror") {
            const std::string* pValue = value();
            if (pValue == nullptr) return usage;
            if (!IsMirrorHost(*pValue)) {
                return Failure{*pValue,
                               "not a host (HOST[:PORT][/PATH], optionally after http:// or "
                               "https://)"};
            }
            options.mirrors.push_back(*pValue);
        } else if (argument == "--sign" || argument == "--password-file" || argument == "--keep") {
            const std::string* pValue = value();
            if (pValue == nullptr) return usage;
            if (argument == "--sign") options.keyFile = *pValue;
            if (argument == "--password-file") options.passwordFile = *pValue;
            if (argument == "--keep") {
                unsigned nKeep = 0;
                const auto [pEnd, error] =
                    std::from_chars(pValue->data(), pValue->data() + pValue->size(), nKeep);
                if (error != std::errc() || pEnd != pValue->data() + pValue->size() || nKeep < 2) {
                    return Failure{"--keep", "a number of sets, at least 2"};
                }
                options.nKeep = nKeep;
            }
        } else if (argument.starts_with("--")) {
            return usage;
        } else {
            rest.push_back(argument);
        }
    }
    if (rest.empty() || (rest.size() < 2 && !options.bAppend && options.keyFile.empty())) {
        return usage;
    }
    options.out = rest[0];
    options.entries.assign(rest.begin() + 1, rest.end());
    if ((!options.mirrors.empty() || options.bNoMirrors) && options.keyFile.empty()) {
        return Failure{options.bNoMirrors ? "--no-mirrors" : "--mirror",
                       "only with --sign (updaters find mirrors through the signed list)"};
    }
    if (options.mirrors.size() > MAX_MIRRORS) {
        return Failure{"--mirror", "at most " + std::to_string(MAX_MIRRORS) + " mirrors"};
    }
    if (options.bDelta && options.keyFile.empty()) {
        return Failure{"--delta",
                       "only with --sign (updaters find a delta through the signed list)"};
    }
    for (const std::string& entry : options.entries) {
        const std::size_t nEquals = entry.find('=');
        if (nEquals == std::string::npos) return usage;
        std::string number = entry.substr(0, nEquals);
        number.erase(0, number.find_first_not_of(" \t"));
        number.erase(number.find_last_not_of(" \t") + 1);
        int32_t nNumber = 0;
        const auto [pEnd, error] =
            std::from_chars(number.data(), number.data() + number.size(), nNumber);
        if (number.empty() || error != std::errc() || pEnd != number.data() + number.size()) {
            return Failure{entry, "the number must be an integer"};
        }
        const std::string rest2 = entry.substr(nEquals + 1);
        const fs::path source = rest2.substr(0, rest2.find(';'));
        std::error_code failed;
        if (!fs::exists(fs::symlink_status(source, failed))) {
            return Failure{source.string(), "no such file or folder"};
        }
    }
    if (options.bDesktop &&
        std::none_of(options.entries.begin(), options.entries.end(), [](const std::string& entry) {
            const std::string rest2 = entry.substr(entry.find('=') + 1);
            return fs::is_regular_file(fs::path(rest2.substr(0, rest2.find(';'))) / LINUX_UPDATER);
        })) {
        return Failure{"--desktop", std::string("no folder to pack holds ") + LINUX_UPDATER};
    }
    return options;
}

Result Publish(const PublishOptions& options, const std::function<void(const std::string&)>& say) {
    // The password comes first: nothing is written while it is asked for.
    std::optional<MinisignSecretKey> key;
    if (!options.keyFile.empty()) {
        Expected<MinisignSecretKey> obtained = ObtainKey(options);
        if (!obtained) return obtained.GetFailure();
        key = *obtained;
    }
    std::error_code error;
    const fs::path given = fs::absolute(options.out, error);
    const fs::path out = fs::weakly_canonical(given.parent_path(), error) / given.filename();
    SetStore store(out.string());
    if (Result locked =
            store.Lock([&] { say("waiting for another publish of " + out.string() + " to end"); });
        !locked) {
        return locked;
    }
    const Expected<LiveSet> live = store.FindLive();
    if (!live) return live.GetFailure();
    const Expected<std::string> folder = store.NewSet();
    if (!folder) return folder.GetFailure();
    Result built = store.Carry(*live, *folder);
    if (built) built = Build(options, *folder, store, *live, key, say);
    std::vector<std::string> lines;
    if (built) built = store.PutLive(*folder, *live, lines);
    if (!built) {
        fs::remove_all(*folder, error);
        return built;
    }
    for (const std::string& line : lines) say(line);
    say("published " + out.string() + " -> " + *folder);
    lines.clear();
    store.Prune(options.nKeep, *folder, live->folder, lines);
    for (const std::string& line : lines) say(line);
    return {};
}

}  // namespace corvana
