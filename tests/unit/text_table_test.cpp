#include "platform/text_table.h"

#include <gtest/gtest.h>

#include <set>

#include "platform/codepage.h"

#ifdef _WIN32
#include <windows.h>
#endif

namespace corvana {
namespace {

// The text in code page 949, converted by the system itself.
std::string InCodePage949(const char* pszUtf8) {
#ifdef _WIN32
    const int nWide = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, pszUtf8, -1, nullptr, 0);
    std::wstring wide(static_cast<std::size_t>(nWide), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, pszUtf8, -1, wide.data(), nWide);
    BOOL bLost = FALSE;
    const int nBytes = WideCharToMultiByte(949, 0, wide.c_str(), -1, nullptr, 0, nullptr, &bLost);
    std::string text(static_cast<std::size_t>(nBytes), '\0');
    WideCharToMultiByte(949, 0, wide.c_str(), -1, text.data(), nBytes, nullptr, nullptr);
    text.resize(text.size() - 1);  // the terminating zero
    EXPECT_FALSE(bLost) << "not representable in CP949: " << pszUtf8;
    return text;
#else
    return pszUtf8;  // the Linux build shows the UTF-8 source as it stands
#endif
}

TEST(TextTable, EveryTextOfTheProgramLoads) {
    std::set<int> ids{2};
    for (int id = 5; id <= 35; ++id) ids.insert(id);
    for (int id = 200; id <= 203; ++id) ids.insert(id);
    ids.insert(IDS_FILES_REPAIRED);
    for (int id = IDS_USAGE; id <= IDS_PRESS_ENTER; ++id) ids.insert(id);
    for (int id : ids) EXPECT_FALSE(LoadText(id).empty()) << "id " << id;

    std::set<int> sourceIds;
    for (std::size_t i = 0; i < kTextSourceCount; ++i) sourceIds.insert(kTextSource[i].nId);
    EXPECT_EQ(sourceIds, ids);
    EXPECT_EQ(LoadText(3), "");
    EXPECT_EQ(LoadText(99), "");

    // The English translation has every text, and leaves the ones matched
    // against the server's labels and the window's title as they are.
    std::set<int> englishIds;
    for (std::size_t i = 0; i < kTextSourceEnglishCount; ++i) {
        const TextEntry& entry = kTextSourceEnglish[i];
        englishIds.insert(entry.nId);
        if (entry.nId == IDS_INSTALL_WORD || entry.nId == IDS_INSTALL_WORD_LATIN ||
            entry.nId == IDS_WINDOW_TITLE) {
            EXPECT_STREQ(entry.pszText, kTextSource[i].pszText) << "id " << entry.nId;
        }
    }
    EXPECT_EQ(englishIds, ids);
}

#ifndef _WIN32
TEST(TextTable, KoreanUnlessTheMessageLocaleNamesAnotherLanguage) {
    for (const char* locale : {"", "C", "POSIX", "C.UTF-8", "ko_KR.UTF-8", "ko"}) {
        EXPECT_FALSE(IsOtherLanguage(locale)) << locale;
    }
    for (const char* locale : {"en_US.UTF-8", "de_DE.UTF-8", "fr", "en_GB"}) {
        EXPECT_TRUE(IsOtherLanguage(locale)) << locale;
    }
}
#endif

TEST(TextTable, LoadedTextsAreTheSourceInTheSystemCodePage) {
    for (std::size_t i = 0; i < kTextSourceCount; ++i) {
        const TextEntry& entry = kTextSource[i];
        EXPECT_EQ(LoadText(entry.nId), InCodePage949(entry.pszText)) << "id " << entry.nId;
    }
}

TEST(TextTable, TextsStandExactlyAsWritten) {
    // Typed here independently of res/strings.txt, to catch an edit that changes a text.
    const struct {
        int nId;
        const char* pszUtf8;
    } expected[] = {
        {IDS_CHECKING_VERSION, "현재 버전 정보 확인중..."},
        {IDS_PATCH_DONE, "패치 완료!!  클라이언트를 실행합니다."},
        {IDS_INSTALL_WORD_LATIN, "install"},
        {IDS_NO_INTERNET_MESSAGE,
         "인터넷에 연결할 수 없습니다.\n\n인터넷 접속 가능 여부를 확인하신 후\n"
         "다시 시도해주시기 바랍니다.\n\n감사합니다."},
        {IDS_SERVER_UNREACHABLE, "패치서버에 접속할 수 없습니다.\n약 5분 후에 다시 시도해 주세요."},
        {IDS_ERROR_CODE, "에러코드"},
        {IDS_ERROR_CAPTION, "에러메시지"},
        {IDS_WINDOW_TITLE, "CW - AutoUpdater"},
        {IDS_ABORT_CAPTION, "Abort Installation?"},
        {IDS_CLIENT_RUNNING,
         "Corvana가 이미 실행중입니다.\nCorvana를 완전히 종료하고 다시 실행하여 주십시오,"},
        {IDS_WARNING_CAPTION, "경고"},
        {IDS_FILES_REPAIRED, "파일 %s개 확인, %s개 복구"},
        {IDS_CONFIRM_TITLE, "설치를 중단하시겠습니까?"},
    };
    for (const auto& text : expected) {
        EXPECT_EQ(LoadText(text.nId), FromUtf8(text.pszUtf8)) << "id " << text.nId;
    }
}

}  // namespace
}  // namespace corvana
