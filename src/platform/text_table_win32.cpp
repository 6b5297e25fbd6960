#include <windows.h>

#include "platform/text_table.h"

namespace corvana {

std::string LoadText(int nId) {
    // A zero buffer size returns a read-only pointer to the resource's UTF-16 text,
    // so no length limit applies; it is then converted to the system code page.
    const wchar_t* pWide = nullptr;
    const int nWide = LoadStringW(GetModuleHandleW(nullptr), static_cast<UINT>(nId),
                                  reinterpret_cast<LPWSTR>(&pWide), 0);
    if (nWide <= 0 || pWide == nullptr) return {};
    const int nBytes = WideCharToMultiByte(CP_ACP, 0, pWide, nWide, nullptr, 0, nullptr, nullptr);
    std::string text(static_cast<std::size_t>(nBytes), '\0');
    WideCharToMultiByte(CP_ACP, 0, pWide, nWide, text.data(), nBytes, nullptr, nullptr);
    return text;
}

}  // namespace corvana
