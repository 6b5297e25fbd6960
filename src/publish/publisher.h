// The publisher: builds or extends a patch set (the archives, the manifest, with
// a key the signed list, the index of installed files and the deltas), reads the
// new set back as a player's updater would, and only then puts it live.
#pragma once

#include <functional>

#include <cstdint>
#include <string>
#include <vector>

#include "platform/failure.h"

namespace corvana {

struct PublishOptions {
    std::string out;                   // OUT_DIR: where the set is served
    std::vector<std::string> entries;  // NUMBER=SOURCE[;LABEL]
    bool bAppend = false;
    std::string keyFile;       // --sign
    std::string passwordFile;  // --password-file ("-": the standard input)
    bool bDelta = false;
    bool bDesktop = false;
    bool bFollowLinks = false;  // links inside a content folder are packed as their files
    unsigned nKeep = 3;
    // --mirror HOST...: the signed set's further hosts, in place of the live
    // set's; --no-mirrors: none. Otherwise the live set's are kept.
    std::vector<std::string> mirrors;
    bool bNoMirrors = false;
};

// The usage text; how the command line is read (a failure says what is wrong).
extern const char* const PUBLISH_USAGE;
Expected<PublishOptions> ReadPublishOptions(const std::vector<std::string>& arguments);

// Publishes; each line of what it did goes to say. A failure leaves the live set
// as it was.
Result Publish(const PublishOptions& options, const std::function<void(const std::string&)>& say);

}  // namespace corvana
