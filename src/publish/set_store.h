// Where patch sets are kept and which one is served: OUT_DIR is a symbolic link
// to the live set, one folder of OUT_DIR.sets/, replaced in one rename once a new
// set is complete; where links cannot be made (Windows), OUT_DIR is a plain
// folder that takes the new set's files in the order a player can always read
// (the archives, then the signed list, the manifest last).
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "platform/failure.h"
#include "platform/files.h"

namespace corvana {

struct LiveSet {
    std::string folder;              // the live set's folder; empty when there is none
    bool bPlain = false;             // OUT_DIR itself is a plain folder, not a link
    std::string manifest;            // its manifest
    std::vector<std::string> files;  // the files it lists (its manifest's, its list's, the list)
    uint64_t nTimestamp = 0;         // its signature's time; 0 for an unsigned set
};

class SetStore {
public:
    // OUT_DIR, an absolute path.
    explicit SetStore(std::string out);

    const std::string& Out() const { return m_strOut; }
    const std::string& Sets() const { return m_strSets; }

    // One publish at a time: waits for another (onWait is told first).
    Result Lock(const std::function<void()>& onWait);
    // The live set; a failure for an OUT_DIR that is a link leading anywhere but
    // to a set of its own, or a plain folder holding anything but a patch set.
    Expected<LiveSet> FindLive() const;
    // A new, empty set folder: OUT_DIR.sets/<UTC time>.
    Expected<std::string> NewSet() const;
    // Puts the files the live set lists into the new set (hard links where the
    // file system allows, a file being replaced, never written, afterwards).
    Result Carry(const LiveSet& live, const std::string& setFolder) const;
    // Makes the new set the one served; lines tells what it did.
    Result PutLive(const std::string& setFolder, const LiveSet& previous,
                   std::vector<std::string>& lines);
    // Removes what a killed publish left, and all but the newest nKeep sets, but
    // never the live one or the one that was live before it.
    void Prune(unsigned nKeep, const std::string& live, const std::string& previous,
               std::vector<std::string>& lines) const;

private:
    std::vector<std::string> Published() const;
    void RecordPublished(const std::vector<std::string>& names) const;

    std::string m_strOut;
    std::string m_strSets;
    std::optional<FileLock> m_lock;
};

}  // namespace corvana
