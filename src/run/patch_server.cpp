#include "run/patch_server.h"

#include <cstdlib>

namespace corvana {

std::string GetPatchHost() {
    const char* pszHost = std::getenv("CORVANA_PATCH_HOST");
    if (pszHost != nullptr && *pszHost != '\0') return pszHost;
    return CORVANA_BUILT_IN_PATCH_HOST;
}

std::string MakeBaseUrl(std::string_view host, bool bBeta) {
    std::string url = "http://";
    url += host;
    url += bBeta ? "/web_patch/beta_corvana/" : "/web_patch/corvana/";
    return url;
}

}  // namespace corvana
