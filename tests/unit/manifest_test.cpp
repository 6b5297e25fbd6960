#include "run/manifest.h"

#include <gtest/gtest.h>

#include <limits>

#include "platform/text_table.h"

namespace corvana {
namespace {

using Entries = std::vector<std::string>;

// The selected entries as the server wrote them after the "=": "name" or "name;label".
Entries Rests(const ManifestSelection& selection) {
    Entries rests;
    for (const ManifestEntry& entry : selection.vecEntries) {
        rests.push_back(entry.bLabelled ? entry.strName + ";" + entry.strLabel : entry.strName);
    }
    return rests;
}

TEST(ManifestGuard, RefusesEmptyTextsAndHtmlPages) {
    EXPECT_TRUE(IsManifestRefused(""));
    EXPECT_TRUE(IsManifestRefused("<!DOCTYPE html><html>"));
    EXPECT_TRUE(IsManifestRefused("<!doctype HTML>"));
    EXPECT_TRUE(IsManifestRefused("<!DocType"));
    // Any markup is a web page: a captive portal's login, an error page.
    EXPECT_TRUE(IsManifestRefused(" <!DOCTYPE html>"));
    EXPECT_TRUE(IsManifestRefused("<!DOCTYP"));
    EXPECT_TRUE(IsManifestRefused("<html><body>404</body></html>"));
    EXPECT_TRUE(IsManifestRefused("\xEF\xBB\xBF\r\n\t<html>"));
    EXPECT_FALSE(IsManifestRefused("101=base.zip"));
    EXPECT_FALSE(
        IsManifestRefused("\xEF\xBB\xBF"
                          "101=base.zip;<b>"));
    EXPECT_FALSE(IsManifestRefused("\n\n"));
}

TEST(Manifest, SelectsEntriesAboveTheClientVersionInOrder) {
    const char* text =
        "# client files\n"
        "101=base.zip;base files\n"
        "150=sound.zip\n"
        "171=install.zip;install package\n"
        "#END\n";
    const ManifestSelection atVersion150 = ReadManifest(text, 150);
    EXPECT_EQ(Rests(atVersion150), Entries{"install.zip;install package"});
    EXPECT_EQ(atVersion150.nHighest, 171);

    const ManifestSelection fresh = ReadManifest(text, 0);
    EXPECT_EQ(Rests(fresh),
              (Entries{"base.zip;base files", "sound.zip", "install.zip;install package"}));
    EXPECT_TRUE(ReadManifest(text, 171).vecEntries.empty());
}

TEST(Manifest, LineEndsOfEveryKindReadAlike) {
    const Entries expected{"a.zip", "b.zip"};
    for (const char* text : {"1=a.zip\n2=b.zip\n", "1=a.zip\r2=b.zip\r", "1=a.zip\r\n2=b.zip\r\n",
                             "1=a.zip\r\n\r\n\r\n2=b.zip", "\n\n1=a.zip\n\n\n2=b.zip"}) {
        EXPECT_EQ(Rests(ReadManifest(text, 0)), expected) << text;
    }
}

TEST(Manifest, EndMarkerIsExactAndStopsReading) {
    const ManifestSelection lower = ReadManifest("1=a.zip\n#end\n2=b.zip\n", 0);
    EXPECT_EQ(Rests(lower), (Entries{"a.zip", "b.zip"}));

    const ManifestSelection ended = ReadManifest("1=a.zip\n#END\n900=b.zip\n", 0);
    EXPECT_EQ(Rests(ended), Entries{"a.zip"});
    EXPECT_EQ(ended.nHighest, 1);  // nothing after the marker counts

    EXPECT_EQ(ReadManifest("1=a.zip\n#END \n2=b.zip", 0).vecEntries.size(), 2u);
}

TEST(Manifest, TextEndsAtItsFirstZeroByte) {
    using namespace std::string_literals;
    const ManifestSelection selection = ReadManifest("1=a.zip\n2=b\0.zip\n3=c.zip\n"s, 0);
    EXPECT_EQ(Rests(selection), (Entries{"a.zip", "b"}));
    EXPECT_EQ(selection.nHighest, 2);
}

TEST(Manifest, RestIsTakenUntrimmedAfterTheFirstEquals) {
    const ManifestSelection selection =
        ReadManifest("12 = a.zip\n\t 7=b.zip;x=y\nc.zip\n=d.zip\n", 0);
    EXPECT_EQ(Rests(selection), (Entries{" a.zip", "b.zip;x=y"}));
    EXPECT_EQ(selection.nHighest, 12);
}

TEST(Manifest, LinesWithoutNumbersCountAsZero) {
    // A negative client version selects them: the whole line is the rest without "=".
    const ManifestSelection selection = ReadManifest("c.zip\nx=d.zip\n", -1);
    EXPECT_EQ(Rests(selection), (Entries{"c.zip", "d.zip"}));
    EXPECT_EQ(selection.nHighest, 0);
    // Digits at the start of a line without "=" are no number either.
    const ManifestSelection digits = ReadManifest("171 b.zip\n", 150);
    EXPECT_TRUE(digits.vecEntries.empty());
    EXPECT_EQ(digits.nHighest, 0);
}

TEST(Manifest, EqualNumberIsNotFetchedAndRepeatsAreFetchedTwice) {
    const ManifestSelection selection = ReadManifest("150=a.zip\n151=b.zip\n151=b.zip\n", 150);
    EXPECT_EQ(Rests(selection), (Entries{"b.zip", "b.zip"}));
}

TEST(Manifest, StopsAtTheHundredthSelectedEntry) {
    std::string text = "5=old.zip\n";
    for (int i = 1; i <= 101; ++i)
        text += std::to_string(100 + i) + "=f" + std::to_string(i) + ".zip\n";
    text += "9999=late.zip\n";
    const ManifestSelection selection = ReadManifest(text, 10);
    ASSERT_EQ(selection.vecEntries.size(), MAX_SELECTED_ENTRIES);
    EXPECT_EQ(selection.vecEntries.back().strName, "f100.zip");
    EXPECT_EQ(selection.nHighest, 200);  // the 101st line and later are not read
}

TEST(Manifest, GivesEachSelectedEntryItsNumberLabelAndChecks) {
    const ManifestSelection selection =
        ReadManifest("1=old.zip\n20=a.zip\n30=install.zip;install\n40=../b.zip;b\n", 1);
    ASSERT_EQ(selection.vecEntries.size(), 3u);
    const ManifestEntry& generated = selection.vecEntries[0];
    EXPECT_EQ(generated.nNumber, 20);
    EXPECT_EQ(generated.strLabel,
              LoadText(IDS_PATCH_FILE) + " #1");  // its place among the selected
    EXPECT_TRUE(generated.bSafeName);
    EXPECT_FALSE(generated.bInstallPackage);
    EXPECT_TRUE(selection.vecEntries[1].bInstallPackage);
    EXPECT_FALSE(selection.vecEntries[2].bSafeName);
}

TEST(ManifestNumber, ReadsLikeADecimalConversion) {
    EXPECT_EQ(ReadEntryNumber("171=x"), 171);
    EXPECT_EQ(ReadEntryNumber(" \t 42abc=x"), 42);
    EXPECT_EQ(ReadEntryNumber("-5=x"), -5);
    EXPECT_EQ(ReadEntryNumber("+9=x"), 9);
    EXPECT_EQ(ReadEntryNumber("- 9=x"), 0);
    EXPECT_EQ(ReadEntryNumber("abc=12"), 0);
    EXPECT_EQ(ReadEntryNumber("=12"), 0);
    EXPECT_EQ(ReadEntryNumber("12"), 0);  // a line without "=" has the number 0
    EXPECT_EQ(ReadEntryNumber("171 b.zip"), 0);
    EXPECT_EQ(ReadEntryNumber("1 2=x"), 1);
}

TEST(ManifestNumber, SaturatesAtTheThirtyTwoBitBounds) {
    constexpr int32_t kMax = std::numeric_limits<int32_t>::max();
    constexpr int32_t kMin = std::numeric_limits<int32_t>::min();
    EXPECT_EQ(ReadEntryNumber("2147483647=x"), kMax);
    EXPECT_EQ(ReadEntryNumber("2147483648=x"), kMax);
    EXPECT_EQ(ReadEntryNumber("99999999999999999999999=x"), kMax);
    EXPECT_EQ(ReadEntryNumber("-2147483648=x"), kMin);
    EXPECT_EQ(ReadEntryNumber("-99999999999999999999999=x"), kMin);
}

TEST(ManifestEntry, SplitsAtTheFirstSemicolonOrGeneratesALabel) {
    const ManifestEntry labelled = SplitEntry("base.zip;base;files", 1);
    EXPECT_EQ(labelled.strName, "base.zip");
    EXPECT_EQ(labelled.strLabel, "base;files");
    EXPECT_TRUE(labelled.bLabelled);

    const ManifestEntry generated = SplitEntry("sound.zip", 2);
    EXPECT_EQ(generated.strName, "sound.zip");
    EXPECT_EQ(generated.strLabel, LoadText(IDS_PATCH_FILE) + " #2");
    EXPECT_FALSE(generated.bLabelled);

    const ManifestEntry emptyLabel = SplitEntry("a.zip;", 3);
    EXPECT_EQ(emptyLabel.strLabel, "");
    EXPECT_TRUE(emptyLabel.bLabelled);
}

TEST(ManifestRules, UnknownClientNeedsANewerClientThanEveryNumberAboveOne) {
    EXPECT_TRUE(IsUnknownClient(0, 200, 171));
    EXPECT_FALSE(IsUnknownClient(1, 200, 171));  // something was selected
    EXPECT_FALSE(IsUnknownClient(0, 171, 171));  // not newer
    EXPECT_FALSE(IsUnknownClient(0, 200, 1));    // highest 1 never makes it unknown
    EXPECT_FALSE(IsUnknownClient(0, 200, 0));
    EXPECT_FALSE(IsUnknownClient(0, 0, -5));  // no client
    EXPECT_TRUE(IsUnknownClient(0, 3, 2));
}

TEST(ManifestRules, InstallPackageNeedsTheNameAndAnInstallLabel) {
    const std::string korean = LoadText(IDS_INSTALL_WORD);
    EXPECT_TRUE(IsInstallPackage(SplitEntry("install.zip;" + korean + " package", 1)));
    EXPECT_TRUE(IsInstallPackage(SplitEntry("INSTALL.ZIP;install", 1)));
    EXPECT_TRUE(IsInstallPackage(SplitEntry("Install.Zip;full install set", 1)));
    EXPECT_FALSE(IsInstallPackage(SplitEntry("install.zip;Install", 1)));
    EXPECT_FALSE(IsInstallPackage(SplitEntry("install.zip", 1)));
    EXPECT_FALSE(IsInstallPackage(SplitEntry("setup.zip;install", 1)));
    EXPECT_FALSE(IsInstallPackage(SplitEntry(" install.zip;install", 1)));
}

}  // namespace
}  // namespace corvana
