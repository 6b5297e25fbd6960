#include "verify/patch_set.h"

namespace corvana {

std::string BuiltInPublicKey() {
#ifdef CORVANA_BUILT_IN_PUBLIC_KEY
    return CORVANA_BUILT_IN_PUBLIC_KEY;
#else
    return {};
#endif
}

Result PatchSetVerifier::AcceptList(std::string_view checksums, std::string_view signature,
                                    uint64_t nNewestAccepted) {
    m_sums.reset();
    const Expected<MinisignPublicKey> key = ReadPublicKey(m_strKey);
    if (!key) return Failure{{}, "the built-in public key is malformed"};
    if (signature.empty()) return Failure{SIGNATURE_NAME, "missing"};
    const Expected<MinisignSignature> parsed = ReadSignature(signature);
    if (!parsed) return Failure{SIGNATURE_NAME, parsed.GetFailure().why};
    if (Result signedBy = CheckSignature(*key, *parsed, checksums, CHECKSUMS_NAME, SIGNATURE_NAME);
        !signedBy) {
        return signedBy;
    }
    const Expected<uint64_t> timestamp = TrustedTimestamp(parsed->strTrustedComment);
    if (!timestamp) return Failure{SIGNATURE_NAME, timestamp.GetFailure().why};
    if (*timestamp < nNewestAccepted) {
        return Failure{SIGNATURE_NAME, "signed at " + std::to_string(*timestamp) +
                                           ", older than the set accepted before (" +
                                           std::to_string(nNewestAccepted) + ")"};
    }
    Expected<std::map<std::string, Sha256, std::less<>>> sums = ReadChecksums(checksums);
    if (!sums) return Failure{CHECKSUMS_NAME, "malformed line (" + sums.GetFailure().Text() + ")"};
    m_sums = std::move(*sums);
    m_nTimestamp = *timestamp;
    return {};
}

Result PatchSetVerifier::VerifyFile(std::string_view name, std::string_view body) const {
    if (!HasKey()) return {};
    return VerifyDigest(name, HashSha256(body));
}

Expected<std::optional<Sha256>> PatchSetVerifier::SignedDigest(std::string_view name) const {
    if (!HasKey()) return std::optional<Sha256>();
    if (!m_sums) return Failure{std::string(name), "no signed checksum list"};
    const auto it = m_sums->find(name);
    if (it == m_sums->end()) return Failure{std::string(name), "not listed in SHA256SUMS"};
    return std::optional<Sha256>(it->second);
}

Result PatchSetVerifier::VerifyDigest(std::string_view name, const Sha256& digest) const {
    const Expected<std::optional<Sha256>> listed = SignedDigest(name);
    if (!listed) return listed.GetFailure();
    if (listed->has_value() && **listed != digest) {
        return Failure{std::string(name), "SHA-256 differs from SHA256SUMS"};
    }
    return {};
}

}  // namespace corvana
