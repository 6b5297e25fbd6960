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

#include "platform/failure.h"
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
    // one accepted before (rollback); a failure says why it is refused.
    Result AcceptList(std::string_view checksums, std::string_view signature,
                      uint64_t nNewestAccepted);
    // The accepted list's signature timestamp.
    uint64_t Timestamp() const { return m_nTimestamp; }
    // Why a fetched file is not the one the accepted list names. Nothing is
    // checked without a key.
    Result VerifyFile(std::string_view name, std::string_view body) const;
    // The same for a file hashed as it arrived.
    Result VerifyDigest(std::string_view name, const Sha256& digest) const;
    // The digest the signed list gives name (nothing without a key); a failure
    // when a key is set and the list does not name it.
    Expected<std::optional<Sha256>> SignedDigest(std::string_view name) const;

    // Whether the accepted list names a file whose name ends in suffix.
    bool ListsAny(std::string_view suffix) const {
        if (!HasKey() || !m_sums) return false;
        for (const auto& sum : *m_sums) {
            if (std::string_view(sum.first).ends_with(suffix)) return true;
        }
        return false;
    }
    // Whether the accepted list names the file (false without a key or a list).
    bool Lists(std::string_view name) const {
        return HasKey() && m_sums && m_sums->find(name) != m_sums->end();
    }

private:
    std::string m_strKey;
    std::optional<std::map<std::string, Sha256, std::less<>>> m_sums;
    uint64_t m_nTimestamp = 0;
};

}  // namespace corvana
