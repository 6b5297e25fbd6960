#include "run/body_fetch.h"

#include <charconv>
#include <optional>

#include "archive/sha256.h"
#include "install/folder_guard.h"
#include "platform/text.h"
#include "platform/text_table.h"
#include "run/archive_step.h"

namespace corvana {

namespace {

constexpr const char* PART_SUFFIX = ".part";
constexpr const char* RECORD_SUFFIX = ".info";
constexpr std::size_t RECORD_LIMIT = 8192;

// What identifies a kept body: where it came from, its whole length, the
// server's validator, and for a signed set the digest it must have.
struct PartRecord {
    std::string url;
    uint64_t nTotal = 0;
    std::string validator;
    std::string digest;

    std::string Text() const {
        return url + "\n" + std::to_string(nTotal) + "\n" + validator + "\n" + digest + "\n";
    }
    bool operator==(const PartRecord&) const = default;
};

std::optional<PartRecord> ReadRecord(std::string_view text) {
    std::string_view fields[4];
    for (std::string_view& field : fields) {
        const std::size_t nEnd = text.find('\n');
        if (nEnd == std::string_view::npos) return std::nullopt;
        field = text.substr(0, nEnd);
        text.remove_prefix(nEnd + 1);
    }
    PartRecord record{std::string(fields[0]), 0, std::string(fields[2]), std::string(fields[3])};
    const std::string_view total = fields[1];
    const auto [pEnd, error] =
        std::from_chars(total.data(), total.data() + total.size(), record.nTotal);
    if (!text.empty() || total.empty() || error != std::errc() ||
        pEnd != total.data() + total.size()) {
        return std::nullopt;
    }
    return record;
}

// The body's bytes go to its file and its hash as they arrive, up to where
// another connection's part begins.
class PartSink : public BodySink {
public:
    PartSink(DataFile& file, std::optional<Sha256Hash>& hash, BodyParts* pParts)
        : m_file(file), m_hash(hash), m_pParts(pParts) {}
    uint32_t Room() const override { return UINT32_MAX; }
    void Append(const char* pData, uint32_t dwSize) override {
        if (!m_written) return;  // a write failed: nothing after it is kept
        if (m_pParts != nullptr) {
            const uint64_t nKept = m_pParts->Keep(m_file.Size(), dwSize);
            m_bAtPart = nKept < dwSize;
            dwSize = static_cast<uint32_t>(nKept);
        }
        m_written = m_file.Append(pData, dwSize);
        if (m_written) m_hash->Update({pData, dwSize});
    }
    const Result& Written() const { return m_written; }
    // Whether the transfer reached the first part.
    bool AtPart() const { return m_bAtPart; }
    void Restart() { m_bAtPart = false; }

private:
    DataFile& m_file;
    std::optional<Sha256Hash>& m_hash;
    BodyParts* m_pParts;
    Result m_written;
    bool m_bAtPart = false;
};

bool IsBreak(DownloadFailure kind) {
    return kind == DownloadFailure::CONNECTION_LOST || kind == DownloadFailure::SHORT_BODY ||
           kind == DownloadFailure::STALLED || kind == DownloadFailure::TIMED_OUT;
}

// The name a body's files share in the downloads folder.
std::string KeyOf(const std::string& name) { return Sha256Hex(name).substr(0, 16); }

FetchRefusal NotKept(const Failure& failure) {
    return FetchRefusal{RunEnding::Failed(CODE_NOT_INSTALLED, failure.Text()), false, false, true};
}

}  // namespace

void StreamedBody::Discard() {
    m_file = DataFile();
    m_folder.RemoveEntry(m_strKey + PART_SUFFIX);
    m_folder.RemoveEntry(m_strKey + RECORD_SUFFIX);
}

Expected<StreamedBody, FetchRefusal> FetchToDisk(StepContext& context, const std::string& url,
                                                 const std::string& name, bool bOtherHosts,
                                                 BodyParts* pParts) {
    const Expected<std::optional<Sha256>> listed = context.verifier.SignedDigest(name);
    if (!listed) {
        return FetchRefusal{RunEnding::Failed(CODE_NOT_VERIFIED, listed.GetFailure().Text())};
    }
    const std::string digest = listed->has_value() ? HexOf(**listed) : std::string();

    Expected<FolderHandle> folder = context.root.OpenBelow(DOWNLOADS_FOLDER_NAME, true);
    if (!folder) return NotKept(folder.GetFailure());
    const std::string key = KeyOf(name);
    Expected<DataFile> opened = (*folder).OpenDataFile(key + PART_SUFFIX);
    if (!opened) return NotKept(opened.GetFailure());
    DataFile& file = *opened;

    // What an earlier run kept is of use when it is of this signed file (of this
    // URL when nothing is signed: a later set's folder, or a mirror, serves the
    // same file under another), and the server can tell whether it still has
    // that version.
    const Expected<std::string> recordText =
        (*folder).ReadSmallFile(key + RECORD_SUFFIX, RECORD_LIMIT);
    std::optional<PartRecord> kept = recordText ? ReadRecord(*recordText) : std::nullopt;
    if (!kept || (kept->url != url && digest.empty()) || kept->digest != digest ||
        kept->validator.empty() || file.Size() > kept->nTotal) {
        kept.reset();
        if (Result emptied = file.Truncate(); !emptied) {
            return NotKept(emptied.GetFailure());
        }
    }
    // A whole body kept is asked for its last byte again: the server's answer
    // tells whether it is still the body it has.
    if (kept && file.Size() == kept->nTotal && file.Size() > 0) {
        if (Result cut = file.Truncate(file.Size() - 1); !cut) {
            return NotKept(cut.GetFailure());
        }
    }
    std::string validator = kept ? kept->validator : std::string();

    std::optional<Sha256Hash> hash;
    hash.emplace();
    uint64_t nHashed = 0;
    PartSink sink(file, hash, pParts);
    uint32_t dwPause = FIRST_RESUME_PAUSE_MS;
    for (int nResumes = 0;;) {
        const uint64_t nFrom = file.Size();
        context.control.Doing(nFrom > 0 ? "fetching " + url + " from byte " + std::to_string(nFrom)
                                        : "fetching " + url);
        context.screen.View().NoteRequest(url);
        const Expected<StreamStart, TransferError> start =
            context.fetcher.OpenStream(url.c_str(), RangeRequest{nFrom, 0, validator}, sink);
        Expected<uint32_t, TransferError> chunk = uint32_t{0};
        if (!start) {
            chunk = start.GetFailure();
        } else if (start->nTotal == 0) {
            return FetchRefusal{RunEnding::ExitButton(
                IDS_SERVER_UNREACHABLE, url + ": the response announced a length of 0")};
        } else {
            // The server sends the whole body when it no longer has the version
            // kept (or does not serve ranges): it starts again from nothing.
            if (start->nFrom != nFrom || start->nFrom > start->nTotal) {
                if (Result emptied = file.Truncate(); !emptied) {
                    return NotKept(emptied.GetFailure());
                }
                hash.emplace();
                nHashed = 0;
            }
            const uint64_t nNeeded = start->nTotal - file.Size();
            const uint64_t nFree = (*folder).FreeSpace();
            if (nFree != 0 && nNeeded > nFree) {
                return NotKept(Failure{{},
                                       name + " needs " + std::to_string(nNeeded) + " bytes, " +
                                           std::to_string(nFree) + " free in " +
                                           context.root.Path()});
            }
            validator = start->validator.find('\n') == std::string::npos ? start->validator : "";
            const PartRecord record{url, start->nTotal, validator, digest};
            if (Expected<DataFile> recordFile = (*folder).OpenDataFile(key + RECORD_SUFFIX);
                recordFile) {
                const std::string text = record.Text();
                if (!(*recordFile).Truncate() || !(*recordFile).Append(text.data(), text.size())) {
                    validator.clear();  // not resumable by a later run; this one goes on
                }
            }
            if (pParts != nullptr) pParts->Began(url, file.Size(), start->nTotal, validator);
            if (nHashed < file.Size()) {
                if (Result hashed = HashFilePart(file, nHashed, file.Size(), *hash); !hashed) {
                    return NotKept(hashed.GetFailure());
                }
            }
            for (;;) {
                nHashed = file.Size();
                context.screen.Transfer(file.Size(), start->nTotal);
                if (!sink.Written()) return NotKept(sink.Written().GetFailure());
                if (context.control.IsCancelled()) {
                    (void)file.Flush();  // kept for the next run
                    return FetchRefusal{context.control.Cancelled(CODE_CANCELLED)};
                }
                if (file.Size() >= start->nTotal || sink.AtPart()) break;
                chunk = context.fetcher.ReadChunk();
                if (!chunk) break;
                if (*chunk == 0) break;
            }
            nHashed = file.Size();
            if (chunk && file.Size() == start->nTotal) break;
            if (chunk && sink.AtPart()) {
                // The rest is other connections' parts: this transfer goes on
                // after the last one that came whole, without a pause.
                context.fetcher.CloseUrl();
                sink.Restart();
                if (Result appended = pParts->AppendParts(file); !appended) {
                    return NotKept(appended.GetFailure());
                }
                if (Result hashed = HashFilePart(file, nHashed, file.Size(), *hash); !hashed) {
                    return NotKept(hashed.GetFailure());
                }
                nHashed = file.Size();
                context.screen.Transfer(file.Size(), start->nTotal);
                if (context.control.IsCancelled()) {
                    (void)file.Flush();
                    return FetchRefusal{context.control.Cancelled(CODE_CANCELLED)};
                }
                if (file.Size() == start->nTotal) break;
                continue;
            }
            if (chunk) {  // the response ended before the body did
                chunk = TransferError{DownloadFailure::SHORT_BODY, 0,
                                      std::to_string(file.Size()) + " of " +
                                          std::to_string(start->nTotal) + " bytes"};
            }
        }
        context.fetcher.CloseUrl();
        const DownloadFailure kind = chunk ? DownloadFailure::NONE : chunk.GetFailure().kind;
        const bool bStall = kind == DownloadFailure::STALLED || kind == DownloadFailure::TIMED_OUT;
        if (!chunk && (!IsBreak(kind) || nResumes == MAX_RESUMES || (bOtherHosts && bStall))) {
            (void)file.Flush();
            return FetchRefusal{FetchEnding(chunk.GetFailure(), url),
                                chunk.GetFailure().kind == DownloadFailure::HTTP_STATUS};
        }
        // A break: after a pause, the rest is asked for.
        context.screen.View().Note(DescribeTransfer(chunk.GetFailure(), url) +
                                   "; going on from byte " + std::to_string(file.Size()));
        context.clock.Pause(dwPause);
        dwPause *= 2;
        ++nResumes;
    }
    context.fetcher.CloseUrl();
    // Nothing is used that the publisher did not sign.
    StreamedBody body(std::move(*folder), key, std::move(file));
    if (Result verified = context.verifier.VerifyDigest(name, hash->Digest()); !verified) {
        body.Discard();
        return FetchRefusal{RunEnding::Failed(CODE_NOT_VERIFIED, verified.GetFailure().Text())};
    }
    return body;
}

std::string BodyPartName(const std::string& name, uint64_t nFrom) {
    return KeyOf(name) + "-" + std::to_string(nFrom) + ".range";
}

bool HasKeptBody(const FolderHandle& root, const std::string& url, const std::string& name) {
    if (root.KindOf(DOWNLOADS_FOLDER_NAME) != EntryKind::FOLDER) return false;
    const Expected<FolderHandle> folder = root.OpenBelow(DOWNLOADS_FOLDER_NAME, false);
    if (!folder) return false;
    const Expected<std::string> text =
        (*folder).ReadSmallFile(KeyOf(name) + RECORD_SUFFIX, RECORD_LIMIT);
    const std::optional<PartRecord> record = text ? ReadRecord(*text) : std::nullopt;
    return record && record->url == url;
}

void ClearDownloads(const FolderHandle& root) {
    if (root.KindOf(DOWNLOADS_FOLDER_NAME) != EntryKind::NONE) {
        root.RemoveTree(DOWNLOADS_FOLDER_NAME);
    }
}

}  // namespace corvana
