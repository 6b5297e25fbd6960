#include "verify/patch_set.h"

namespace corvana {

std::string BuiltInPublicKey() {
#ifdef CORVANA_BUILT_IN_PUBLIC_KEY
    return CORVANA_BUILT_IN_PUBLIC_KEY;
#else
    return {};
#endif
}

bool PatchSetVerifier::Refuse(std::string cause) {
    m_strCause = std::move(cause);
    return false;
}

bool PatchSetVerifier::AcceptList(std::string_view checksums, std::string_view signature,
                                  uint64_t nNewestAccepted) {
    m_sums.reset();
    const std::optional<MinisignPublicKey> key = ReadPublicKey(m_strKey);
    if (!key) return Refuse("the built-in public key is malformed");
    if (signature.empty()) return Refuse(std::string(SIGNATURE_NAME) + ": missing");
    const std::optional<MinisignSignature> parsed = ReadSignature(signature);
    if (!parsed) return Refuse(std::string(SIGNATURE_NAME) + ": malformed signature");
    switch (CheckSignature(*key, *parsed, checksums)) {
        case SignatureCheck::OK:
            break;
        case SignatureCheck::WRONG_KEY:
            return Refuse(std::string(SIGNATURE_NAME) + ": signed with another key");
        case SignatureCheck::BAD_SIGNATURE:
            return Refuse(std::string(CHECKSUMS_NAME) + ": the signature does not match");
        case SignatureCheck::BAD_TRUSTED_COMMENT:
            return Refuse(std::string(SIGNATURE_NAME) + ": the trusted comment is not signed");
    }
    const std::optional<uint64_t> timestamp = TrustedTimestamp(parsed->strTrustedComment);
    if (!timestamp) {
        return Refuse(std::string(SIGNATURE_NAME) + ": no timestamp in the trusted comment");
    }
    if (*timestamp < nNewestAccepted) {
        return Refuse(std::string(SIGNATURE_NAME) + ": signed at " + std::to_string(*timestamp) +
                      ", older than the set accepted before (" + std::to_string(nNewestAccepted) +
                      ")");
    }
    m_sums = ReadChecksums(checksums);
    if (!m_sums) return Refuse(std::string(CHECKSUMS_NAME) + ": malformed line");
    m_nTimestamp = *timestamp;
    return true;
}

bool PatchSetVerifier::VerifyFile(std::string_view name, std::string_view body) {
    if (!HasKey()) return true;
    if (!m_sums) return Refuse(std::string(name) + ": no signed checksum list");
    const auto it = m_sums->find(name);
    if (it == m_sums->end()) return Refuse(std::string(name) + ": not listed in SHA256SUMS");
    if (HashSha256(body) != it->second) {
        return Refuse(std::string(name) + ": SHA-256 differs from SHA256SUMS");
    }
    return true;
}

}  // namespace corvana
