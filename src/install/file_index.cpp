#include "install/file_index.h"

#include <charconv>
#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <thread>

#include "archive/item_name.h"
#include "archive/sha256.h"
#include "install/folder_guard.h"
#include "platform/checksum_list.h"
#include "platform/files.h"

namespace corvana {

namespace {

constexpr std::size_t BLOCK_SIZE = std::size_t{1} << 20;

bool IsIndexPath(std::string_view path) {
    for (const char c : path) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f || c == '\\') return false;
    }
    return !path.empty() && path.back() != '/' && IsSafeItemName(path);
}

// Calls onLine for each line of text; false when the last is not ended or onLine refuses one.
bool ForEachLine(std::string_view text, const std::function<bool(std::string_view)>& onLine) {
    while (!text.empty()) {
        const std::size_t nEnd = text.find('\n');
        if (nEnd == std::string_view::npos || !onLine(text.substr(0, nEnd))) return false;
        text.remove_prefix(nEnd + 1);
    }
    return true;
}

}  // namespace

Expected<std::vector<IndexedFile>> ReadFileIndex(std::string_view sums, std::string_view entries) {
    // The sums in the form of sha256sum, as the signed list is read; each path one
    // the install could write.
    const Expected<std::vector<ChecksumLine>> lines = ReadChecksumList(sums);
    if (!lines) return Failure{FILE_SUMS_NAME, lines.GetFailure().Text()};
    std::map<std::string, std::string, std::less<>> hashes;
    for (const ChecksumLine& line : *lines) {
        if (!IsIndexPath(line.name)) {
            return Failure{FILE_SUMS_NAME, "a path that is not one: " + line.name};
        }
        hashes.emplace(line.name, HexOf(line.hash));
    }
    std::string bad;
    std::vector<IndexedFile> files;
    const bool bEntries = ForEachLine(entries, [&](std::string_view line) {
        IndexedFile file;
        std::string_view fields[4];
        for (int i = 0; i < 3; ++i) {
            const std::size_t nTab = line.find('\t');
            if (nTab == std::string_view::npos) return false;
            fields[i] = line.substr(0, nTab);
            line.remove_prefix(nTab + 1);
        }
        fields[3] = line;
        int32_t nNumber = 0;
        const auto number =
            std::from_chars(fields[0].data(), fields[0].data() + fields[0].size(), nNumber);
        const auto size =
            std::from_chars(fields[2].data(), fields[2].data() + fields[2].size(), file.nSize);
        const auto hash = hashes.find(fields[3]);
        if (number.ec != std::errc() || number.ptr != fields[0].data() + fields[0].size() ||
            size.ec != std::errc() || size.ptr != fields[2].data() + fields[2].size() ||
            fields[2].empty() || !IsIndexPath(fields[1]) || hash == hashes.end()) {
            bad = fields[3].substr(0, 100);
            return false;
        }
        file.path = hash->first;
        file.sha256 = hash->second;
        file.archive = fields[1];
        file.nNumber = nNumber;
        hashes.erase(hash);  // a path listed twice is not found the second time
        files.push_back(std::move(file));
        return true;
    });
    if (!bEntries) return Failure{FILE_ENTRIES_NAME, "a line that is not one: " + bad};
    if (!hashes.empty()) {
        return Failure{FILE_ENTRIES_NAME, hashes.begin()->first + " has no entry"};
    }
    return files;
}

std::string WriteFileSums(const std::vector<IndexedFile>& files) {
    std::string text;
    for (const IndexedFile& file : files) text += file.sha256 + "  " + file.path + "\n";
    return text;
}

std::string WriteFileEntries(const std::vector<IndexedFile>& files) {
    std::string text;
    for (const IndexedFile& file : files) {
        text += std::to_string(file.nNumber) + '\t' + file.archive + '\t' +
                std::to_string(file.nSize) + '\t' + file.path + '\n';
    }
    return text;
}

std::vector<std::size_t> FindDamagedFiles(const FolderHandle& root,
                                          const std::vector<IndexedFile>& files, unsigned nThreads,
                                          const std::function<void(uint64_t)>& onChecked,
                                          const std::atomic<int32_t>* pCancel) {
    std::atomic<std::size_t> nNext{0};
    std::atomic<uint64_t> nChecked{0};
    std::vector<char> damaged(files.size(), 0);
    const auto cancelled = [pCancel] {
        return pCancel != nullptr && pCancel->load(std::memory_order_acquire) != 0;
    };
    // Each worker takes the next file; a file of the wrong size is not read.
    const auto work = [&] {
        std::string buffer(BLOCK_SIZE, '\0');
        for (std::size_t i = nNext++; i < files.size() && !cancelled(); i = nNext++) {
            const IndexedFile& file = files[i];
            const std::size_t nCut = file.path.rfind('/') + 1;  // 0 without a folder
            Sha256Hash hash;
            uint64_t nRead = 0;
            // The file's folder is reached as the install reaches it: a link of
            // another user on the way, or a link in the file's place, is damage.
            const Expected<FolderHandle> holder =
                root.OpenBelow(NativePath(file.path.substr(0, nCut)), false);
            const bool bRead =
                holder && (*holder).ReadInBlocks(file.path.substr(nCut), file.nSize, buffer,
                                                 [&](std::string_view block) {
                                                     hash.Update(block);
                                                     nRead += block.size();
                                                     nChecked += block.size();
                                                 });
            damaged[i] = (!bRead || hash.HexDigest() != file.sha256) ? 1 : 0;
            // A file not read whole still counts whole, so that the bar ends full.
            nChecked += file.nSize - std::min(nRead, file.nSize);
        }
    };
    // The workers read and hash; the calling thread reports how far they are
    // every 100 ms, and once more when the last has finished.
    const unsigned nWorkers = std::max(nThreads, 1u);
    unsigned nFinished = 0;
    std::mutex mutex;
    std::condition_variable finished;
    std::vector<std::thread> workers;
    for (unsigned n = 0; n < nWorkers; ++n) {
        workers.emplace_back([&] {
            work();
            const std::lock_guard<std::mutex> lock(mutex);
            ++nFinished;
            finished.notify_one();
        });
    }
    std::unique_lock<std::mutex> lock(mutex);
    while (!finished.wait_for(lock, std::chrono::milliseconds(100),
                              [&] { return nFinished == nWorkers; })) {
        lock.unlock();  // the report may wait for the window; the workers never do
        onChecked(nChecked.load());
        lock.lock();
    }
    lock.unlock();
    for (std::thread& worker : workers) worker.join();
    onChecked(nChecked.load());
    std::vector<std::size_t> result;
    for (std::size_t i = 0; i < files.size(); ++i) {
        if (damaged[i]) result.push_back(i);
    }
    return result;
}

}  // namespace corvana
