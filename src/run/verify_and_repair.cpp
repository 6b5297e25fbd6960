// Verify and repair: the check of every file of the signed index, then the
// archives that hold what is damaged, each fetched once.
#include "run/verify_and_repair.h"

#include <algorithm>
#include <limits>
#include <map>
#include <optional>
#include <set>
#include <thread>

#include "install/file_index.h"
#include "platform/number_format.h"
#include "platform/text.h"
#include "platform/text_table.h"

namespace corvana {

namespace {

// The check's bar: its range, whatever the bytes.
constexpr int CHECK_UNITS = 1000;

std::string Count(uint64_t nNumber) { return FormatLocaleNumber(std::to_string(nNumber), -1); }

}  // namespace

Expected<std::size_t, RunEnding> VerifyAndRepair(StepContext& context, SetHosts& hosts,
                                                 const FetchedSet& set,
                                                 const FetcherSource& source) {
    context.control.Doing("checking the installed files");
    const Expected<std::vector<IndexedFile>> index = ReadFileIndex(set.fileSums, set.fileEntries);
    if (!index) return RunEnding::Failed(CODE_NOT_VERIFIED, index.GetFailure().Text());
    const std::vector<IndexedFile>& files = *index;
    // Each archive the index names is an entry of the manifest with a safe name
    // (any of them: updates install entries beyond the first hundred too).
    const std::vector<ManifestEntry> listed =
        ReadManifest(set.manifest, 0, std::numeric_limits<std::size_t>::max()).vecEntries;
    std::set<std::string, std::less<>> archives;
    for (const ManifestEntry& entry : listed) {
        if (entry.bSafeName) archives.insert(entry.strName);
    }
    for (const IndexedFile& file : files) {
        if (archives.count(file.archive) == 0) {
            return RunEnding::Failed(CODE_NOT_VERIFIED, std::string(FILE_ENTRIES_NAME) + ": " +
                                                            file.path + " is in " + file.archive +
                                                            ", which the manifest does not list");
        }
    }

    // The check, on every core the machine has (up to four), the bar in bytes.
    RunScreen& screen = context.screen;
    uint64_t nTotal = 0;
    for (const IndexedFile& file : files) nTotal += file.nSize;
    screen.Status(IDS_COMPARING);
    screen.View().SetProgressRange(CHECK_UNITS);
    const unsigned nThreads = std::clamp(std::thread::hardware_concurrency(), 1u, 4u);
    const std::vector<std::size_t> damaged = FindDamagedFiles(
        context.root, files, nThreads,
        [&](uint64_t nChecked) {
            screen.Bar(nTotal == 0 ? CHECK_UNITS
                                   : static_cast<int>(CHECK_UNITS * nChecked / nTotal));
            screen.SizeLine(Count(nChecked) + " / " + Count(nTotal) + " bytes");
        },
        &context.control.CancelFlag());
    if (context.control.IsCancelled()) return context.control.Cancelled(CODE_CANCELLED);

    // Each archive that holds a damaged file, once, in the manifest's order.
    std::map<std::string, std::set<std::string>> byArchive;
    for (const std::size_t i : damaged) byArchive[files[i].archive].insert(files[i].path);
    std::vector<const ManifestEntry*> fetch;
    std::set<std::string> taken;
    for (const ManifestEntry& entry : listed) {
        if (entry.bSafeName && byArchive.count(entry.strName) != 0 &&
            taken.insert(entry.strName).second) {
            fetch.push_back(&entry);
        }
    }
    const int nFetched = static_cast<int>(fetch.size());
    screen.StartEntries(nFetched, nFetched);
    std::optional<Prefetcher> prefetcher;
    if (source) {
        std::vector<std::string> names;
        names.reserve(fetch.size());
        for (const ManifestEntry* pEntry : fetch) names.push_back(pEntry->strName);
        prefetcher.emplace(context, hosts, names, source);
    }
    for (const ManifestEntry* pEntry : fetch) {
        screen.NextEntry();
        if (ResultOf<RunEnding> restored =
                RestoreFromEntry(context, hosts, *pEntry, byArchive[pEntry->strName],
                                 prefetcher ? &*prefetcher : nullptr);
            !restored) {
            return restored.GetFailure();
        }
    }
    prefetcher.reset();
    screen.View().Note(Count(files.size()) + " files checked, " + Count(damaged.size()) +
                       " repaired");
    screen.SizeLine(FormatText(LoadText(IDS_FILES_REPAIRED).c_str(), Count(files.size()).c_str(),
                               Count(damaged.size()).c_str()));
    return damaged.size();
}

}  // namespace corvana
