// The run's next files fetched while it installs the one before: each on a
// connection of its own, a few at a time and a few files ahead, streamed to the
// downloads folder and checked against the signed list as FetchToDisk does.
// The run takes each file in its turn. One whose fetch failed is fetched again
// by the run itself, which resumes what was kept and ends as a fetch does.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "net/fetcher.h"
#include "run/body_fetch.h"
#include "run/ending.h"
#include "run/run_control.h"

namespace corvana {

struct SetHosts;
struct StepContext;

// Transfers in flight at once, and how many files beyond the one the run is at
// may lie fetched in the downloads folder.
inline constexpr std::size_t PREFETCH_CONNECTIONS = 8;
inline constexpr std::size_t PREFETCH_AHEAD = 8;

// Makes the fetcher of one more connection.
using FetcherSource = std::function<std::unique_ptr<Fetcher>()>;

class Prefetcher {
public:
    // Starts fetching names (the set's files, in the order the run takes them;
    // a name that recurs is fetched once) from the first of hosts that the run
    // has not left. A host whose answer fails is left for the next, as the run
    // leaves it; a transfer that stalls is not resumed from a host with others
    // after it.
    Prefetcher(const StepContext& context, const SetHosts& hosts,
               const std::vector<std::string>& names, const FetcherSource& source);
    // The transfers in flight stop; what they kept stays for a resume.
    ~Prefetcher();
    Prefetcher(const Prefetcher&) = delete;
    Prefetcher& operator=(const Prefetcher&) = delete;

    // Name's file, when it is the next one: waited for (the bar and the size
    // line following its transfer), or claimed when no connection has begun
    // it. The body when it came whole and signed; nothing when the run is to
    // fetch it itself; the run's ending when it was cancelled meanwhile. The
    // hosts the connections have left are left in hosts too.
    Expected<std::optional<StreamedBody>, RunEnding> Take(const std::string& name, SetHosts& hosts);

private:
    enum class JobState { WAITING, FETCHING, DONE, CLAIMED };
    struct Job {
        std::string name;
        JobState state = JobState::WAITING;
        uint64_t nReceived = 0;
        uint64_t nLength = 0;
        std::optional<StreamedBody> body;                 // when DONE and whole
        std::string failure;                              // when DONE and not
        std::vector<std::pair<bool, std::string>> notes;  // (a request's URL?, text)
    };
    class JobView;

    // One connection's loop: the next waiting job within reach, until none is
    // left or the stop.
    void Work(Fetcher& fetcher, RunControl& control);
    // Leaves in hosts the hosts the connections have left (m_mutex held).
    void LeaveHosts(SetHosts& hosts) const;
    // The job's file to the downloads folder; its outcome stored in the job.
    void Fetch(Fetcher& fetcher, RunControl& control, Job& job);

    const StepContext& m_context;
    std::vector<std::size_t> m_hosts;  // the run's hosts not left when it began, by index
    std::vector<std::string> m_bases;  // their base URLs
    std::size_t m_nHost = 0;           // the first of m_hosts not left
    std::vector<Job> m_jobs;
    std::mutex m_mutex;
    std::condition_variable m_changed;  // a job's state or progress, the run's turn, the stop
    std::size_t m_nTaken = 0;           // jobs the run has taken or passed
    bool m_bStop = false;
    std::vector<std::unique_ptr<Fetcher>> m_fetchers;
    std::vector<std::unique_ptr<RunControl>> m_controls;  // each connection's stop
    std::vector<std::thread> m_threads;
};

}  // namespace corvana
