#include <windows.h>

#include "platform/codepage.h"

namespace corvana {

bool IsLeadByte(char c) { return IsDBCSLeadByte(static_cast<BYTE>(c)) != FALSE; }

std::string FromUtf8(std::string_view text) {
    if (text.empty()) return {};
    const int nInput = static_cast<int>(text.size());
    const int nWide = MultiByteToWideChar(CP_UTF8, 0, text.data(), nInput, nullptr, 0);
    std::wstring wide(static_cast<std::size_t>(nWide), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), nInput, wide.data(), nWide);
    const int nBytes =
        WideCharToMultiByte(CP_ACP, 0, wide.data(), nWide, nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<std::size_t>(nBytes), '\0');
    WideCharToMultiByte(CP_ACP, 0, wide.data(), nWide, out.data(), nBytes, nullptr, nullptr);
    return out;
}

std::string DecodeServerText(std::string_view text) { return std::string(text); }

Expected<std::string> EncodeServerText(std::string_view text) {
    if (text.empty()) return std::string();
    const Failure lacking{std::string(text), "not a text CP949 can hold"};
    const int nInput = static_cast<int>(text.size());
    const int nWide =
        MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, text.data(), nInput, nullptr, 0);
    if (nWide <= 0) return lacking;
    std::wstring wide(static_cast<std::size_t>(nWide), L'\0');
    MultiByteToWideChar(CP_ACP, 0, text.data(), nInput, wide.data(), nWide);
    BOOL bLost = FALSE;
    const int nBytes = WideCharToMultiByte(949, 0, wide.data(), nWide, nullptr, 0, nullptr, &bLost);
    std::string out(static_cast<std::size_t>(nBytes), '\0');
    WideCharToMultiByte(949, 0, wide.data(), nWide, out.data(), nBytes, nullptr, &bLost);
    if (bLost) return lacking;
    return out;
}

}  // namespace corvana
