#include "platform/codepage.h"

namespace corvana {

bool IsLeadByte(char) { return false; }

std::string FromUtf8(std::string_view text) { return std::string(text); }

}  // namespace corvana
