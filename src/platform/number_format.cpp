#include "platform/number_format.h"

namespace corvana {

namespace {

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// Adds one unit in the last place of a digit string; a carry out of the top digit
// prepends a "1".
void Increment(std::string& digits) {
    for (std::size_t i = digits.size(); i-- > 0;) {
        if (digits[i] != '9') {
            ++digits[i];
            return;
        }
        digits[i] = '0';
    }
    digits.insert(digits.begin(), '1');
}

}  // namespace

unsigned FractionDigits(std::string_view text, std::string_view strDecimal, int nDigits) {
    if (nDigits != -1) return static_cast<unsigned>(nDigits);
    const std::size_t nAt = text.find(strDecimal);
    return nAt == std::string_view::npos
               ? 0
               : static_cast<unsigned>(text.size() - strDecimal.size() - nAt);
}

bool FormatNumberText(std::string_view input, const NumberFormat& format, std::string& output) {
    std::size_t i = 0;
    const bool bNegative = !input.empty() && input[0] == '-';
    if (bNegative) ++i;
    std::string whole;
    while (i < input.size() && IsDigit(input[i])) whole += input[i++];
    std::string fraction;
    if (i < input.size() && input[i] == '.') {
        ++i;
        while (i < input.size() && IsDigit(input[i])) fraction += input[i++];
    }
    if (i != input.size() || (whole.empty() && fraction.empty())) return false;

    // Round half up to the wanted digits, or pad with zeros.
    if (fraction.size() > format.nDigits) {
        const bool bRoundUp = fraction[format.nDigits] >= '5';
        fraction.resize(format.nDigits);
        if (bRoundUp) {
            std::string all = whole;
            all.append(fraction);
            if (all.empty()) all.push_back('0');
            Increment(all);
            whole = all.substr(0, all.size() - fraction.size());
            fraction = all.substr(all.size() - fraction.size());
        }
    }
    fraction.resize(format.nDigits, '0');
    const std::size_t nFirst = whole.find_first_not_of('0');
    whole = nFirst == std::string::npos ? std::string() : whole.substr(nFirst);

    std::string number;
    if (whole.empty()) {
        if (format.nLeadingZero != 0 || fraction.empty()) number = "0";
    } else if (format.nGrouping == 0) {
        number = whole;
    } else {
        for (std::size_t n = 0; n < whole.size(); ++n) {
            if (n > 0 && (whole.size() - n) % format.nGrouping == 0) number += format.strThousand;
            number += whole[n];
        }
    }
    if (!fraction.empty()) {
        number.append(format.strDecimal);
        number.append(fraction);
    }

    const bool bZero = whole.find_first_not_of('0') == std::string::npos &&
                       fraction.find_first_not_of('0') == std::string::npos;
    if (!bNegative || bZero) {
        output = number;
        return true;
    }
    static constexpr const char* kSigns[5][2] = {
        {"(", ")"}, {"-", ""}, {"- ", ""}, {"", "-"}, {"", " -"}};
    const auto& sign = kSigns[format.nNegativeOrder < 5 ? format.nNegativeOrder : 1];
    output.assign(sign[0]);
    output.append(number);
    output.append(sign[1]);
    return true;
}

}  // namespace corvana
