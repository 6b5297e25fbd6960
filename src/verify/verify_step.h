// The step between fetching a file and installing it: whether the fetched bytes
// are what the publisher published. Without a publisher's key built into the
// program there is nothing to check them against, and every complete file passes.
#pragma once

#include <string_view>

namespace corvana {

bool VerifyFetchedFile(std::string_view name, std::string_view body);

}  // namespace corvana
