// The system code page as the core sees it: CP949 on Windows, UTF-8 on Linux.
#pragma once

#include <string>
#include <string_view>

#include "platform/failure.h"

namespace corvana {

// True when c starts a double-byte character of the system code page. Always
// false for UTF-8, where no byte of a multibyte character looks like ASCII.
bool IsLeadByte(char c);

// UTF-8 text in the system code page (characters it lacks become '?').
std::string FromUtf8(std::string_view text);

// A text from the patch server (a manifest label) in the system code page. The
// server writes CP949; on Linux a text that is valid UTF-8 stays as it is, any
// other is converted from CP949 (bytes that are not CP949 become '?').
std::string DecodeServerText(std::string_view text);

// A text of the program's (UTF-8 on Linux, the system code page on Windows) in
// the server's code page, CP949, as a manifest carries it; a failure when it has
// characters CP949 lacks.
Expected<std::string> EncodeServerText(std::string_view text);

}  // namespace corvana
