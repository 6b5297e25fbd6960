// The user's number format, and a formatter that treats it as the Windows
// number formatter (GetNumberFormat) does.
#pragma once

#include <string>
#include <string_view>

namespace corvana {

struct NumberFormat {
    unsigned nDigits = 0;       // fractional digits
    unsigned nLeadingZero = 1;  // "0.5" rather than ".5"
    unsigned nGrouping = 3;     // digits per group; 0: none
    std::string strDecimal = ".";
    std::string strThousand = ",";
    unsigned nNegativeOrder = 1;  // 0 "(1.1)", 1 "-1.1", 2 "- 1.1", 3 "1.1-", 4 "1.1 -"
};

// The user's settings (digits as the caller will set them).
NumberFormat GetUserNumberFormat();

// Formats plain number text (optional '-', digits, optional '.' and digits) as
// GetNumberFormat would; false for any other text (letters, a second point).
bool FormatNumberText(std::string_view input, const NumberFormat& format, std::string& output);

// The fractional digits to format text with: nDigits, or for -1 the number of
// characters after the first strDecimal in the text (0 without one).
unsigned FractionDigits(std::string_view text, std::string_view strDecimal, int nDigits);

// The number text in the user's format with nDigits fractional digits; -1 counts
// the characters after the user's decimal separator in the text. The text
// comes back unchanged when the formatter refuses it.
std::string FormatLocaleNumber(const std::string& text, int nDigits);

}  // namespace corvana
