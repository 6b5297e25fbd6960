#include <iconv.h>

#include "platform/codepage.h"

namespace corvana {

namespace {

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

}  // namespace

bool IsLeadByte(char) { return false; }

std::string FromUtf8(std::string_view text) { return std::string(text); }

std::string DecodeServerText(std::string_view text) {
    if (IsValidUtf8(text)) return std::string(text);
    iconv_t converter = iconv_open("UTF-8", "CP949");
    if (converter == reinterpret_cast<iconv_t>(-1)) return std::string(text);
    std::string out;
    char szBuffer[256];
    char* pIn = const_cast<char*>(text.data());
    std::size_t nIn = text.size();
    while (nIn > 0) {
        char* pOut = szBuffer;
        std::size_t nOut = sizeof szBuffer;
        const std::size_t nResult = iconv(converter, &pIn, &nIn, &pOut, &nOut);
        out.append(szBuffer, sizeof szBuffer - nOut);
        if (nResult == static_cast<std::size_t>(-1) && nOut == sizeof szBuffer) {
            out += '?';  // a byte that is not CP949: skip it
            ++pIn;
            --nIn;
            iconv(converter, nullptr, nullptr, nullptr, nullptr);
        }
    }
    iconv_close(converter);
    return out;
}

}  // namespace corvana
