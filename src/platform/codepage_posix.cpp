#include <iconv.h>

#include "platform/codepage.h"
#include "platform/text.h"

namespace corvana {

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

Expected<std::string> EncodeServerText(std::string_view text) {
    const Failure lacking{std::string(text), "not a text CP949 can hold"};
    if (!IsValidUtf8(text)) return lacking;
    iconv_t converter = iconv_open("CP949", "UTF-8");
    if (converter == reinterpret_cast<iconv_t>(-1)) return Failure{{}, "no converter to CP949"};
    std::string out(text.size() * 2 + 4, '\0');
    char* pIn = const_cast<char*>(text.data());
    std::size_t nIn = text.size();
    char* pOut = out.data();
    std::size_t nOut = out.size();
    const std::size_t nResult = iconv(converter, &pIn, &nIn, &pOut, &nOut);
    iconv_close(converter);
    if (nResult == static_cast<std::size_t>(-1) || nIn != 0) return lacking;
    out.resize(out.size() - nOut);
    return out;
}

}  // namespace corvana
