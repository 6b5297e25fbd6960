#include "platform/text.h"

#include <gtest/gtest.h>

#include "platform/codepage.h"

namespace corvana {
namespace {

TEST(Text, FormatTextFillsPrintfFormats) {
    EXPECT_EQ(FormatText("%s : #%d", "code", -3), "code : #-3");
    EXPECT_EQ(FormatText("%s", ""), "");
    const std::string big(5000, 'x');
    EXPECT_EQ(FormatText("[%s]", big.c_str()), "[" + big + "]");
}

TEST(Text, EqualsNoCaseFoldsOnlyAsciiLetters) {
    EXPECT_TRUE(EqualsNoCase("INSTALL.ZIP", "install.zip"));
    EXPECT_FALSE(EqualsNoCase("install.zi", "install.zip"));
    EXPECT_FALSE(EqualsNoCase("[", "{"));  // 0x5B and 0x7B differ by the case bit
}

TEST(Text, EndsWithNoCaseLooksAtTheWholeText) {
    EXPECT_TRUE(EndsWithNoCaseMbcs("C:\\Games\\CW.EXE", "cw.exe"));
    EXPECT_TRUE(EndsWithNoCaseMbcs("cw3.exe", "cw3.exe"));
    EXPECT_FALSE(EndsWithNoCaseMbcs("C:\\Games\\CW.exe checkversion", "cw.exe"));
    EXPECT_FALSE(EndsWithNoCaseMbcs("w.exe", "cw.exe"));
    EXPECT_TRUE(EndsWithNoCaseMbcs("anything", ""));
}

TEST(Text, MultibyteSearchesStartOnlyAtCharacterBoundaries) {
    // 0x81 leads a double-byte character in CP949, so there "cw.exe" would begin
    // on its trail byte; in UTF-8 it is a byte of its own.
    const std::string text =
        "\x81"
        "cw.exe";
    const bool bDoubleByte = IsLeadByte('\x81');
    EXPECT_EQ(EndsWithNoCaseMbcs(text, "cw.exe"), !bDoubleByte);
    EXPECT_EQ(ContainsMbcs(text, "cw"), !bDoubleByte);
    EXPECT_TRUE(ContainsMbcs(text, "w.exe"));
    EXPECT_TRUE(ContainsMbcs("abc", ""));
    EXPECT_FALSE(ContainsMbcs("ab", "abc"));
}

TEST(Text, ServerTextInTheSystemCodePage) {
    // "설치" as the server writes it (CP949) and in UTF-8.
    const std::string cp949 = "\xBC\xB3\xC4\xA1";
    const std::string utf8 = "\xEC\x84\xA4\xEC\xB9\x98";
    if (IsLeadByte('\xBC')) {  // a CP949 system shows the server's bytes as they are
        EXPECT_EQ(DecodeServerText(cp949), cp949);
    } else {
        EXPECT_EQ(DecodeServerText(cp949), utf8);
        EXPECT_EQ(DecodeServerText(utf8), utf8);
        EXPECT_EQ(DecodeServerText("plain install"), "plain install");
        EXPECT_EQ(DecodeServerText("a\xFF"
                                   "b"),
                  "a?b");
    }
}

TEST(Text, UpToFirstZero) {
    using namespace std::string_literals;
    EXPECT_EQ(UpToFirstZero("ab\0cd"s), "ab");
    EXPECT_EQ(UpToFirstZero("abc"), "abc");
}

}  // namespace
}  // namespace corvana
