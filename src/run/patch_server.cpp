#include "run/patch_server.h"

#include <cstdlib>

namespace corvana {

std::string GetPatchHost() {
    const char* pszHost = std::getenv("CORVANA_PATCH_HOST");
    if (pszHost != nullptr && *pszHost != '\0') return pszHost;
    return CORVANA_BUILT_IN_PATCH_HOST;
}

std::string MakeBaseUrl(std::string_view host, bool bBeta) {
    // A host given with its scheme keeps it; otherwise the one built in.
    const bool bHasScheme = host.starts_with("http://") || host.starts_with("https://");
    std::string url = bHasScheme ? "" : std::string(CORVANA_BUILT_IN_PATCH_SCHEME) + "://";
    url += host;
    url += bBeta ? "/web_patch/beta_corvana/" : "/web_patch/corvana/";
    return url;
}

}  // namespace corvana
