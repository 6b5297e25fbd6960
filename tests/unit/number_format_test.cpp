#include "platform/number_format.h"

#include <gtest/gtest.h>

#include <cstdlib>

#include "platform/text.h"
#include "support/test_env.h"

namespace corvana {
namespace {

std::string Format(const char* pszInput, NumberFormat format) {
    std::string output;
    return FormatNumberText(pszInput, format, output) ? output : "<refused>";
}

TEST(NumberFormat, GroupsLikeTheWindowsFormatter) {
    const NumberFormat comma;  // groups of 3, "," and "."
    EXPECT_EQ(Format("0", comma), "0");
    EXPECT_EQ(Format("123", comma), "123");
    EXPECT_EQ(Format("1234", comma), "1,234");
    EXPECT_EQ(Format("1234567", comma), "1,234,567");
    EXPECT_EQ(Format("15728640", comma), "15,728,640");
    EXPECT_EQ(Format("000123", comma), "123");

    NumberFormat german = comma;
    german.strThousand = ".";
    german.strDecimal = ",";
    german.nDigits = 2;
    EXPECT_EQ(Format("1234567.5", german), "1.234.567,50");

    NumberFormat none = comma;
    none.nGrouping = 0;
    EXPECT_EQ(Format("1234567", none), "1234567");
    NumberFormat four = comma;
    four.nGrouping = 4;
    EXPECT_EQ(Format("123456789", four), "1,2345,6789");
}

TEST(NumberFormat, FractionsAreRoundedOrPadded) {
    NumberFormat format;
    format.nDigits = 1;
    EXPECT_EQ(Format("1234.5", format), "1,234.5");
    EXPECT_EQ(Format("1.25", format), "1.3");
    EXPECT_EQ(Format("1.24", format), "1.2");
    EXPECT_EQ(Format("999.96", format), "1,000.0");
    EXPECT_EQ(Format("7", format), "7.0");
    format.nDigits = 0;
    EXPECT_EQ(Format("2.5", format), "3");
    EXPECT_EQ(Format("0.4", format), "0");
    format.nDigits = 2;
    format.nLeadingZero = 0;
    EXPECT_EQ(Format("0.5", format), ".50");
    format.nLeadingZero = 1;
    EXPECT_EQ(Format(".5", format), "0.50");
}

TEST(NumberFormat, NegativeNumbersFollowTheOrder) {
    NumberFormat format;
    const char* expected[] = {"(1,234)", "-1,234", "- 1,234", "1,234-", "1,234 -"};
    for (unsigned nOrder = 0; nOrder < 5; ++nOrder) {
        format.nNegativeOrder = nOrder;
        EXPECT_EQ(Format("-1234", format), expected[nOrder]) << nOrder;
    }
    EXPECT_EQ(Format("-0", format), "0");
}

TEST(NumberFormat, RefusesWhatIsNotPlainNumberText) {
    const NumberFormat format;
    for (const char* input : {"", "-", ".", "abc", "12a", "1.2.3", "1,234", " 12", "+5", "--1"}) {
        EXPECT_EQ(Format(input, format), "<refused>") << input;
    }
}

class LocaleNumberTest : public ::testing::Test {
protected:
    // The user's settings: the Korean locale (comma groups of three, full stop).
    void SetUp() override {
        test::SetEnv("LC_ALL", nullptr);
        test::SetEnv("LC_NUMERIC", "ko_KR.UTF-8");
    }
};

TEST_F(LocaleNumberTest, FormatsByteCountsInTheUsersFormat) {
    EXPECT_EQ(FormatLocaleNumber("0", -1), "0");
    EXPECT_EQ(FormatLocaleNumber("1234567", -1), "1,234,567");
    EXPECT_EQ(FormatLocaleNumber("123", -1), "123");
    EXPECT_EQ(FormatLocaleNumber("-1234", -1), "-1,234");
    EXPECT_EQ(FormatLocaleNumber("1234.5", -1), "1,234.5");  // digits counted after the point
    EXPECT_EQ(FormatLocaleNumber("1234", 2), "1,234.00");
    EXPECT_EQ(FormatLocaleNumber("letters", -1), "letters");
    EXPECT_EQ(FormatLocaleNumber("1.2.3", -1), "1.2.3");
    // The process's own formatting is untouched.
    EXPECT_EQ(FormatText("vc : %2.3f", 1.17), "vc : 1.170");
}

}  // namespace
}  // namespace corvana
