// Where the patch server is and the paths it serves.
#pragma once

#include <string>
#include <string_view>

namespace corvana {

inline constexpr const char* MANIFEST_NAME = "patch_info.txt";

// The host (or host:port, optionally after "http://" or "https://") of the patch
// server: the environment variable CORVANA_PATCH_HOST when set and not empty,
// else the one the program was built with.
std::string GetPatchHost();

// The scheme (the one built in, http or https, unless host starts with one) +
// host + "/web_patch/corvana/" (or ".../beta_corvana/"); ends in a slash.
std::string MakeBaseUrl(std::string_view host, bool bBeta);

}  // namespace corvana
