#include "verify/patch_set.h"

#include <gtest/gtest.h>
#include <sodium.h>

#include <random>

#include "platform/sha256_x86.h"
#include "support/test_publisher.h"

namespace corvana {
namespace {

const std::string kSums =
    "9f86d081884c7d659a2feaa0c55ad015a3bf4f1b2b0b822cd15d6c15b0f00a08  patch_info.txt\n"
    "2c26b46b68ffc68ff99b453c1d30413413422d706483bfa0f98a5e886266e7ae *base.zip\n";

TEST(PatchSetVerifier, AcceptsOnlyWhatTheKeySigned) {
    test::TestPublisher publisher;
    test::TestPublisher stranger;
    const std::string comment = "timestamp:1700000000\tfile:SHA256SUMS\thashed";
    const std::string good = publisher.Signature(kSums, comment);
    std::string otherComment = good;
    otherComment.replace(otherComment.find("1700000000"), 10, "1900000000");
    struct Case {
        const char* pszName;
        std::string sums, signature, key;
        uint64_t nAccepted;
        const char* pszCause;  // empty: accepted
    };
    const std::vector<Case> cases{
        {"prehashed", kSums, good, publisher.PublicKeyLine(), 0, ""},
        {"legacy", kSums, publisher.Signature(kSums, comment, false), publisher.PublicKeyLine(), 0,
         ""},
        {"same set again", kSums, good, publisher.PublicKeyLine(), 1700000000, ""},
        {"key file text", kSums, good, "untrusted comment: k\n" + publisher.PublicKeyLine() + "\n",
         0, ""},
        {"tampered list", kSums + "00", good, publisher.PublicKeyLine(), 0, "does not match"},
        {"another key", kSums, stranger.Signature(kSums, comment), publisher.PublicKeyLine(), 0,
         "another key"},
        {"forged comment", kSums, otherComment, publisher.PublicKeyLine(), 0, "not signed"},
        {"older than accepted", kSums, good, publisher.PublicKeyLine(), 1700000001, "older"},
        {"no timestamp", kSums, publisher.Signature(kSums, "file:SHA256SUMS"),
         publisher.PublicKeyLine(), 0, "no timestamp"},
        {"missing", kSums, "", publisher.PublicKeyLine(), 0, "missing"},
        {"truncated", kSums, good.substr(0, good.size() / 2), publisher.PublicKeyLine(), 0,
         "malformed"},
        {"bad key", kSums, good, "RWQnotakey", 0, "key is malformed"},
        {"malformed list", "abc  patch_info.txt\n",
         publisher.Signature("abc  patch_info.txt\n", comment), publisher.PublicKeyLine(), 0,
         "malformed line"},
    };
    for (const Case& c : cases) {
        PatchSetVerifier verifier;
        verifier.SetPublicKey(c.key);
        const Result accepted = verifier.AcceptList(c.sums, c.signature, c.nAccepted);
        const std::string cause = accepted ? "" : accepted.GetFailure().Text();
        EXPECT_EQ(static_cast<bool>(accepted), *c.pszCause == '\0') << c.pszName << ": " << cause;
        if (accepted) {
            EXPECT_EQ(verifier.Timestamp(), 1700000000u) << c.pszName;
        } else {
            EXPECT_NE(cause.find(c.pszCause), std::string::npos) << c.pszName << ": " << cause;
        }
    }
}

TEST(PatchSetVerifier, FilesMustBeListedWithTheirHash) {
    test::TestPublisher publisher;
    PatchSetVerifier verifier;
    EXPECT_TRUE(verifier.VerifyFile("anything", "at all"));  // no key: nothing is checked
    verifier.SetPublicKey(publisher.PublicKeyLine());
    EXPECT_FALSE(verifier.VerifyFile("patch_info.txt", "test"));  // no list accepted yet
    ASSERT_TRUE(verifier.AcceptList(kSums, publisher.Signature(kSums, "timestamp:5"), 0));
    EXPECT_TRUE(verifier.VerifyFile("patch_info.txt", "test"));
    EXPECT_TRUE(verifier.VerifyFile("base.zip", "foo"));
    const Result changed = verifier.VerifyFile("base.zip", "fo0");
    ASSERT_FALSE(changed);
    EXPECT_EQ(changed.GetFailure().Text(), "base.zip: SHA-256 differs from SHA256SUMS");
    const Result unlisted = verifier.VerifyFile("Base.zip", "foo");
    ASSERT_FALSE(unlisted);
    EXPECT_EQ(unlisted.GetFailure().Text(), "Base.zip: not listed in SHA256SUMS");
}

// The processor's instructions against the portable code, at every length
// around a block and its padding, fed whole and in uneven parts.
TEST(Sha256, TheProcessorsInstructionsAgreeWithThePortableCode) {
    if (!HasShaInstructions()) GTEST_SKIP() << "no SHA instructions on this processor";
    std::mt19937 random(7);
    std::string data(3 << 20, '\0');
    for (char& c : data) c = static_cast<char>(random());
    std::vector<std::size_t> lengths{data.size(), (1u << 20) + 7};
    for (std::size_t n = 0; n <= 130; ++n) lengths.push_back(n);
    for (const std::size_t nLength : lengths) {
        SCOPED_TRACE(nLength);
        Sha256 expected{};
        crypto_hash_sha256(expected.data(), reinterpret_cast<const unsigned char*>(data.data()),
                           nLength);
        InstructionSha256 whole;
        whole.Update(std::string_view(data).substr(0, nLength));
        EXPECT_EQ(whole.Finish(), expected);
        InstructionSha256 parts;
        for (std::size_t nAt = 0, nPart = 1; nAt < nLength;
             nAt += nPart, nPart = nPart * 3 % 97 + 1) {
            parts.Update(std::string_view(data).substr(nAt, std::min(nPart, nLength - nAt)));
        }
        EXPECT_EQ(parts.Finish(), expected);
    }
}

TEST(Checksums, ReadsWhatSha256sumWritesAndNothingElse) {
    const std::string hash(64, 'a');
    EXPECT_EQ((*ReadChecksums(hash + "  a b.zip\r\n\n" + hash + " *c\n")).size(), 2u);
    EXPECT_EQ((*ReadChecksums("")).size(), 0u);
    for (const std::string& bad :
         {hash + " a", hash + "\ta", hash.substr(1) + "  a", std::string(64, 'g') + "  a",
          "\\" + hash + "  a\\nb", hash + "  a\n" + hash + "  a", hash + "  "}) {
        EXPECT_FALSE(ReadChecksums(bad)) << bad;
    }
}

}  // namespace
}  // namespace corvana
