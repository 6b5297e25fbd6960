#include <langinfo.h>
#include <locale.h>

#include <climits>
#include <cstdlib>
#include <string>

#include "platform/number_format.h"

namespace corvana {

namespace {

NumberFormat ReadUserNumberFormat() {
    NumberFormat format;
    // The user's LC_NUMERIC through a locale object of its own: the process's
    // own locale (and so "%2.3f") is never changed.
    locale_t locale = newlocale(LC_NUMERIC_MASK, "", locale_t{});
    if (locale == locale_t{}) return format;
    format.strDecimal = nl_langinfo_l(DECIMAL_POINT, locale);
    format.strThousand = nl_langinfo_l(THOUSANDS_SEP, locale);
    const char* pszGrouping = nl_langinfo_l(GROUPING, locale);
    // Only the leading group size counts; none (or CHAR_MAX) means no grouping.
    const int nGroup = pszGrouping[0] == CHAR_MAX ? 0 : pszGrouping[0];
    format.nGrouping =
        nGroup > 0 && !format.strThousand.empty() ? static_cast<unsigned>(nGroup) : 0;
    if (format.strDecimal.empty()) format.strDecimal = ".";
    freelocale(locale);
    return format;
}

}  // namespace

NumberFormat GetUserNumberFormat() {
    // The locale's files are read again only when the variables that choose them change.
    thread_local std::string s_key{"\1"};
    thread_local NumberFormat s_format;
    std::string key;
    for (const char* pszName : {"LC_ALL", "LC_NUMERIC", "LANG", "LOCPATH"}) {
        const char* pszValue = std::getenv(pszName);
        key += pszValue != nullptr ? pszValue : "";
        key += '\0';
    }
    if (key != s_key) {
        s_format = ReadUserNumberFormat();
        s_key = std::move(key);
    }
    return s_format;
}

std::string FormatLocaleNumber(const std::string& text, int nDigits) {
    NumberFormat format = GetUserNumberFormat();
    format.nDigits = FractionDigits(text, format.strDecimal, nDigits);
    std::string output;
    return FormatNumberText(text, format, output) ? output : text;
}

}  // namespace corvana
