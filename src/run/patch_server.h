// Where the patch server is and the paths it serves.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace corvana {

inline constexpr const char* MANIFEST_NAME = "patch_info.txt";

// The host (or host:port, optionally after "http://" or "https://") of the patch
// server: the environment variable CORVANA_PATCH_HOST when set and not empty and
// the build takes it from there (the Linux program, and a Windows program built
// for tests; a shipped Windows program is configured by its command line alone),
// else the one the program was built with.
std::string GetPatchHost();
// The same from the environment's value and whether the build takes it.
std::string ChoosePatchHost(const char* pszEnvironment, bool bFromEnvironment);

// A signed set's pointer, served beside the plain layout's files: the name of
// the set's own folder, below ".sets/" next to the plain layout's folder, whose
// files never change once published (a cache may keep them for good).
inline constexpr const char* SET_POINTER_NAME = "set.txt";
// Whether name can be a set folder's name: one path segment of at most 64
// letters, digits, '.', '-' and '_' that does not start with '.'.
bool IsSetName(std::string_view name);
// The set folder's URL: baseUrl (ending in a slash) + ".sets/" in place of its
// last slash, then name and a slash.
std::string SetFolderUrl(std::string_view baseUrl, std::string_view name);

// A signed set's further hosts, one per line in the form the patch host takes:
// every file of the set may be fetched from the same path on any of them (each
// checked against the signed list, so a mirror is never trusted).
inline constexpr const char* MIRRORS_NAME = "mirrors.txt";
inline constexpr std::size_t MAX_MIRRORS = 8;
// Whether host can be a mirror: a host, a port and a path, optionally after
// "http://" or "https://", of at most 200 characters that end no URL's part
// early (no spaces, no '?', '#', '@' or '\\').
bool IsMirrorHost(std::string_view host);
// The mirrors that the text names (blank lines and '#' lines skipped, a name
// that cannot be a mirror too), at most MAX_MIRRORS of them.
std::vector<std::string> ReadMirrors(std::string_view text);

// The scheme (the one built in, http or https, unless host starts with one) +
// host + "/web_patch/corvana/" (or ".../beta_corvana/"); ends in a slash.
std::string MakeBaseUrl(std::string_view host, bool bBeta);

}  // namespace corvana
