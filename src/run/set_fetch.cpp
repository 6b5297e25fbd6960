#include "run/set_fetch.h"

#include <optional>

#include "archive/delta.h"
#include "install/file_index.h"
#include "install/folder_guard.h"
#include "platform/text_table.h"
#include "run/patch_server.h"

namespace corvana {

namespace {

constexpr uint32_t SET_REFETCH_MS = 2000;

// The signed list and its signature, accepted against the newest set the
// folder accepted before.
ResultOf<RunEnding> AcceptSignedList(StepContext& context, const std::string& baseUrl,
                                     uint64_t nAccepted) {
    std::string texts[2];
    const char* names[2] = {CHECKSUMS_NAME, SIGNATURE_NAME};
    for (int i = 0; i < 2; ++i) {
        const std::string url = baseUrl + names[i];
        context.control.Doing("fetching " + url);
        context.screen.View().NoteRequest(url);
        const Expected<std::string, TransferError> text =
            context.fetcher.DownloadToMemory(url.c_str());
        // A server that cannot be reached is that; one that lacks the file is refused.
        if (!text && text.GetFailure().kind == DownloadFailure::HTTP_STATUS) {
            return RunEnding::Failed(CODE_NOT_VERIFIED, DescribeTransfer(text.GetFailure(), url));
        }
        if (!text) return FetchEnding(text.GetFailure(), url);
        texts[i] = context.fetcher.GetBody();
        // A login page or an error page served in the file's place is not the
        // publisher's word, nor an attack: the server is not the patch server.
        if (IsWebPage(texts[i])) {
            return RunEnding::ExitButton(IDS_SERVER_UNREACHABLE,
                                         url + ": a web page, not the patch set's file");
        }
    }
    if (Result accepted = context.verifier.AcceptList(texts[0], texts[1], nAccepted); !accepted) {
        return RunEnding::Failed(CODE_NOT_VERIFIED, accepted.GetFailure().Text());
    }
    return {};
}

// The folder the signed set's files are fetched from: the one its pointer names,
// or baseUrl itself on a server without pointers. The pointer's text is kept:
// the set's signed list must name it as its own.
struct SetFolder {
    std::string url;
    std::optional<std::string> pointer;
    std::string name;
};

Expected<SetFolder, RunEnding> FindSetFolder(StepContext& context, const std::string& baseUrl) {
    const std::string url = baseUrl + SET_POINTER_NAME;
    context.control.Doing("fetching " + url);
    context.screen.View().NoteRequest(url);
    Expected<std::string, TransferError> text = context.fetcher.DownloadToMemory(url.c_str());
    if (!text && text.GetFailure().kind == DownloadFailure::HTTP_STATUS) {
        return SetFolder{baseUrl, std::nullopt, {}};
    }
    if (!text) return FetchEnding(text.GetFailure(), url);
    if (IsWebPage(*text)) {
        return RunEnding::ExitButton(IDS_SERVER_UNREACHABLE,
                                     url + ": a web page, not the patch set's file");
    }
    std::string_view name = *text;
    while (name.ends_with('\n') || name.ends_with('\r')) name.remove_suffix(1);
    if (!IsSetName(name)) {
        return RunEnding::Failed(CODE_NOT_VERIFIED, url + ": not the name of a set");
    }
    std::string own(name);
    return SetFolder{SetFolderUrl(baseUrl, own), std::move(*text), std::move(own)};
}

}  // namespace

Expected<FetchedSet, RunEnding> FetchSet(StepContext& context, const std::string& baseUrl,
                                         bool bWithIndex) {
    const bool bSigned = context.verifier.HasKey();
    uint64_t nAccepted = 0;
    if (bSigned) {
        // A record that is there but cannot be read trusts no set.
        const Expected<uint64_t> accepted = ReadAcceptedTimestamp(context.root);
        if (!accepted) return RunEnding::Failed(CODE_NOT_VERIFIED, accepted.GetFailure().Text());
        nAccepted = *accepted;
    }
    // Every file read from the set is part of it: a publish between two of them
    // is seen as a set that does not verify.
    const std::pair<const char*, std::string FetchedSet::*> files[] = {
        {MANIFEST_NAME, &FetchedSet::manifest},
        {FILE_SUMS_NAME, &FetchedSet::fileSums},
        {FILE_ENTRIES_NAME, &FetchedSet::fileEntries},
        {MIRRORS_NAME, &FetchedSet::mirrors}};
    for (int nTry = 1;; ++nTry) {
        FetchedSet start;
        start.baseUrl = baseUrl;
        Expected<FetchedSet, RunEnding> fetched = std::move(start);
        if (bSigned) {
            // The pointer, the list and the list's word on the pointer: a set
            // folder's own pointer is the only one its list names.
            Expected<SetFolder, RunEnding> folder = FindSetFolder(context, baseUrl);
            ResultOf<RunEnding> accepted =
                folder ? AcceptSignedList(context, folder->url, nAccepted) : folder.GetFailure();
            if (accepted && folder->pointer) {
                if (Result own = context.verifier.VerifyFile(SET_POINTER_NAME, *folder->pointer);
                    !own) {
                    accepted =
                        RunEnding::Failed(CODE_NOT_VERIFIED, folder->url + CHECKSUMS_NAME + ": " +
                                                                 own.GetFailure().Text());
                }
            }
            if (!accepted) {
                fetched = accepted.GetFailure();
            } else {
                (*fetched).baseUrl = folder->url;
                (*fetched).setName = folder->name;
            }
        }
        // A delta's unchanged items are checked against the index, too, and
        // the disk's free space against what the index says the update needs.
        const bool bIndex = bWithIndex || (fetched && (context.verifier.ListsAny(DELTA_SUFFIX) ||
                                                       context.verifier.Lists(FILE_ENTRIES_NAME)));
        for (const auto& [pszName, member] : files) {
            if (!fetched) continue;
            if (member == &FetchedSet::mirrors) {
                if (!bSigned || !context.verifier.Lists(MIRRORS_NAME)) continue;
            } else if (member != &FetchedSet::manifest && !bIndex) {
                continue;
            }
            // Only a repair needs the index: for a delta's unchanged items it may be missing.
            const bool bOptional =
                member != &FetchedSet::manifest && member != &FetchedSet::mirrors && !bWithIndex;
            Expected<std::string, RunEnding> text =
                FetchSetFile(context, (*fetched).baseUrl, pszName, bOptional);
            if (!text) {
                fetched = text.GetFailure();
            } else {
                (*fetched).*member = std::move(*text);
            }
        }
        if (fetched) {
            // The set is on record before anything of it is installed: an older
            // one is refused from now on, even when this run goes no further.
            if (bSigned && context.verifier.Timestamp() > nAccepted) {
                if (Result recorded =
                        StoreAcceptedTimestamp(context.root, context.verifier.Timestamp());
                    !recorded) {
                    return RunEnding::Failed(CODE_NOT_VERIFIED, recorded.GetFailure().Text());
                }
            }
            return fetched;
        }
        if (fetched.GetFailure().nCode != CODE_NOT_VERIFIED || nTry == 2) return fetched;
        context.clock.Pause(SET_REFETCH_MS);
    }
}

}  // namespace corvana
