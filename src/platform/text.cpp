#include "platform/text.h"

#include <cstdarg>
#include <cstdio>

#include "platform/codepage.h"

namespace corvana {

namespace {

char FoldAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

// Calls visit(offset) at each character boundary of text, in order, until it returns true.
template <typename Visit>
bool AnyBoundary(std::string_view text, Visit visit) {
    std::size_t nOffset = 0;
    while (nOffset <= text.size()) {
        if (visit(nOffset)) return true;
        if (nOffset == text.size()) break;
        const bool bDouble = IsLeadByte(text[nOffset]) && nOffset + 1 < text.size();
        nOffset += bDouble ? 2 : 1;
    }
    return false;
}

}  // namespace

std::string FormatText(const char* pszFormat, ...) {
    va_list args;
    va_start(args, pszFormat);
    va_list argsCopy;
    va_copy(argsCopy, args);
    const int nLength = std::vsnprintf(nullptr, 0, pszFormat, args);
    va_end(args);
    std::string text;
    if (nLength > 0) {
        text.resize(static_cast<std::size_t>(nLength));
        std::vsnprintf(text.data(), text.size() + 1, pszFormat, argsCopy);
    }
    va_end(argsCopy);
    return text;
}

bool EqualsNoCase(std::string_view left, std::string_view right) {
    if (left.size() != right.size()) return false;
    for (std::size_t i = 0; i < left.size(); ++i) {
        if (FoldAscii(left[i]) != FoldAscii(right[i])) return false;
    }
    return true;
}

bool EndsWithNoCaseMbcs(std::string_view text, std::string_view suffix) {
    if (suffix.size() > text.size()) return false;
    const std::size_t nStart = text.size() - suffix.size();
    return AnyBoundary(text, [&](std::size_t nOffset) {
        return nOffset == nStart && EqualsNoCase(text.substr(nStart), suffix);
    });
}

bool ContainsMbcs(std::string_view text, std::string_view needle) {
    return AnyBoundary(
        text, [&](std::size_t nOffset) { return text.substr(nOffset, needle.size()) == needle; });
}

std::string_view UpToFirstZero(std::string_view text) {
    const std::size_t nZero = text.find('\0');
    return nZero == std::string_view::npos ? text : text.substr(0, nZero);
}

std::string PathBelow(std::string_view folder, std::string_view part, std::string_view more) {
    std::string path;
    path.reserve(folder.size() + 1 + part.size() + more.size());
    path.append(folder).append(1, '/').append(part).append(more);
    return path;
}

bool IsValidUtf8(std::string_view text) {
    for (std::size_t i = 0; i < text.size();) {
        const auto c = static_cast<unsigned char>(text[i]);
        const std::size_t nLength = c < 0x80           ? 1
                                    : (c >> 5) == 0x6  ? 2
                                    : (c >> 4) == 0xE  ? 3
                                    : (c >> 3) == 0x1E ? 4
                                                       : 0;
        if (nLength == 0 || i + nLength > text.size()) return false;
        for (std::size_t k = 1; k < nLength; ++k) {
            if ((static_cast<unsigned char>(text[i + k]) & 0xC0) != 0x80) return false;
        }
        i += nLength;
    }
    return true;
}

}  // namespace corvana
