// Where the running program lives.
#pragma once

#include <string>

namespace corvana {

// Size of the buffer the program's own path is read into; a longer path counts
// as unreadable rather than being cut.
inline constexpr unsigned OWN_PATH_BUFFER_SIZE = 512;

// The full path of the program's file; empty when it cannot be read or does not fit.
std::string GetOwnProgramPath();

}  // namespace corvana
