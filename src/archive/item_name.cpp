#include "archive/item_name.h"

#include "platform/platform.h"
#include "platform/text.h"

namespace corvana {

namespace {

bool IsSeparator(char c) { return c == '/' || c == '\\'; }

bool IsReservedDeviceName(std::string_view component) {
    // The device name counts with any extension ("CON.txt") and trailing blanks or dots.
    std::string_view stem = component.substr(0, component.find('.'));
    while (!stem.empty() && stem.back() == ' ') stem.remove_suffix(1);
    for (const char* pszDevice : {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"}) {
        if (EqualsNoCase(stem, pszDevice)) return true;
    }
    if (stem.size() == 4 &&
        (EqualsNoCase(stem.substr(0, 3), "COM") || EqualsNoCase(stem.substr(0, 3), "LPT"))) {
        return stem[3] >= '1' && stem[3] <= '9';
    }
    return false;
}

}  // namespace

bool IsSafeItemName(std::string_view name, NameRules rules) {
    if (name.empty() || IsSeparator(name[0])) return false;  // absolute, UNC
    if (name.size() >= 2 && name[1] == ':') return false;    // drive letter
    if (rules == NameRules::WINDOWS && name.find(':') != std::string_view::npos) return false;

    std::size_t nStart = 0;
    while (nStart <= name.size()) {
        std::size_t nEnd = nStart;
        while (nEnd < name.size() && !IsSeparator(name[nEnd])) ++nEnd;
        const std::string_view component = name.substr(nStart, nEnd - nStart);
        if (component == "..") return false;
        if (rules == NameRules::WINDOWS) {
            // Windows drops trailing dots and blanks: "..." and ".. " mean "..".
            std::string_view trimmed = component;
            while (!trimmed.empty() && (trimmed.back() == '.' || trimmed.back() == ' ')) {
                trimmed.remove_suffix(1);
            }
            if (trimmed.empty() && component.size() >= 2) return false;
            if (IsReservedDeviceName(component)) return false;
        }
        nStart = nEnd + 1;
    }
    return true;
}

bool IsSafeItemName(std::string_view name) {
    return IsSafeItemName(name, kPathSeparator == '\\' ? NameRules::WINDOWS : NameRules::POSIX);
}

}  // namespace corvana
