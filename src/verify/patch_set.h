// The publisher's signature over a patch set. Beside patch_info.txt the publisher
// serves SHA256SUMS, listing the manifest and every file it names, and
// SHA256SUMS.minisig, a minisign signature of that list. With a public key built
// into the program, nothing is installed that the list does not vouch for.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>

#include "verify/checksums.h"
#include "verify/minisign.h"

namespace corvana {

inline constexpr const char* CHECKSUMS_NAME = "SHA256SUMS";
inline constexpr const char* SIGNATURE_NAME = "SHA256SUMS.minisig";
// The public key built into the program (CORVANA_PUBLIC_KEY); empty when none.
std::string BuiltInPublicKey();

class PatchSetVerifier {
public:
    // The publisher's key (a minisign public key); empty: no key, nothing is checked.
    void SetPublicKey(std::string keyText) { m_strKey = std::move(keyText); }
    bool HasKey() const { return !m_strKey.empty(); }

    // Checks the signed list against the key, and its timestamp against the newest
    // one accepted before (rollback). False, with Cause() set, when it is refused.
    bool AcceptList(std::string_view checksums, std::string_view signature,
                    uint64_t nNewestAccepted);
    // The accepted list's signature timestamp.
    uint64_t Timestamp() const { return m_nTimestamp; }
    // Whether a fetched file is the one the accepted list names. Always true
    // without a key.
    bool VerifyFile(std::string_view name, std::string_view body);

    // Whether the accepted list names the file (false without a key or a list).
    bool Lists(std::string_view name) const {
        return HasKey() && m_sums && m_sums->find(name) != m_sums->end();
    }

    // Why the last check failed, in one English line.
    const std::string& Cause() const { return m_strCause; }

private:
    bool Refuse(std::string cause);

    std::string m_strKey;
    std::optional<std::map<std::string, Sha256, std::less<>>> m_sums;
    uint64_t m_nTimestamp = 0;
    std::string m_strCause;
};

}  // namespace corvana
