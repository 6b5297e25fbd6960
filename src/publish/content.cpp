#include "publish/content.h"

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <map>
#include <system_error>

#include "archive/item_name.h"
#include "install/folder_guard.h"
#include "platform/codepage.h"
#include "platform/text.h"

namespace corvana {

namespace {

namespace fs = std::filesystem;

std::string Utf8(const fs::path& path) {
    const std::u8string text = path.generic_u8string();
    return std::string(text.begin(), text.end());
}

int64_t UnixTime(const fs::path& path) {
    std::error_code error;
    const fs::file_time_type written = fs::last_write_time(path, error);
    if (error) return 0;
    return std::chrono::duration_cast<std::chrono::seconds>(
               std::chrono::file_clock::to_sys(written).time_since_epoch())
        .count();
}

// The Unix mode an item keeps: a plain file's, executable or not.
uint32_t ModeOf(fs::perms permissions) {
    const bool bExecutable = (permissions & fs::perms::owner_exec) != fs::perms::none;
    return 0100000u | (bExecutable ? 0755u : 0644u);
}

}  // namespace

Result CheckCaseClashes(const std::vector<std::string>& names) {
    std::map<std::string, const std::string*> folded;
    for (const std::string& name : names) {
        std::string key = name;
        for (char& c : key) {
            if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        }
        const auto [known, bNew] = folded.emplace(key, &name);
        if (!bNew && *known->second != name) {
            return Failure{name, "differs from " + *known->second +
                                     " only in letter case: on Windows they are one file"};
        }
    }
    return {};
}

Expected<std::vector<ContentFile>> ScanContent(const std::string& folder, bool bFollowInside) {
    std::error_code error;
    const fs::path root = fs::canonical(fs::path(folder), error);
    if (error) return Failure{folder, error.message()};
    std::vector<ContentFile> files;
    fs::recursive_directory_iterator walk(root, fs::directory_options::none, error);
    if (error) return Failure{folder, error.message()};
    for (const fs::recursive_directory_iterator end; walk != end; walk.increment(error)) {
        if (error) return Failure{folder, error.message()};
        const fs::path path = walk->path();
        const std::string name = Utf8(path.lexically_relative(root));
        const fs::file_status status = walk->symlink_status(error);
        if (error) return Failure{Utf8(path), error.message()};
        if (fs::is_directory(status)) continue;
        fs::path source = path;
        if (fs::is_symlink(status)) {
            // A link leads anywhere the publisher can read: only one that stays
            // inside the folder, and only when asked, is packed.
            const fs::path target = fs::canonical(path, error);
            const std::string inside =
                error ? std::string() : Utf8(target.lexically_relative(root));
            if (!bFollowInside) {
                return Failure{name,
                               "a symbolic link in the content folder (its target is not "
                               "published; give --follow-links to pack links that stay "
                               "inside the folder)"};
            }
            if (error || inside.empty() || inside.starts_with("..") ||
                !fs::is_regular_file(target)) {
                return Failure{name, "a symbolic link that leads out of the content folder"};
            }
            source = target;
        } else if (!fs::is_regular_file(status)) {
            return Failure{name, "neither a file nor a folder (a device, a pipe, a socket)"};
        }
        if (Result portable = CheckPortableName(name); !portable) return portable.GetFailure();
        if (IsReservedName(name)) return Failure{name, "a name the updater keeps for itself"};
        ContentFile file;
        file.name = name;
        file.path = FromUtf8(Utf8(source));  // the core's paths are in the system code page
        file.nSize = fs::file_size(source, error);
        if (error) return Failure{name, error.message()};
        file.nModified = UnixTime(source);
        file.dwMode = ModeOf(fs::status(source, error).permissions());
        files.push_back(std::move(file));
    }
    std::sort(files.begin(), files.end(),
              [](const ContentFile& a, const ContentFile& b) { return a.name < b.name; });
    std::vector<std::string> names;
    names.reserve(files.size());
    for (const ContentFile& file : files) names.push_back(file.name);
    if (Result unique = CheckCaseClashes(names); !unique) return unique.GetFailure();
    return files;
}

}  // namespace corvana
