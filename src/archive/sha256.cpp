#include "archive/sha256.h"

namespace corvana {

std::string Sha256Hex(std::string_view data) {
    Sha256Hash hash;
    hash.Update(data);
    return hash.HexDigest();
}

bool IsSha256Hex(std::string_view text) {
    return text.size() == 64 &&
           text.find_first_not_of("0123456789abcdef") == std::string_view::npos;
}

}  // namespace corvana
