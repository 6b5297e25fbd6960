#include "run/archive_step.h"

#include <optional>

#include "archive/delta.h"
#include "net/http_downloader.h"
#include "platform/text_table.h"
#include "run/body_fetch.h"
#include "run/patch_server.h"
#include "run/prefetch.h"

namespace corvana {

namespace {

// Each install stage's status text and the bar's place within the entry's units.
struct StageStep {
    int nStringId;
    int nUnits;
};
constexpr StageStep STAGE_STEPS[] = {{IDS_INSTALLING, TRANSFER_UNITS + 1},
                                     {IDS_COMPARING, TRANSFER_UNITS + 6},
                                     {IDS_UNPACKING, TRANSFER_UNITS + 7},
                                     {IDS_INSTALLED, UNITS_PER_ENTRY}};

// Fetches url into the fetcher's body with the bar and the size line following
// it, and checks it as name against the signed list.
Expected<std::string_view, FetchRefusal> FetchVerified(StepContext& context, const std::string& url,
                                                       const std::string& name) {
    context.control.Doing("fetching " + url);
    context.screen.View().NoteRequest(url);
    const Expected<uint32_t, TransferError> length = context.fetcher.OpenUrl(url.c_str());
    if (!length) {
        const DownloadFailure kind = length.GetFailure().kind;
        return FetchRefusal{FetchEnding(length.GetFailure(), url),
                            kind == DownloadFailure::HTTP_STATUS,
                            kind == DownloadFailure::REFUSED_LENGTH};
    }
    // Without a length the file cannot be fetched whole.
    if (*length == 0) {
        return FetchRefusal{RunEnding::ExitButton(IDS_SERVER_UNREACHABLE,
                                                  url + ": the response announced a length of 0")};
    }
    for (uint32_t dwReceived = 0; dwReceived < *length;) {
        const Expected<uint32_t, TransferError> chunk = context.fetcher.ReadChunk();
        if (chunk) dwReceived += *chunk;
        context.screen.Transfer(dwReceived, *length);
        if (context.control.IsCancelled()) {
            return FetchRefusal{context.control.Cancelled(CODE_CANCELLED)};
        }
        if (!chunk) return FetchRefusal{FetchEnding(chunk.GetFailure(), url)};
    }
    // Nothing is saved that the publisher did not sign.
    const std::string_view body = context.fetcher.GetBody();
    if (Result verified = context.verifier.VerifyFile(name, body); !verified) {
        return FetchRefusal{RunEnding::Failed(CODE_NOT_VERIFIED, verified.GetFailure().Text())};
    }
    return body;
}

// A fetched file: held in memory when it fits the buffer, else streamed to the
// downloads folder.
struct Fetched {
    std::string_view memory;
    std::optional<StreamedBody> streamed;

    FetchedBody Body() const {
        return streamed ? FetchedBody(streamed->File()) : FetchedBody(memory);
    }
    // The streamed copy goes once it is installed, or is of no further use; one
    // that did not fit the disk's free space is kept for a run with more.
    void Done(const InstallOutcome& outcome) {
        if (streamed && outcome.result != InstallResult::NO_SPACE) streamed->Discard();
    }
};

// Fetches url as name: to the disk with a key (every body then resumes), and
// without one into memory unless it is too large to hold there, or a part of
// it is kept from an earlier run.
Expected<Fetched, FetchRefusal> Fetch(StepContext& context, const std::string& url,
                                      const std::string& name, bool bOtherHosts) {
    if (!context.verifier.HasKey() && !HasKeptBody(context.root, url, name)) {
        Expected<std::string_view, FetchRefusal> memory = FetchVerified(context, url, name);
        if (memory) return Fetched{*memory, std::nullopt};
        if (!memory.GetFailure().bTooLarge) return memory.GetFailure();
    }
    Expected<StreamedBody, FetchRefusal> streamed = FetchToDisk(context, url, name, bOtherHosts);
    if (!streamed) return streamed.GetFailure();
    return Fetched{{}, std::move(*streamed)};
}

// The first host from host i on that is not left; the count of hosts when none is.
std::size_t HostFrom(const SetHosts& hosts, std::size_t i) {
    while (i < hosts.left.size() && hosts.left[i]) ++i;
    return i;
}

// Fetches name from the hosts in turn until one gives it. A host whose answer
// fails (unreachable, an error status, a stall, bytes that are not the signed
// ones, which are never kept) is left for the others; a failure of this
// machine's, a cancel, or the last host's failure ends the fetch.
Expected<Fetched, FetchRefusal> FetchFromHosts(StepContext& context, SetHosts& hosts,
                                               const std::string& name) {
    for (std::size_t i = HostFrom(hosts, 0);; i = HostFrom(hosts, i + 1)) {
        const std::size_t nNext = HostFrom(hosts, i + 1);
        const bool bOthers = nNext < hosts.bases.size();
        Expected<Fetched, FetchRefusal> body = Fetch(context, hosts.bases[i] + name, name, bOthers);
        if (body || !bOthers || body.GetFailure().bHere || context.control.IsCancelled()) {
            return body;
        }
        context.fetcher.CloseUrl();
        hosts.left[i] = true;
        context.screen.View().Note(body.GetFailure().ending.cause + "; " + name +
                                   " is fetched from " + hosts.bases[nNext]);
    }
}

// The delta name as the prefetch has it, read whole: nothing when the run is to
// fetch it itself; the run's ending when it was cancelled meanwhile.
Expected<std::optional<std::string>, RunEnding> TakeDelta(Prefetcher* pPrefetcher, SetHosts& hosts,
                                                          const std::string& name) {
    if (pPrefetcher == nullptr) return std::optional<std::string>();
    Expected<std::optional<StreamedBody>, RunEnding> taken = pPrefetcher->Take(name, hosts);
    if (!taken) return taken.GetFailure();
    if (!*taken) return std::optional<std::string>();
    StreamedBody& body = **taken;
    std::optional<std::string> text;
    const uint64_t nSize = body.File().Size();
    if (nSize <= DOWNLOAD_BUFFER_SIZE) {
        text.emplace(static_cast<std::size_t>(nSize), '\0');
        for (std::size_t nRead = 0; text && nRead < text->size();) {
            const Expected<std::size_t> read =
                body.File().ReadAt(nRead, text->data() + nRead, text->size() - nRead);
            if (!read || *read == 0) {
                text.reset();
            } else {
                nRead += *read;
            }
        }
    }
    body.Discard();
    return text;
}

// The archive name as pPrefetcher has it, else fetched from the hosts.
Expected<Fetched, FetchRefusal> FetchArchive(StepContext& context, SetHosts& hosts,
                                             const std::string& name, Prefetcher* pPrefetcher) {
    if (pPrefetcher == nullptr) return FetchFromHosts(context, hosts, name);
    Expected<std::optional<StreamedBody>, RunEnding> taken = pPrefetcher->Take(name, hosts);
    if (!taken) return FetchRefusal{taken.GetFailure()};
    if (!*taken) return FetchFromHosts(context, hosts, name);
    return Fetched{{}, std::move(*taken)};
}

// The first host not left.
const std::string& FirstHost(const SetHosts& hosts) { return hosts.bases[HostFrom(hosts, 0)]; }

RunEnding InstallEnding(const InstallOutcome& outcome) {
    return RunEnding::Failed(
        outcome.result == InstallResult::UNSAFE ? CODE_UNSAFE_NAME : CODE_NOT_INSTALLED,
        outcome.failure.Text());
}

}  // namespace

RunEnding FetchEnding(const TransferError& error, const std::string& url) {
    // A file longer than it announced, or of a length no file has, stays so
    // however often it is asked for.
    if (error.kind == DownloadFailure::REFUSED_LENGTH || error.kind == DownloadFailure::TOO_LONG) {
        return RunEnding::Failed(CODE_NOT_INSTALLED, DescribeTransfer(error, url));
    }
    return RunEnding::ExitButton(IDS_SERVER_UNREACHABLE, DescribeTransfer(error, url));
}

Expected<std::string, RunEnding> FetchSetFile(StepContext& context, const std::string& baseUrl,
                                              const std::string& name, bool bOptional) {
    const std::string url = baseUrl + name;
    context.control.Doing("fetching " + url);
    context.screen.View().NoteRequest(url);
    Expected<std::string, TransferError> text = context.fetcher.DownloadToMemory(url.c_str());
    const bool bManifest = name == MANIFEST_NAME;
    if (!text && bOptional && text.GetFailure().kind == DownloadFailure::HTTP_STATUS) {
        return std::string();
    }
    if (!text) {
        // A set's own file that the server lacks is refused as the set; a
        // manifest that cannot be fetched is an unreachable server.
        if (text.GetFailure().kind == DownloadFailure::HTTP_STATUS && !bManifest &&
            context.verifier.HasKey()) {
            return RunEnding::Failed(CODE_NOT_VERIFIED, DescribeTransfer(text.GetFailure(), url));
        }
        return FetchEnding(text.GetFailure(), url);
    }
    if (bManifest ? IsManifestRefused(*text) : IsWebPage(*text)) {
        return RunEnding::ExitButton(IDS_SERVER_UNREACHABLE,
                                     url + (bManifest ? ": not a manifest (empty, or a web page)"
                                                      : ": a web page, not the patch set's file"));
    }
    // Nothing is read that the publisher did not sign.
    if (Result verified = context.verifier.VerifyFile(name, context.fetcher.GetBody()); !verified) {
        return RunEnding::Failed(CODE_NOT_VERIFIED, verified.GetFailure().Text());
    }
    return std::move(*text);
}

SignedFiles SignedFilesOf(const std::map<std::string, IndexedFile>& index,
                          const std::string& archive, const std::set<std::string>& laterArchives) {
    SignedFiles files;
    files.hashOf = [&index, archive,
                    &laterArchives](const std::string& path) -> Expected<std::string> {
        const auto file = index.find(path);
        if (file == index.end()) return Failure{path, "the signed index does not name it"};
        if (file->second.archive == archive) return file->second.sha256;
        if (laterArchives.count(file->second.archive) != 0) return std::string();
        return Failure{path, "the signed index has it from " + file->second.archive};
    };
    for (const auto& [path, file] : index) {
        if (file.archive == archive) files.own.emplace_back(path, file.sha256);
    }
    return files;
}

ResultOf<RunEnding> InstallEntry(StepContext& context, SetHosts& hosts, const ManifestEntry& entry,
                                 const SignedFiles& signedFiles, Prefetcher* pPrefetcher) {
    RunScreen& screen = context.screen;
    // The window shows every step in its order, also those that do nothing for
    // this file (nothing is compared for a full archive, nothing unpacked from a
    // plain file): each stage the install begins shows the ones before it first.
    int nShown = -1;
    const auto onStage = [&](InstallStage stage) {
        for (; nShown < static_cast<int>(stage); ++nShown) {
            const StageStep& step = STAGE_STEPS[nShown + 1];
            screen.EntryStep(entry, step.nStringId, step.nUnits);
        }
    };
    // With a delta that the signed list names only what changed is fetched; one
    // that does not fit the folder, or that the server lacks (a mirror not yet
    // in step), leaves the entry to its full archive, as does any failure of
    // the delta's host when there are others.
    const std::string deltaName = entry.strName + DELTA_SUFFIX;
    if (context.verifier.Lists(deltaName)) {
        screen.TransferBegins(entry);
        // A delta is held in memory: one too large for that leaves the entry to
        // its archive, which may be of any size.
        Expected<std::optional<std::string>, RunEnding> taken =
            TakeDelta(pPrefetcher, hosts, deltaName);
        if (!taken) return taken.GetFailure();
        const Expected<std::string_view, FetchRefusal> delta =
            *taken ? Expected<std::string_view, FetchRefusal>(std::string_view(**taken))
                   : FetchVerified(context, FirstHost(hosts) + deltaName, deltaName);
        if (delta) {
            context.control.Doing("installing " + entry.strName + " from " + deltaName);
            const InstallOutcome installed =
                InstallFromDelta(context.root, entry.strName, *delta, onStage, signedFiles);
            context.fetcher.CloseUrl();
            if (installed.result == InstallResult::INSTALLED) return {};
            if (installed.result != InstallResult::DELTA_UNUSABLE) return InstallEnding(installed);
            screen.View().Note(installed.failure.Text() + "; " + entry.strName +
                               " is fetched whole");
        } else if (delta.GetFailure().bNotThere || delta.GetFailure().bTooLarge ||
                   (hosts.bases.size() > 1 && !context.control.IsCancelled())) {
            context.fetcher.CloseUrl();
            screen.View().Note(delta.GetFailure().ending.cause + "; " + entry.strName +
                               " is fetched whole");
        } else {
            return delta.GetFailure().ending;
        }
    }
    screen.TransferBegins(entry);
    nShown = -1;
    Expected<Fetched, FetchRefusal> body = FetchArchive(context, hosts, entry.strName, pPrefetcher);
    if (!body) return body.GetFailure().ending;
    context.control.Doing("installing " + entry.strName);
    const InstallOutcome installed =
        InstallFile(context.root, entry.strName, (*body).Body(), onStage);
    (*body).Done(installed);
    context.fetcher.CloseUrl();
    if (installed.result != InstallResult::INSTALLED) return InstallEnding(installed);
    return {};
}

ResultOf<RunEnding> RestoreFromEntry(StepContext& context, SetHosts& hosts,
                                     const ManifestEntry& entry, const std::set<std::string>& paths,
                                     Prefetcher* pPrefetcher) {
    context.screen.TransferBegins(entry);
    Expected<Fetched, FetchRefusal> body = FetchArchive(context, hosts, entry.strName, pPrefetcher);
    if (!body) return body.GetFailure().ending;
    context.control.Doing("putting back files of " + entry.strName);
    context.screen.EntryStep(entry, IDS_UNPACKING, TRANSFER_UNITS + 7);
    const InstallOutcome restored =
        RestoreFiles(context.root, entry.strName, (*body).Body(), paths);
    (*body).Done(restored);
    context.fetcher.CloseUrl();
    if (restored.result != InstallResult::INSTALLED) return InstallEnding(restored);
    context.screen.EntryStep(entry, IDS_INSTALLED, UNITS_PER_ENTRY);
    return {};
}

}  // namespace corvana
