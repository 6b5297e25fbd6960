#include <windows.h>

#include <cstdlib>
#include <vector>

#include "platform/number_format.h"

namespace corvana {

namespace {

unsigned ReadLocaleNumber(LCTYPE type) {
    char szValue[10] = {};
    GetLocaleInfoA(LOCALE_USER_DEFAULT, type, szValue, sizeof szValue);
    return static_cast<unsigned>(std::atoi(szValue));  // "3;0" reads as 3
}

}  // namespace

NumberFormat GetUserNumberFormat() {
    NumberFormat format;
    char szDecimal[10] = {};
    char szThousand[10] = {};
    GetLocaleInfoA(LOCALE_USER_DEFAULT, LOCALE_SDECIMAL, szDecimal, sizeof szDecimal);
    GetLocaleInfoA(LOCALE_USER_DEFAULT, LOCALE_STHOUSAND, szThousand, sizeof szThousand);
    format.strDecimal = szDecimal;
    format.strThousand = szThousand;
    format.nLeadingZero = ReadLocaleNumber(LOCALE_ILZERO);
    format.nGrouping = ReadLocaleNumber(LOCALE_SGROUPING);
    format.nNegativeOrder = ReadLocaleNumber(LOCALE_INEGNUMBER);
    return format;
}

std::string FormatLocaleNumber(const std::string& text, int nDigits) {
    NumberFormat format = GetUserNumberFormat();
    NUMBERFMTA record{};
    record.LeadingZero = format.nLeadingZero;
    record.Grouping = format.nGrouping;
    record.lpDecimalSep = format.strDecimal.data();
    record.lpThousandSep = format.strThousand.data();
    record.NegativeOrder = format.nNegativeOrder;
    record.NumDigits = FractionDigits(text, format.strDecimal, nDigits);
    const int nSize = static_cast<int>(3 * text.size() + 100);
    std::vector<char> buffer(static_cast<std::size_t>(nSize));
    if (GetNumberFormatA(LOCALE_USER_DEFAULT, 0, text.c_str(), &record, buffer.data(), nSize - 1) ==
        0) {
        return text;
    }
    return buffer.data();
}

}  // namespace corvana
