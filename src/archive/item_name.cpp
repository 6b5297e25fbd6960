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

std::string ItemPath(std::string_view storedName) {
    std::string path;
    for (std::size_t nStart = 0; nStart <= storedName.size();) {
        std::size_t nEnd = nStart;
        while (nEnd < storedName.size() && !IsSeparator(storedName[nEnd])) ++nEnd;
        const std::string_view component = storedName.substr(nStart, nEnd - nStart);
        if (!component.empty() && component != ".") {
            if (!path.empty()) path += '/';
            path += component;
        }
        nStart = nEnd + 1;
    }
    // A folder's item keeps its trailing separator.
    if (!storedName.empty() && IsSeparator(storedName.back()) && !path.empty()) path += '/';
    return path;
}

Result CheckPortableName(std::string_view path, bool bTextOfAnyCodePage) {
    // The longest path a Windows player's updater takes below its folder.
    constexpr std::size_t LONGEST = 259;
    const auto refused = [&](const std::string& why) { return Failure{std::string(path), why}; };
    if (path.empty()) return refused("an empty name");
    if (path.size() > LONGEST) return refused("longer than a Windows path (259 bytes)");
    if (!bTextOfAnyCodePage && !IsValidUtf8(path)) return refused("not a UTF-8 name");
    for (std::size_t nStart = 0; nStart <= path.size();) {
        std::size_t nEnd = path.find('/', nStart);
        if (nEnd == std::string_view::npos) nEnd = path.size();
        const std::string_view component = path.substr(nStart, nEnd - nStart);
        if (component.empty() || component == "." || component == "..") {
            return refused("an empty, \".\" or \"..\" folder");
        }
        for (const char c : component) {
            if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) {
                return refused("a control character (a tab, a line break, ...) in it");
            }
            if (std::string_view("\\:*?\"<>|").find(c) != std::string_view::npos) {
                return refused(std::string("a '") + c + "' in it, which Windows does not take");
            }
        }
        if (component.back() == '.' || component.back() == ' ') {
            return refused("a name that ends in a dot or a blank, which Windows drops");
        }
        if (IsReservedDeviceName(component)) return refused("a device name of Windows");
        nStart = nEnd + 1;
    }
    return {};
}

bool IsSafeItemName(std::string_view name) {
    return IsSafeItemName(name, kPathSeparator == '\\' ? NameRules::WINDOWS : NameRules::POSIX);
}

}  // namespace corvana
