// Small text helpers over bytes in the system code page.
#pragma once

#include <string>
#include <string_view>

namespace corvana {

// printf into a std::string.
std::string FormatText(const char* pszFormat, ...) __attribute__((format(printf, 1, 2)));

// ASCII letters compared without regard to case, every other byte exactly.
bool EqualsNoCase(std::string_view left, std::string_view right);

// Whether text ends in suffix, compared without regard to case as multibyte
// text: the suffix must start on a character boundary of text, so the trail byte
// of a double-byte character never counts as a letter.
bool EndsWithNoCaseMbcs(std::string_view text, std::string_view suffix);

// Whether text contains needle (exact bytes), found only at character boundaries.
bool ContainsMbcs(std::string_view text, std::string_view needle);

// A path below folder: folder, '/', then the parts in turn.
std::string PathBelow(std::string_view folder, std::string_view part, std::string_view more = {});

// Whether text is well-formed UTF-8 (sequences of one to four bytes).
bool IsValidUtf8(std::string_view text);

// The text before its first zero byte.
std::string_view UpToFirstZero(std::string_view text);

}  // namespace corvana
