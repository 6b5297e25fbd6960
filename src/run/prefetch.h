// The run's next files fetched while it installs the one before: each on a
// connection of its own, a few at a time and a few files ahead, streamed to the
// downloads folder and checked against the signed list as FetchToDisk does.
// Once a file's transfer has begun, the rest of it is cut into parts that
// connections with no file left to begin fetch as ranged requests, from the
// file's end, while the transfer goes on from its start through the parts no
// connection has begun. The run takes each file in its turn. One whose fetch failed is fetched
// again by the run itself, which resumes what was kept and ends as a fetch does.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <functional>
#include <list>
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
// A transfer is shared only while SHARE_MIN_BYTES of it are still to come: it
// stops where the parts begin, and what it had on its way then is lost. The
// rest of a file is cut into PARTS_PER_CONNECTION parts for each connection,
// each of PART_MIN_BYTES to PART_MAX_BYTES (a part waits on disk for the
// transfer before it, and is then copied once): a connection that is faster
// than the others takes more of them. When no part is left to begin, the
// second half of the largest range still to come is taken from its transfer.
inline constexpr uint64_t SHARE_MIN_BYTES = uint64_t{16} << 20;
inline constexpr std::size_t PARTS_PER_CONNECTION = 4;
inline constexpr uint64_t PART_MIN_BYTES = uint64_t{1} << 20;
inline constexpr uint64_t PART_MAX_BYTES = uint64_t{64} << 20;

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
    // line following its transfer), or claimed when no connection begins it
    // within a second. The body when it came whole and signed; nothing when the run is to
    // fetch it itself; the run's ending when it was cancelled meanwhile. The
    // hosts the connections have left are left in hosts too.
    Expected<std::optional<StreamedBody>, RunEnding> Take(const std::string& name, SetHosts& hosts);

private:
    enum class JobState { WAITING, FETCHING, DONE, CLAIMED };
    // A range of a file that another connection fetches, to a file of its own.
    struct Part {
        uint64_t nFrom = 0;
        uint64_t nEnd = 0;      // where it ends: where the next range begins
        uint64_t nAt = 0;       // the bytes it has taken end here
        bool bBegun = false;    // a connection has taken it
        bool bDone = false;     // its transfer has ended (whole when nAt == nEnd)
        bool bDropped = false;  // of no use: its file goes when its transfer ends
        DataFile file;          // when done
    };
    struct Job {
        std::string name;
        JobState state = JobState::WAITING;
        uint64_t nReceived = 0;
        uint64_t nLength = 0;
        std::optional<StreamedBody> body;                 // when DONE and whole
        std::string failure;                              // when DONE and not
        std::vector<std::pair<bool, std::string>> notes;  // (a request's URL?, text)
        // The transfer from the file's start: the version it fetches, whether
        // parts of it may be taken, and where its bytes end.
        std::string url;
        std::string validator;
        uint64_t nTotal = 0;
        bool bPartsOpen = false;
        bool bCut = false;  // the rest has been cut into parts
        uint64_t nAt = 0;
        std::list<Part> parts;    // in the file's order
        std::list<Part> dropped;  // dropped while in flight

        // Where the transfer from the start stops: the first part not dropped.
        uint64_t Stop() const;
    };
    class JobView;
    class JobParts;

    // Opens connections until there are nWanted, or until one cannot be had
    // (m_mutex held).
    void AddConnections(std::size_t nWanted);
    // One connection's loop: the next waiting job within reach, else a part of
    // one in flight, until none is left or the stop.
    void Work(Fetcher& fetcher, RunControl& control);
    // The first waiting job within reach: the run's next, or one ahead (m_mutex held).
    Job* NextWaiting();
    // The last part not begun of the first job in flight that has one (its
    // rest cut into parts first), else one taken from a range in flight
    // (m_mutex held).
    std::pair<Job*, Part*> TakePart();
    // Cuts the rest of the job, after its transfer's first part, into parts.
    static void CutRest(Job& job);
    // Leaves in hosts the hosts the connections have left (m_mutex held).
    void LeaveHosts(SetHosts& hosts) const;
    // The job's file to the downloads folder; its outcome stored in the job.
    void Fetch(Fetcher& fetcher, RunControl& control, Job& job);
    // The part to a file of its own; what it took stored in the part.
    void FetchPart(Fetcher& fetcher, RunControl& control, Job& job, Part& part);
    // Drops the job's parts (m_mutex held): those in flight end soon and remove
    // their files; the files of those done are returned, to be removed.
    using PartFiles = std::vector<std::pair<uint64_t, DataFile>>;
    static PartFiles DropParts(Job& job);
    // Removes the files of the job's parts that began at the bytes given (closed first).
    void RemovePartFiles(const Job& job, PartFiles& files) const;

    const StepContext& m_context;
    FetcherSource m_source;
    std::vector<std::size_t> m_hosts;  // the run's hosts not left when it began, by index
    std::vector<std::string> m_bases;  // their base URLs
    std::size_t m_nHost = 0;           // the first of m_hosts not left
    std::vector<Job> m_jobs;
    std::mutex m_mutex;
    std::condition_variable m_changed;  // a job's state or progress, the run's turn, the stop
    std::size_t m_nTaken = 0;           // jobs the run has taken or passed
    bool m_bStop = false;
    bool m_bNoParts = false;  // a part brought nothing: no more are made
    // The connections, added while the stop has not come (m_mutex held).
    std::vector<std::unique_ptr<Fetcher>> m_fetchers;
    std::vector<std::unique_ptr<RunControl>> m_controls;  // each connection's stop
    std::vector<std::thread> m_threads;
    bool m_bNoMoreConnections = false;  // one could not be had
};

}  // namespace corvana
