#include "publish/set_store.h"

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <set>
#include <system_error>

#include "archive/item_name.h"
#include "install/file_index.h"
#include "run/manifest.h"
#include "run/patch_server.h"
#include "verify/patch_set.h"

namespace corvana {

namespace {

namespace fs = std::filesystem;

constexpr const char* LOCK_NAME = ".lock";
constexpr const char* PUBLISHED_NAME = ".published";  // the sets put live, oldest first
constexpr std::size_t TEXT_LIMIT = std::size_t{64} * 1024 * 1024;

std::string Read(const fs::path& path) {
    const Expected<std::string> text = ReadSmallFile(path.string().c_str(), TEXT_LIMIT);
    return text ? *text : std::string();
}

// The UTC time as a set folder's name.
std::string Stamp() {
    const std::time_t now = std::time(nullptr);
    std::tm utc{};
#ifdef _WIN32
    gmtime_s(&utc, &now);
#else
    gmtime_r(&now, &utc);
#endif
    char szStamp[32];
    std::strftime(szStamp, sizeof szStamp, "%Y%m%dT%H%M%SZ", &utc);
    return szStamp;
}

// The files a set in folder lists, and its signature's time.
Result ReadSetFiles(const fs::path& folder, LiveSet& live) {
    live.manifest = Read(folder / MANIFEST_NAME);
    std::set<std::string> names{MANIFEST_NAME};
    for (const ManifestEntry& entry :
         ReadManifest(live.manifest, -1, std::numeric_limits<std::size_t>::max()).vecEntries) {
        names.insert(entry.strName);
    }
    const std::string list = Read(folder / CHECKSUMS_NAME);
    if (!list.empty()) {
        names.insert({CHECKSUMS_NAME, SIGNATURE_NAME});
        if (const Expected<std::map<std::string, Sha256, std::less<>>> sums = ReadChecksums(list)) {
            for (const auto& [name, hash] : *sums) names.insert(name);
        }
        const Expected<MinisignSignature> signature = ReadSignature(Read(folder / SIGNATURE_NAME));
        if (signature) {
            const Expected<uint64_t> timestamp = TrustedTimestamp(signature->strTrustedComment);
            if (timestamp) live.nTimestamp = *timestamp;
        }
    }
    for (const std::string& name : names) {
        if (!IsSafeItemName(name, NameRules::POSIX)) {
            return Failure{(folder / name).string(), "a name in the live set that leaves it"};
        }
        std::error_code error;
        const fs::file_status status = fs::symlink_status(folder / name, error);
        if (error || !fs::exists(status)) continue;  // listed, but not there
        if (!fs::is_regular_file(status)) {
            return Failure{(folder / name).string(), "not a plain file (a link?): never carried"};
        }
        live.files.push_back(name);
    }
    return {};
}

}  // namespace

SetStore::SetStore(std::string out) : m_strOut(std::move(out)), m_strSets(m_strOut + ".sets") {}

Result SetStore::Lock(const std::function<void()>& onWait) {
    std::error_code error;
    fs::create_directories(m_strSets, error);
    if (error) return Failure{m_strSets, error.message()};
    const std::string path = m_strSets + "/" + LOCK_NAME;
    Expected<FileLock> lock = FileLock::Take(path, false);
    if (lock) {
        m_lock.emplace(std::move(*lock));
        return {};
    }
    if (lock.GetFailure().why != FileLock::HELD) return lock.GetFailure();
    onWait();
    Expected<FileLock> waited = FileLock::Take(path, true);
    if (!waited) return waited.GetFailure();
    m_lock.emplace(std::move(*waited));
    return {};
}

Expected<LiveSet> SetStore::FindLive() const {
    LiveSet live;
    const fs::path out(m_strOut);
    std::error_code error;
    const fs::file_status status = fs::symlink_status(out, error);
    if (error || !fs::exists(status)) return live;
    if (fs::is_symlink(status)) {
        // Only a link to a set of our own is ours to follow: a link to any other
        // folder would carry that folder's files into the set served.
        fs::path target = fs::read_symlink(out, error);
        if (!error && target.is_relative()) target = out.parent_path() / target;
        const fs::path sets = fs::weakly_canonical(m_strSets, error);
        const fs::path resolved = fs::weakly_canonical(target, error);
        if (error || resolved.parent_path() != sets || !fs::is_directory(resolved)) {
            return Failure{m_strOut, "a link to " + target.string() + ", not to a set of " +
                                         m_strSets + ": refused"};
        }
        live.folder = resolved.string();
    } else if (fs::is_directory(status)) {
        live.bPlain = true;
        if (fs::is_empty(out, error)) return live;
        if (!fs::exists(out / MANIFEST_NAME)) {
            return Failure{m_strOut, "a folder holding files but no patch set (no " +
                                         std::string(MANIFEST_NAME) + "): refused"};
        }
        live.folder = m_strOut;
    } else {
        return Failure{m_strOut, "neither a folder nor a link to one"};
    }
    if (Result read = ReadSetFiles(live.folder, live); !read) return read.GetFailure();
    return live;
}

Expected<std::string> SetStore::NewSet() const {
    // Names sort in the order sets are made: the time, and within one second (or
    // after a clock set back) a number after the last name published.
    const std::vector<std::string> published = Published();
    const std::string last = published.empty() ? std::string() : published.back();
    const std::string stamp = Stamp();
    const std::string start = stamp > last ? stamp : last.substr(0, last.find('.'));
    for (int n = 0; n < 1000; ++n) {
        char szNumber[8];
        std::snprintf(szNumber, sizeof szNumber, ".%03d", n);
        const std::string name = n == 0 ? start : start + szNumber;
        if (name <= last) continue;
        const fs::path folder = fs::path(m_strSets) / name;
        std::error_code error;
        if (fs::create_directory(folder, error)) return folder.string();
        if (error) return Failure{folder.string(), error.message()};
    }
    return Failure{m_strSets, "no free name for a new set"};
}

Result SetStore::Carry(const LiveSet& live, const std::string& setFolder) const {
    for (const std::string& name : live.files) {
        const fs::path from = fs::path(live.folder) / name;
        const fs::path to = fs::path(setFolder) / name;
        std::error_code error;
        fs::create_directories(to.parent_path(), error);
        fs::create_hard_link(from, to, error);
        if (error) {
            error.clear();
            fs::copy_file(from, to, error);
        }
        if (error) return Failure{to.string(), error.message()};
    }
    return {};
}

Result SetStore::PutLive(const std::string& setFolder, const LiveSet& previous,
                         std::vector<std::string>& lines) {
    const fs::path out(m_strOut);
    const fs::path link = out.parent_path() / ("." + out.filename().string() + ".new");
    std::error_code error;
    fs::remove(link, error);
    fs::create_directory_symlink(fs::relative(setFolder, out.parent_path()), link, error);
    const bool bLinked = !error && fs::is_symlink(fs::symlink_status(link, error));
    if (bLinked) {
        if (previous.bPlain) {
            // A plain folder moves into the sets, and the link takes its place.
            if (!previous.folder.empty()) {
                const fs::path aside =
                    fs::path(m_strSets) / ("before-" + fs::path(setFolder).filename().string());
                fs::rename(out, aside, error);
                if (error) return Failure{m_strOut, error.message()};
                lines.push_back("moved the plain folder " + m_strOut + " to " + aside.string());
                RecordPublished({aside.filename().string()});
            } else {
                fs::remove(out, error);
            }
        }
        fs::rename(link, out, error);
        if (error) return Failure{m_strOut, error.message()};
    } else {
        // No links here: the files go into the plain folder, each whole, in an
        // order that always leaves a set a player can read.
        fs::remove(link, error);
        fs::create_directories(out, error);
        LiveSet next;
        if (Result read = ReadSetFiles(setFolder, next); !read) return read;
        const std::string last[] = {SIGNATURE_NAME, CHECKSUMS_NAME, MANIFEST_NAME};
        std::vector<std::string> order;
        for (const std::string& name : next.files) {
            if (std::find(std::begin(last), std::end(last), name) == std::end(last)) {
                order.push_back(name);
            }
        }
        for (const std::string& name : last) {
            if (std::find(next.files.begin(), next.files.end(), name) != next.files.end()) {
                order.push_back(name);
            }
        }
        for (const std::string& name : order) {
            const fs::path temporary = out / (name + ".new");
            fs::create_directories(temporary.parent_path(), error);
            fs::copy_file(fs::path(setFolder) / name, temporary,
                          fs::copy_options::overwrite_existing, error);
            if (!error) fs::rename(temporary, out / name, error);
            if (error) return Failure{(out / name).string(), error.message()};
        }
        // A pointer or a list of mirrors that the new set no longer has goes too:
        // left behind, it would name what the new set does not.
        for (const char* pszName : {SET_POINTER_NAME, MIRRORS_NAME}) {
            if (std::find(next.files.begin(), next.files.end(), pszName) == next.files.end()) {
                fs::remove(out / pszName, error);
            }
        }
        lines.push_back("no symbolic links here: the set's files were put into " + m_strOut);
    }
    RecordPublished({fs::path(setFolder).filename().string()});
    return {};
}

std::vector<std::string> SetStore::Published() const {
    std::vector<std::string> names;
    std::ifstream record(fs::path(m_strSets) / PUBLISHED_NAME);
    for (std::string name; std::getline(record, name);) {
        if (!name.empty()) names.push_back(name);
    }
    return names;
}

void SetStore::RecordPublished(const std::vector<std::string>& names) const {
    std::vector<std::string> all = Published();
    if (all.empty()) {
        // Sets published before the record was kept count as published, oldest first.
        std::error_code error;
        for (const fs::directory_entry& entry : fs::directory_iterator(m_strSets, error)) {
            const std::string name = entry.path().filename().string();
            if (entry.is_directory() && !name.starts_with(".")) all.push_back(name);
        }
        std::sort(all.begin(), all.end());
    }
    for (const std::string& name : names) {
        if (std::find(all.begin(), all.end(), name) == all.end()) all.push_back(name);
    }
    std::string text;
    for (const std::string& name : all) text += name + "\n";
    static_cast<void>(ReplaceWholeFile((fs::path(m_strSets) / PUBLISHED_NAME).string(), text));
}

void SetStore::Prune(unsigned nKeep, const std::string& live, const std::string& previous,
                     std::vector<std::string>& lines) const {
    const std::vector<std::string> published = Published();
    const auto kept = [&](const std::string& name) {
        return name == fs::path(live).filename().string() ||
               (!previous.empty() && name == fs::path(previous).filename().string());
    };
    std::set<std::string> keep;
    for (auto name = published.rbegin(); name != published.rend() && keep.size() < nKeep; ++name) {
        keep.insert(*name);
    }
    std::error_code error;
    std::vector<std::string> left;
    for (const fs::directory_entry& entry : fs::directory_iterator(m_strSets, error)) {
        const std::string name = entry.path().filename().string();
        if (!entry.is_directory() || name.starts_with(".") || keep.count(name) != 0 || kept(name)) {
            continue;
        }
        const bool bOrphan = std::find(published.begin(), published.end(), name) == published.end();
        fs::remove_all(entry.path(), error);
        lines.push_back(
            (bOrphan ? "removed a set a publish left unfinished: " : "removed the old set ") +
            name);
    }
    std::vector<std::string> remaining;
    for (const std::string& name : published) {
        if (fs::exists(fs::path(m_strSets) / name)) remaining.push_back(name);
    }
    std::string text;
    for (const std::string& name : remaining) text += name + "\n";
    static_cast<void>(ReplaceWholeFile((fs::path(m_strSets) / PUBLISHED_NAME).string(), text));
}

}  // namespace corvana
