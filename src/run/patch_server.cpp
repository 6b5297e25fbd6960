#include "run/patch_server.h"

#include <algorithm>
#include <cstdlib>

namespace corvana {

std::string ChoosePatchHost(const char* pszEnvironment, bool bFromEnvironment) {
    if (bFromEnvironment && pszEnvironment != nullptr && *pszEnvironment != '\0') {
        return pszEnvironment;
    }
    return CORVANA_BUILT_IN_PATCH_HOST;
}

std::string GetPatchHost() {
    return ChoosePatchHost(std::getenv("CORVANA_PATCH_HOST"), CORVANA_PATCH_HOST_FROM_ENVIRONMENT);
}

std::string MakeBaseUrl(std::string_view host, bool bBeta) {
    // A host given with its scheme keeps it; otherwise the one built in.
    const bool bHasScheme = host.starts_with("http://") || host.starts_with("https://");
    std::string url = bHasScheme ? "" : std::string(CORVANA_BUILT_IN_PATCH_SCHEME) + "://";
    url += host;
    url += bBeta ? "/web_patch/beta_corvana/" : "/web_patch/corvana/";
    return url;
}

bool IsSetName(std::string_view name) {
    constexpr std::size_t MAX_SET_NAME = 64;
    if (name.empty() || name.size() > MAX_SET_NAME || name.front() == '.') return false;
    return std::all_of(name.begin(), name.end(), [](char c) {
        return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
               c == '.' || c == '-' || c == '_';
    });
}

bool IsMirrorHost(std::string_view host) {
    constexpr std::size_t MAX_HOST = 200;
    for (const std::string_view scheme : {"http://", "https://"}) {
        if (host.starts_with(scheme)) host.remove_prefix(scheme.size());
    }
    if (host.empty() || host.size() > MAX_HOST || host.front() == '/') return false;
    return std::all_of(host.begin(), host.end(), [](char c) {
        return c > ' ' && c < 0x7F &&
               std::string_view("?#@\\\"<>").find(c) == std::string_view::npos;
    });
}

std::vector<std::string> ReadMirrors(std::string_view text) {
    std::vector<std::string> mirrors;
    while (!text.empty() && mirrors.size() < MAX_MIRRORS) {
        const std::size_t nEnd = std::min(text.find('\n'), text.size());
        std::string_view line = text.substr(0, nEnd);
        text.remove_prefix(std::min(nEnd + 1, text.size()));
        while (line.ends_with('\r') || line.ends_with(' ')) line.remove_suffix(1);
        while (line.starts_with(' ')) line.remove_prefix(1);
        while (line.ends_with('/')) line.remove_suffix(1);
        if (!line.empty() && line.front() != '#' && IsMirrorHost(line)) mirrors.emplace_back(line);
    }
    return mirrors;
}

std::string SetFolderUrl(std::string_view baseUrl, std::string_view name) {
    std::string url(baseUrl.substr(0, baseUrl.size() - (baseUrl.ends_with('/') ? 1 : 0)));
    url += ".sets/";
    url += name;
    url += '/';
    return url;
}

}  // namespace corvana
