// SHA-256 as the patch set's lists write it: lowercase hex.
#pragma once

#include <string>
#include <string_view>

#include "platform/checksum_list.h"
#include "platform/sha256.h"

namespace corvana {

// The SHA-256 of data, in lowercase hex.
std::string Sha256Hex(std::string_view data);

// Whether text is a SHA-256 in lowercase hex.
bool IsSha256Hex(std::string_view text);

}  // namespace corvana
