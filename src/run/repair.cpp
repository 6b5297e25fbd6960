// The repair that follows an update run's files (-REPAIR): every file the signed
// index names is checked, and what is missing or damaged is fetched back from
// the archive that holds it, and only that is written.
#include <algorithm>
#include <limits>
#include <map>
#include <set>
#include <thread>

#include "install/file_index.h"
#include "install/install_step.h"
#include "net/fetcher.h"
#include "platform/number_format.h"
#include "platform/text.h"
#include "platform/text_table.h"
#include "run/update_run.h"

namespace corvana {

namespace {

constexpr int CHECK_UNITS = 1000;

std::string Count(uint64_t nNumber) { return FormatLocaleNumber(std::to_string(nNumber), -1); }

}  // namespace

std::optional<std::string> UpdateRun::FetchSigned(const std::string& baseUrl,
                                                  const std::string& name) {
    const std::string url = baseUrl + name;
    m_pView->NoteRequest(url);
    std::string body = m_pFetcher->DownloadToMemory(url.c_str());
    const DownloadFailure failure = m_pFetcher->GetFailure();
    if (failure != DownloadFailure::NONE && failure != DownloadFailure::HTTP_STATUS) {
        End(Unreachable(url));
        return std::nullopt;
    }
    // A file the server lacks, or one the list does not name, is not the publisher's.
    if (!m_verifier.VerifyFile(name, body)) {
        End(Failed(CODE_NOT_VERIFIED, m_verifier.Cause()));
        return std::nullopt;
    }
    return body;
}

bool UpdateRun::Repair(const std::string& baseUrl, const std::string& folder,
                       const std::string& manifest) {
    const std::optional<std::string> sums = FetchSigned(baseUrl, FILE_SUMS_NAME);
    if (!sums) return false;
    const std::optional<std::string> entries = FetchSigned(baseUrl, FILE_ENTRIES_NAME);
    if (!entries) return false;
    const Expected<std::vector<IndexedFile>> index = ReadFileIndex(*sums, *entries);
    if (!index) {
        End(Failed(CODE_NOT_VERIFIED, index.GetFailure().Text()));
        return false;
    }
    const std::vector<IndexedFile>& files = *index;
    // Each archive the index names is an entry of the manifest with a safe name
    // (any of them: updates install entries beyond the first hundred too).
    const std::vector<ManifestEntry> listed =
        ReadManifest(manifest, 0, std::numeric_limits<std::size_t>::max()).vecEntries;
    std::set<std::string, std::less<>> archives;
    for (const ManifestEntry& entry : listed) {
        if (entry.bSafeName) archives.insert(entry.strName);
    }
    for (const IndexedFile& file : files) {
        if (archives.count(file.archive) == 0) {
            End(Failed(CODE_NOT_VERIFIED, std::string(FILE_ENTRIES_NAME) + ": " + file.path +
                                              " is in " + file.archive +
                                              ", which the manifest does not list"));
            return false;
        }
    }

    // The check, on every core the machine has (up to four), the bar in bytes.
    uint64_t nTotal = 0;
    for (const IndexedFile& file : files) nTotal += file.nSize;
    Status(IDS_COMPARING);
    m_pView->SetProgressRange(CHECK_UNITS);
    const unsigned nThreads = std::clamp(std::thread::hardware_concurrency(), 1u, 4u);
    const std::vector<std::size_t> damaged = FindDamagedFiles(
        folder, files, nThreads,
        [&](uint64_t nChecked) {
            Progress(nTotal == 0 ? CHECK_UNITS : static_cast<int>(CHECK_UNITS * nChecked / nTotal));
            m_pView->ShowSizeLine(Count(nChecked) + " / " + Count(nTotal) + " bytes");
        },
        &m_bCancel);
    if (m_bCancel.load(std::memory_order_acquire)) {
        End(Box(RunOutcome::CANCELLED, -3));
        return false;
    }

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
    m_progress = RunProgress{0, static_cast<int>(fetch.size()), 0, 0, 0};
    m_pView->SetProgressRange(UNITS_PER_ENTRY * static_cast<int>(fetch.size()));
    for (const ManifestEntry* pEntry : fetch) {
        ++m_progress.nEntry;
        const int nBase = UNITS_PER_ENTRY * (m_progress.nEntry - 1);
        Progress(nBase);
        EntryStatus(*pEntry, IDS_DOWNLOADING);
        // Never a delta: the files it would rebuild from are the damaged ones.
        if (!FetchEntry(baseUrl + pEntry->strName, nBase)) return false;
        const std::string_view body = m_pFetcher->GetBody();
        if (!m_verifier.VerifyFile(pEntry->strName, body)) {
            End(Failed(CODE_NOT_VERIFIED, m_verifier.Cause()));
            return false;
        }
        EntryStep(*pEntry, IDS_UNPACKING, nBase + 507);
        const InstallOutcome restored =
            RestoreFiles(folder, pEntry->strName, body, byArchive[pEntry->strName]);
        m_pFetcher->CloseUrl();
        if (restored.result != InstallResult::INSTALLED) {
            End(Failed(
                restored.result == InstallResult::UNSAFE ? CODE_UNSAFE_NAME : CODE_NOT_INSTALLED,
                restored.failure.Text()));
            return false;
        }
        EntryStep(*pEntry, IDS_INSTALLED, nBase + UNITS_PER_ENTRY);
    }
    m_nRepaired = damaged.size();
    const std::string summary =
        Count(files.size()) + " files checked, " + Count(damaged.size()) + " repaired";
    m_pView->Note(summary);
    m_pView->ShowSizeLine(summary);
    return true;
}

}  // namespace corvana
