// The secret key's password, asked for on the terminal without echo.
#pragma once

#include <string>

#include "platform/failure.h"

namespace corvana {

// Asks prompt on the terminal and reads a line without showing it; a failure
// when there is no terminal to ask on (the caller then reads the standard input).
Expected<std::string> AskPassword(const std::string& prompt);

}  // namespace corvana
