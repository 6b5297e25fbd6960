#include "run/prefetch.h"

#include <algorithm>
#include <chrono>
#include <set>

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
constexpr uint32_t PAUSE_STEP_MS = 50;

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

Prefetcher::Prefetcher(const StepContext& context, const SetHosts& hosts,
                       const std::vector<std::string>& names, const FetcherSource& source)
    : m_context(context) {
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
    // A connection that cannot be opened is one fewer; with none, the run
    // fetches every file itself.
    const std::size_t nConnections =
        m_bases.empty() ? 0 : std::min(PREFETCH_CONNECTIONS, m_jobs.size());
    for (std::size_t i = 0; i < nConnections; ++i) {
        std::unique_ptr<Fetcher> fetcher = source();
        if (!fetcher || !fetcher->OpenInternet()) continue;
        m_fetchers.push_back(std::move(fetcher));
        m_controls.push_back(std::make_unique<RunControl>());
    }
    for (std::size_t i = 0; i < m_fetchers.size(); ++i) {
        m_threads.emplace_back(&Prefetcher::Work, this, std::ref(*m_fetchers[i]),
                               std::ref(*m_controls[i]));
    }
}

Prefetcher::~Prefetcher() {
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        m_bStop = true;
    }
    for (const std::unique_ptr<RunControl>& control : m_controls) control->Cancel();
    m_changed.notify_all();
    for (std::thread& thread : m_threads) thread.join();
    for (const std::unique_ptr<Fetcher>& fetcher : m_fetchers) fetcher->CloseInternet();
}

void Prefetcher::Work(Fetcher& fetcher, RunControl& control) {
    for (;;) {
        Job* pJob = nullptr;
        {
            std::unique_lock<std::mutex> lock(m_mutex);
            m_changed.wait(lock, [&] {
                if (m_bStop) return true;
                const std::size_t nReach = std::min(m_jobs.size(), m_nTaken + PREFETCH_AHEAD);
                for (std::size_t i = m_nTaken; i < nReach && pJob == nullptr; ++i) {
                    if (m_jobs[i].state == JobState::WAITING) pJob = &m_jobs[i];
                }
                return pJob != nullptr || m_nTaken >= m_jobs.size();
            });
            if (pJob == nullptr || m_bStop) return;  // the stop, or every job taken
            pJob->state = JobState::FETCHING;
        }
        Fetch(fetcher, control, *pJob);
        m_changed.notify_all();
    }
}

void Prefetcher::Fetch(Fetcher& fetcher, RunControl& control, Job& job) {
    JobView view(*this, job);
    RunScreen screen;
    screen.SetView(&view);
    screen.StartEntries(1, 1);
    screen.NextEntry();
    ConnectionClock clock(control);
    StepContext context{fetcher, m_context.verifier, screen, control, clock, m_context.root};
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
                FetchToDisk(context, m_bases[nHost] + job.name, job.name, bOthers);
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
    const std::lock_guard<std::mutex> lock(m_mutex);
    job.body = std::move(body);
    job.failure = std::move(failure);
    job.state = JobState::DONE;
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
    if (job.state == JobState::WAITING) {
        job.state = JobState::CLAIMED;
        return std::optional<StreamedBody>();
    }
    RunScreen& screen = m_context.screen;
    while (job.state != JobState::DONE) {
        if (m_context.control.IsCancelled()) return m_context.control.Cancelled(CODE_CANCELLED);
        const uint64_t nReceived = job.nReceived;
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
