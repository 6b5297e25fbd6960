// The signed index of the files a patch set installs, and the check of an
// installation folder against it. The index is two files: FILE_SUMS_NAME in the
// form of sha256sum ("SHA256  PATH"), so that sha256sum -c can check a folder too,
// and FILE_ENTRIES_NAME, "NUMBER<TAB>ARCHIVE<TAB>SIZE<TAB>PATH" per file: the
// manifest entry whose archive holds that version of it. PATH is relative to the
// installation folder, '/' separated.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/failure.h"
#include "platform/folder.h"

namespace corvana {

inline constexpr const char* FILE_SUMS_NAME = "installed-files.sha256";
inline constexpr const char* FILE_ENTRIES_NAME = "installed-files.txt";

struct IndexedFile {
    std::string path;  // '/' separated, relative to the installation folder
    uint64_t nSize = 0;
    std::string sha256;   // lowercase hex
    std::string archive;  // the manifest entry's archive that holds it
    int32_t nNumber = 0;  // and that entry's number
};

// Reads the two files of an index: every path in both exactly once, with a safe
// name, a size and a hash of the right form. Anything else is a failure.
Expected<std::vector<IndexedFile>> ReadFileIndex(std::string_view sums, std::string_view entries);

// The two files of an index, as ReadFileIndex reads them, the files in the order given.
std::string WriteFileSums(const std::vector<IndexedFile>& files);
std::string WriteFileEntries(const std::vector<IndexedFile>& files);

// Checks each file below root (its size first, then its SHA-256), on nThreads
// threads, reading in large blocks. onChecked gets the bytes checked so far from
// the calling thread (at most every block); the check stops early when *pCancel is
// set. Returns the indexes of the files that are missing or differ, in order.
std::vector<std::size_t> FindDamagedFiles(const FolderHandle& root,
                                          const std::vector<IndexedFile>& files, unsigned nThreads,
                                          const std::function<void(uint64_t)>& onChecked,
                                          const std::atomic<int32_t>* pCancel = nullptr);

}  // namespace corvana
