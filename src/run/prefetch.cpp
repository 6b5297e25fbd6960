#include "run/prefetch.h"

#include <algorithm>
#include <chrono>
#include <set>
#include <system_error>
#include <tuple>

#include "install/folder_guard.h"
#include "platform/failure.h"
#include "platform/process.h"
#include "run/archive_step.h"
#include "run/run_clock.h"
#include "run/run_screen.h"

namespace corvana {

namespace {

// How long the run waits between looks at the job it waits for (its bar, its
// cancel), and the step of a connection's pause before a resume.
constexpr auto TAKE_POLL = std::chrono::milliseconds(50);
// How long the run waits for a connection to begin its next file (one does at
// once: it is the first any of them begins) before it fetches the file itself.
constexpr auto CLAIM_WAIT = std::chrono::seconds(1);
constexpr uint32_t PAUSE_STEP_MS = 50;

// Appends the first nBytes of from to to.
Result AppendFilePart(const DataFile& from, uint64_t nBytes, DataFile& to) {
    std::string block(std::size_t{1} << 20, '\0');
    for (uint64_t nAt = 0; nAt < nBytes;) {
        const auto nWanted =
            static_cast<std::size_t>(std::min<uint64_t>(block.size(), nBytes - nAt));
        const Expected<std::size_t> read = from.ReadAt(nAt, block.data(), nWanted);
        if (!read) return read.GetFailure();
        if (*read == 0) return Failure{from.Path(), "shorter than it was"};
        if (Result appended = to.Append(block.data(), *read); !appended) return appended;
        nAt += *read;
    }
    return {};
}

// A connection's pauses: the system's time, ended early by the connection's stop.
class ConnectionClock : public RunClock {
public:
    explicit ConnectionClock(const RunControl& control) : m_control(control) {}
    void Pause(uint32_t dwMs) override {
        for (uint32_t dwDone = 0; dwDone < dwMs && !m_control.IsCancelled();
             dwDone += PAUSE_STEP_MS) {
            SleepMs(std::min(PAUSE_STEP_MS, dwMs - dwDone));
        }
    }
    uint32_t TickCount() override { return GetTickCountMs(); }

private:
    const RunControl& m_control;
};

}  // namespace

// What a connection's fetch shows: its progress and its notes, kept in its job
// for the run, which shows them when it takes the job.
class Prefetcher::JobView : public RunView {
public:
    JobView(Prefetcher& owner, Job& job) : m_owner(owner), m_job(job) {}

    void ShowProgress(const RunProgress& progress) override {
        {
            const std::lock_guard<std::mutex> lock(m_owner.m_mutex);
            m_job.nReceived = progress.qwReceived;
            m_job.nLength = progress.qwLength;
        }
        m_owner.m_changed.notify_all();
    }
    void NoteRequest(const std::string& url) override { Keep(true, url); }
    void Note(const std::string& note) override { Keep(false, note); }

    void ShowStatus(const std::string& /*text*/) override {}
    void SetProgressRange(int /*nUnits*/) override {}
    void ShowSizeLine(const std::string& /*text*/) override {}
    void AskInstallFolder(const std::string& /*defaultFolder*/) override {}
    void EndInstallChoice() override {}
    void ShowErrorBox(const std::string& /*text*/, const std::string& /*caption*/) override {}
    void ExplainFailure(const std::string& /*cause*/) override {}
    void OfferExitOnly() override {}
    void Close() override {}

private:
    void Keep(bool bRequest, const std::string& text) {
        const std::lock_guard<std::mutex> lock(m_owner.m_mutex);
        m_job.notes.emplace_back(bRequest, text);
    }

    Prefetcher& m_owner;
    Job& m_job;
};

// The parts of a job that other connections fetch, as its transfer from the
// start sees them.
class Prefetcher::JobParts : public BodyParts {
public:
    JobParts(Prefetcher& owner, Job& job) : m_owner(owner), m_job(job) {}

    void Began(const std::string& url, uint64_t nFrom, uint64_t nTotal,
               const std::string& validator) override {
        PartFiles files;
        {
            const std::lock_guard<std::mutex> lock(m_owner.m_mutex);
            // Parts of another version, or from another host, are of no use.
            if (url != m_job.url || validator != m_job.validator || nTotal != m_job.nTotal) {
                files = DropParts(m_job);
                m_job.url = url;
                m_job.validator = validator;
                m_job.nTotal = nTotal;
            }
            m_job.nAt = nFrom;
            m_job.bPartsOpen = !validator.empty() && !m_owner.m_bNoParts;
            if (m_job.bPartsOpen && nTotal - nFrom >= SHARE_MIN_BYTES) {
                m_owner.AddConnections(PREFETCH_CONNECTIONS);
            }
        }
        m_owner.RemovePartFiles(m_job, files);
        m_owner.m_changed.notify_all();
    }

    uint64_t Keep(uint64_t nAt, uint64_t nSize) override {
        const std::lock_guard<std::mutex> lock(m_owner.m_mutex);
        // The parts no connection has begun are this transfer's as it comes to
        // them: it goes on without a new request.
        while (!m_job.parts.empty() && !m_job.parts.front().bBegun &&
               m_job.parts.front().nFrom < nAt + nSize) {
            m_job.parts.pop_front();
        }
        const uint64_t nStop = m_job.Stop();
        const uint64_t nKept = nAt >= nStop ? 0 : std::min(nSize, nStop - nAt);
        m_job.nAt = nAt + nKept;
        return nKept;
    }

    Result AppendParts(DataFile& file) override {
        for (;;) {
            std::unique_lock<std::mutex> lock(m_owner.m_mutex);
            if (m_job.parts.empty()) return {};
            if (m_job.parts.front().nFrom != file.Size()) {
                // Not where the transfer stopped: it fetches the rest itself.
                PartFiles files = DropParts(m_job);
                lock.unlock();
                m_owner.RemovePartFiles(m_job, files);
                return {};
            }
            // Only this transfer takes parts from the front, and nothing is
            // put before the part it waits at; one that no connection has
            // begun is the transfer's own.
            Part& part = m_job.parts.front();
            if (!part.bBegun) {
                m_job.parts.pop_front();
                return {};
            }
            m_owner.m_changed.wait(lock, [&] { return part.bDone || m_owner.m_bStop; });
            if (!part.bDone) return {};
            const uint64_t nFrom = part.nFrom;
            const uint64_t nBytes = part.nAt - part.nFrom;
            const bool bWhole = part.nAt == part.nEnd;
            DataFile partFile = std::move(part.file);
            lock.unlock();
            Result appended = AppendFilePart(partFile, nBytes, file);
            lock.lock();
            m_job.parts.pop_front();
            m_job.nAt = nFrom + nBytes;  // the transfer goes on from the file's end
            m_job.nReceived += nBytes;
            lock.unlock();
            PartFiles files;
            files.emplace_back(nFrom, std::move(partFile));
            m_owner.RemovePartFiles(m_job, files);
            if (!appended || !bWhole) return appended;
        }
    }

private:
    Prefetcher& m_owner;
    Job& m_job;
};

uint64_t Prefetcher::Job::Stop() const { return parts.empty() ? nTotal : parts.front().nFrom; }

Prefetcher::Prefetcher(const StepContext& context, const SetHosts& hosts,
                       const std::vector<std::string>& names, const FetcherSource& source)
    : m_context(context), m_source(source) {
    for (std::size_t i = 0; i < hosts.bases.size(); ++i) {
        if (hosts.left[i]) continue;
        m_hosts.push_back(i);
        m_bases.push_back(hosts.bases[i]);
    }
    std::set<std::string> seen;
    for (const std::string& name : names) {
        if (!seen.insert(name).second) continue;
        Job& job = m_jobs.emplace_back();
        job.name = name;
    }
    // A connection for each file, up to the most; a file large enough to share
    // brings the rest (JobParts::Began). With none, the run fetches every file
    // itself.
    const std::lock_guard<std::mutex> lock(m_mutex);
    AddConnections(m_bases.empty() ? 0 : std::min(PREFETCH_CONNECTIONS, m_jobs.size()));
}

void Prefetcher::AddConnections(std::size_t nWanted) {
    while (!m_bNoMoreConnections && !m_bStop && m_threads.size() < nWanted) {
        std::unique_ptr<Fetcher> fetcher = m_source ? m_source() : nullptr;
        if (!fetcher || !fetcher->OpenInternet()) {
            m_bNoMoreConnections = true;
            return;
        }
        auto control = std::make_unique<RunControl>();
        try {
            m_threads.emplace_back(&Prefetcher::Work, this, std::ref(*fetcher), std::ref(*control));
        } catch (const std::system_error&) {  // no thread to be had: the connections there are do
            m_bNoMoreConnections = true;
            fetcher->CloseInternet();
            return;
        }
        m_fetchers.push_back(std::move(fetcher));
        m_controls.push_back(std::move(control));
    }
}

Prefetcher::~Prefetcher() {
    // The transfers are stopped as anything that waits learns of the stop, and
    // no connection is added after it.
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        m_bStop = true;
        for (const std::unique_ptr<RunControl>& control : m_controls) control->Cancel();
    }
    m_changed.notify_all();
    for (std::thread& thread : m_threads) thread.join();
    for (const std::unique_ptr<Fetcher>& fetcher : m_fetchers) fetcher->CloseInternet();
}

void Prefetcher::Work(Fetcher& fetcher, RunControl& control) {
    for (;;) {
        Job* pJob = nullptr;
        Part* pPart = nullptr;
        {
            std::unique_lock<std::mutex> lock(m_mutex);
            for (;;) {
                if (m_bStop) return;
                pJob = NextWaiting();
                if (pJob != nullptr) {
                    pJob->state = JobState::FETCHING;
                    break;
                }
                std::tie(pJob, pPart) = TakePart();
                if (pPart != nullptr) break;
                // Every job taken, and none in flight to share.
                if (m_nTaken >= m_jobs.size() &&
                    (m_jobs.empty() || m_jobs.back().state != JobState::FETCHING)) {
                    return;
                }
                m_changed.wait(lock);
            }
        }
        if (pPart != nullptr) {
            FetchPart(fetcher, control, *pJob, *pPart);
        } else {
            Fetch(fetcher, control, *pJob);
        }
        m_changed.notify_all();
    }
}

Prefetcher::Job* Prefetcher::NextWaiting() {
    // The file the run waits for, then those ahead.
    const std::size_t nReach = std::min(m_jobs.size(), m_nTaken + PREFETCH_AHEAD);
    for (std::size_t i = m_nTaken > 0 ? m_nTaken - 1 : 0; i < nReach; ++i) {
        if (m_jobs[i].state == JobState::WAITING) return &m_jobs[i];
    }
    return nullptr;
}

std::pair<Prefetcher::Job*, Prefetcher::Part*> Prefetcher::TakePart() {
    if (m_bNoParts) return {};
    // The file the run waits for, then those ahead.
    const std::size_t nFirst = m_nTaken > 0 ? m_nTaken - 1 : 0;
    const std::size_t nReach = std::min(m_jobs.size(), m_nTaken + PREFETCH_AHEAD);
    const auto inFlight = [](const Job& job) {
        return job.state == JobState::FETCHING && job.bPartsOpen && job.Stop() >= job.nAt;
    };
    for (std::size_t i = nFirst; i < nReach; ++i) {
        Job& job = m_jobs[i];
        if (!inFlight(job)) continue;
        if (!job.bCut) CutRest(job);
        // The last part not begun: the transfer from the start comes to the
        // first ones itself.
        for (auto it = job.parts.rbegin(); it != job.parts.rend(); ++it) {
            if (it->bBegun) continue;
            it->bBegun = true;
            return {&job, &*it};
        }
    }
    for (std::size_t i = nFirst; i < nReach; ++i) {
        Job& job = m_jobs[i];
        if (!inFlight(job)) continue;
        // The largest range still to come: the transfer's own, or a part's.
        auto largest = job.parts.end();
        uint64_t nLargest = job.Stop() - job.nAt;
        for (auto it = job.parts.begin(); it != job.parts.end(); ++it) {
            if (!it->bDone && it->nEnd - it->nAt > nLargest) {
                largest = it;
                nLargest = it->nEnd - it->nAt;
            }
        }
        if (nLargest < SHARE_MIN_BYTES) continue;
        const bool bOwn = largest == job.parts.end();
        const uint64_t nEnd = bOwn ? job.Stop() : largest->nEnd;
        Part part;
        part.nFrom = nEnd - std::min(nLargest / 2, PART_MAX_BYTES);
        part.nEnd = nEnd;
        part.nAt = part.nFrom;
        part.bBegun = true;
        if (!bOwn) largest->nEnd = part.nFrom;
        Part& made =
            *job.parts.insert(bOwn ? job.parts.begin() : std::next(largest), std::move(part));
        return {&job, &made};
    }
    return {};
}

void Prefetcher::CutRest(Job& job) {
    job.bCut = true;
    const uint64_t nRest = job.Stop() - job.nAt;
    if (!job.parts.empty() || nRest < SHARE_MIN_BYTES) return;
    const uint64_t nSize = std::clamp<uint64_t>(
        nRest / (PARTS_PER_CONNECTION * PREFETCH_CONNECTIONS), PART_MIN_BYTES, PART_MAX_BYTES);
    // The transfer keeps the first part; a last one smaller than the least
    // goes to the one before it.
    for (uint64_t nFrom = job.nAt + nSize; nFrom < job.nTotal;) {
        const uint64_t nEnd =
            job.nTotal - nFrom < nSize + PART_MIN_BYTES ? job.nTotal : nFrom + nSize;
        Part& part = job.parts.emplace_back();
        part.nFrom = nFrom;
        part.nEnd = nEnd;
        part.nAt = nFrom;
        nFrom = nEnd;
    }
}

Prefetcher::PartFiles Prefetcher::DropParts(Job& job) {
    job.bCut = false;
    PartFiles files;
    while (!job.parts.empty()) {
        Part& part = job.parts.front();
        if (part.bDone || !part.bBegun) {
            if (part.bDone) files.emplace_back(part.nFrom, std::move(part.file));
            job.parts.pop_front();
        } else {
            part.bDropped = true;
            part.nEnd = part.nAt;  // its transfer keeps nothing more
            job.dropped.splice(job.dropped.end(), job.parts, job.parts.begin());
        }
    }
    return files;
}

void Prefetcher::RemovePartFiles(const Job& job, PartFiles& files) const {
    if (files.empty()) return;
    const Expected<FolderHandle> folder = m_context.root.OpenBelow(DOWNLOADS_FOLDER_NAME, false);
    for (auto& [nFrom, file] : files) {
        file = DataFile();  // closed before it is removed
        if (folder) (*folder).RemoveEntry(BodyPartName(job.name, nFrom));
    }
}

void Prefetcher::FetchPart(Fetcher& fetcher, RunControl& control, Job& job, Part& part) {
    // The part's bytes go to its file as they arrive, up to where it ends now.
    class RangeSink : public BodySink {
    public:
        RangeSink(Prefetcher& owner, Part& part, DataFile& file, Result& written)
            : m_owner(owner), m_part(part), m_file(file), m_written(written) {}
        uint32_t Room() const override { return UINT32_MAX; }
        void Append(const char* pData, uint32_t dwSize) override {
            if (!m_written) return;
            uint64_t nKept = 0;
            {
                const std::lock_guard<std::mutex> lock(m_owner.m_mutex);
                nKept = std::min<uint64_t>(dwSize, m_part.nEnd - m_part.nAt);
                m_part.nAt += nKept;
                m_bAtEnd = m_part.nAt == m_part.nEnd;
            }
            m_written = m_file.Append(pData, static_cast<std::size_t>(nKept));
        }
        bool AtEnd() const { return m_bAtEnd; }

    private:
        Prefetcher& m_owner;
        Part& m_part;
        DataFile& m_file;
        Result& m_written;
        bool m_bAtEnd = false;
    };

    std::string url;
    uint64_t nTotal = 0;
    RangeRequest range;
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        url = job.url;
        range = RangeRequest{part.nFrom, part.nEnd, job.validator};
        nTotal = job.nTotal;
    }
    DataFile file;
    Result written = Failure{};
    bool bServed = true;  // whether the server answered with the part asked for
    if (Expected<FolderHandle> folder = m_context.root.OpenBelow(DOWNLOADS_FOLDER_NAME, true);
        folder) {
        if (Expected<DataFile> opened = (*folder).OpenDataFile(BodyPartName(job.name, range.nFrom));
            opened) {
            file = std::move(*opened);
            written = file.Truncate();
        }
    }
    if (written) {
        RangeSink sink(*this, part, file, written);
        try {
            const Expected<StreamStart, TransferError> start =
                fetcher.OpenStream(url.c_str(), range, sink);
            bServed = !start || (start->nFrom == range.nFrom && start->nTotal == nTotal);
            while (start && bServed && written && !sink.AtEnd() && !control.IsCancelled()) {
                const Expected<uint32_t, TransferError> chunk = fetcher.ReadChunk();
                if (!chunk || *chunk == 0) break;
            }
        } catch (...) {
            written = Failure{{}, DescribeException(std::current_exception())};
        }
        fetcher.CloseUrl();
    }
    PartFiles files;
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        // What the part brings is what reached its file; the transfer from the
        // start fetches the rest.
        part.nAt = written && bServed ? range.nFrom + file.Size() : range.nFrom;
        part.bDone = true;
        // A server that answers a part with something else, or with nothing,
        // is not asked for more of them in this run.
        if (!part.bDropped && !control.IsCancelled() && part.nAt == range.nFrom) m_bNoParts = true;
        if (part.bDropped) {
            files.emplace_back(range.nFrom, std::move(file));
            job.dropped.remove_if([&](const Part& each) { return &each == &part; });
        } else {
            part.file = std::move(file);
        }
    }
    RemovePartFiles(job, files);
}

void Prefetcher::Fetch(Fetcher& fetcher, RunControl& control, Job& job) {
    JobView view(*this, job);
    RunScreen screen;
    screen.SetView(&view);
    screen.StartEntries(1, 1);
    screen.NextEntry();
    ConnectionClock clock(control);
    StepContext context{fetcher, m_context.verifier, screen, control, clock, m_context.root};
    JobParts parts(*this, job);
    std::optional<StreamedBody> body;
    std::string failure;
    std::size_t nHost = 0;
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        nHost = m_nHost;
    }
    try {
        for (;;) {
            const bool bOthers = nHost + 1 < m_bases.size();
            Expected<StreamedBody, FetchRefusal> fetched =
                FetchToDisk(context, m_bases[nHost] + job.name, job.name, bOthers, &parts);
            if (fetched) {
                body.emplace(std::move(*fetched));
                break;
            }
            failure = fetched.GetFailure().ending.cause;
            if (!bOthers || fetched.GetFailure().bHere || control.IsCancelled()) break;
            // The host is left for the rest of the run, by every connection.
            fetcher.CloseUrl();
            {
                const std::lock_guard<std::mutex> lock(m_mutex);
                m_nHost = std::max(m_nHost, nHost + 1);
                nHost = m_nHost;
            }
            view.Note(failure + "; " + job.name + " is fetched from " + m_bases[nHost]);
        }
    } catch (...) {
        failure = DescribeException(std::current_exception());
    }
    fetcher.CloseUrl();
    if (!body && failure.empty()) failure = "the fetch of " + job.name + " stopped";
    PartFiles files;
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        job.body = std::move(body);
        job.failure = std::move(failure);
        job.state = JobState::DONE;
        job.bPartsOpen = false;
        files = DropParts(job);
    }
    RemovePartFiles(job, files);
}

void Prefetcher::LeaveHosts(SetHosts& hosts) const {
    for (std::size_t i = 0; i < m_nHost; ++i) hosts.left[m_hosts[i]] = true;
}

Expected<std::optional<StreamedBody>, RunEnding> Prefetcher::Take(const std::string& name,
                                                                  SetHosts& hosts) {
    // A cancel ends the run before its next file, fetched or not.
    if (m_context.control.IsCancelled()) return m_context.control.Cancelled(CODE_CANCELLED);
    std::unique_lock<std::mutex> lock(m_mutex);
    LeaveHosts(hosts);
    if (m_nTaken >= m_jobs.size() || m_jobs[m_nTaken].name != name) {
        return std::optional<StreamedBody>();
    }
    Job& job = m_jobs[m_nTaken++];
    m_changed.notify_all();  // one more file is within reach
    // On a connection, the file may be shared with the others.
    if (job.state == JobState::WAITING && !m_threads.empty()) {
        m_changed.wait_for(lock, CLAIM_WAIT, [&] { return job.state != JobState::WAITING; });
    }
    if (job.state == JobState::WAITING) {
        job.state = JobState::CLAIMED;
        return std::optional<StreamedBody>();
    }
    RunScreen& screen = m_context.screen;
    while (job.state != JobState::DONE) {
        if (m_context.control.IsCancelled()) return m_context.control.Cancelled(CODE_CANCELLED);
        uint64_t nReceived = job.nReceived;
        for (const Part& part : job.parts) nReceived += part.nAt - part.nFrom;
        const uint64_t nLength = job.nLength;
        lock.unlock();
        if (nLength > 0) screen.Transfer(nReceived, nLength);
        lock.lock();
        m_changed.wait_for(lock, TAKE_POLL);
    }
    LeaveHosts(hosts);
    const std::vector<std::pair<bool, std::string>> notes = std::move(job.notes);
    std::optional<StreamedBody> body = std::move(job.body);
    const std::string failure = job.failure;
    job.state = JobState::CLAIMED;
    lock.unlock();

    RunView& view = screen.View();
    for (const auto& [bRequest, text] : notes) {
        if (bRequest) {
            view.NoteRequest(text);
        } else {
            view.Note(text);
        }
    }
    if (!body) {
        view.Note(failure + "; " + name + " is fetched again");
        return std::optional<StreamedBody>();
    }
    const uint64_t nSize = body->File().Size();
    if (nSize > 0) screen.Transfer(nSize, nSize);
    return body;
}

}  // namespace corvana
