#include "verify/minisign.h"

#include <sodium.h>

#include <vector>

namespace corvana {

namespace {

constexpr std::string_view UNTRUSTED_PREFIX = "untrusted comment:";
constexpr std::string_view TRUSTED_PREFIX = "trusted comment: ";

bool InitialiseSodium() {
    static const bool bReady = sodium_init() >= 0;
    return bReady;
}

// The lines of a text, without their CR; an empty last line is dropped.
std::vector<std::string_view> Lines(std::string_view text) {
    std::vector<std::string_view> lines;
    while (!text.empty()) {
        const std::size_t nEnd = text.find('\n');
        std::string_view line = text.substr(0, nEnd);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        lines.push_back(line);
        if (nEnd == std::string_view::npos) break;
        text.remove_prefix(nEnd + 1);
    }
    return lines;
}

// Decodes a base64 line that must give exactly nSize bytes.
bool DecodeExactly(std::string_view line, uint8_t* pOut, std::size_t nSize) {
    if (!InitialiseSodium()) return false;
    std::size_t nDecoded = 0;
    const char* pEnd = nullptr;
    const int nResult = sodium_base642bin(pOut, nSize, line.data(), line.size(), nullptr, &nDecoded,
                                          &pEnd, sodium_base64_VARIANT_ORIGINAL);
    return nResult == 0 && nDecoded == nSize && pEnd == line.data() + line.size();
}

}  // namespace

Expected<MinisignPublicKey> ReadPublicKey(std::string_view text) {
    const Failure malformed{{}, "not a minisign public key"};
    std::vector<std::string_view> lines = Lines(text);
    if (lines.size() == 2 && lines[0].starts_with(UNTRUSTED_PREFIX)) lines.erase(lines.begin());
    if (lines.size() != 1) return malformed;
    uint8_t bytes[2 + 8 + 32];
    if (!DecodeExactly(lines[0], bytes, sizeof bytes) || bytes[0] != 'E' || bytes[1] != 'd') {
        return malformed;
    }
    MinisignPublicKey key;
    std::copy(bytes + 2, bytes + 10, key.keyId.begin());
    std::copy(bytes + 10, bytes + 42, key.key.begin());
    return key;
}

Expected<MinisignSignature> ReadSignature(std::string_view text) {
    const Failure malformed{{}, "malformed signature"};
    const std::vector<std::string_view> lines = Lines(text);
    if (lines.size() != 4 || !lines[0].starts_with(UNTRUSTED_PREFIX) ||
        !lines[2].starts_with(TRUSTED_PREFIX)) {
        return malformed;
    }
    uint8_t bytes[2 + 8 + 64];
    if (!DecodeExactly(lines[1], bytes, sizeof bytes) || bytes[0] != 'E' ||
        (bytes[1] != 'd' && bytes[1] != 'D')) {
        return malformed;
    }
    MinisignSignature signature;
    signature.bPrehashed = bytes[1] == 'D';
    std::copy(bytes + 2, bytes + 10, signature.keyId.begin());
    std::copy(bytes + 10, bytes + 74, signature.signature.begin());
    signature.strTrustedComment = lines[2].substr(TRUSTED_PREFIX.size());
    if (!DecodeExactly(lines[3], signature.globalSignature.data(),
                       signature.globalSignature.size())) {
        return malformed;
    }
    return signature;
}

Result CheckSignature(const MinisignPublicKey& key, const MinisignSignature& signature,
                      std::string_view data, std::string_view dataName,
                      std::string_view signatureName) {
    const Failure mismatch{std::string(dataName), "the signature does not match"};
    if (signature.keyId != key.keyId) {
        return Failure{std::string(signatureName), "signed with another key"};
    }
    if (!InitialiseSodium()) return mismatch;
    const auto* pData = reinterpret_cast<const unsigned char*>(data.data());
    unsigned char digest[crypto_generichash_BYTES_MAX];
    const unsigned char* pMessage = pData;
    unsigned long long nMessage = data.size();
    if (signature.bPrehashed) {
        crypto_generichash(digest, sizeof digest, pData, data.size(), nullptr, 0);
        pMessage = digest;
        nMessage = sizeof digest;
    }
    if (crypto_sign_verify_detached(signature.signature.data(), pMessage, nMessage,
                                    key.key.data()) != 0) {
        return mismatch;
    }
    std::string global(signature.signature.begin(), signature.signature.end());
    global += signature.strTrustedComment;
    if (crypto_sign_verify_detached(signature.globalSignature.data(),
                                    reinterpret_cast<const unsigned char*>(global.data()),
                                    global.size(), key.key.data()) != 0) {
        return Failure{std::string(signatureName), "the trusted comment is not signed"};
    }
    return {};
}

Expected<uint64_t> TrustedTimestamp(std::string_view trustedComment) {
    constexpr std::string_view TAG = "timestamp:";
    const Failure missing{{}, "no timestamp in the trusted comment"};
    const std::size_t nAt = trustedComment.find(TAG);
    if (nAt == std::string_view::npos) return missing;
    uint64_t nValue = 0;
    std::size_t nDigits = 0;
    for (std::size_t i = nAt + TAG.size(); i < trustedComment.size(); ++i, ++nDigits) {
        const char c = trustedComment[i];
        if (c < '0' || c > '9') break;
        if (nValue > (UINT64_MAX - 9) / 10) return missing;
        nValue = nValue * 10 + static_cast<uint64_t>(c - '0');
    }
    if (nDigits == 0) return missing;
    return nValue;
}

}  // namespace corvana
