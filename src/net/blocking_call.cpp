#include "net/blocking_call.h"

#include <atomic>
#include <chrono>
#include <thread>

namespace corvana {

namespace {

using Clock = std::chrono::steady_clock;

// Before either side sleeps on the condition variable it polls the flag it waits
// for this long: hand-overs of quick jobs then cost no system call on either side.
constexpr auto SPIN_TIME = std::chrono::microseconds(500);

template <typename Ready>
bool SpinFor(Ready ready) {
    const auto until = Clock::now() + SPIN_TIME;
    while (!ready()) {
        if (Clock::now() >= until) return false;
        std::this_thread::yield();
    }
    return true;
}

}  // namespace

struct BlockingCaller::Helper {
    std::mutex mutex;
    std::condition_variable wake;
    std::function<void()> job;  // guarded by mutex
    std::atomic<bool> bHasJob{false};
    std::atomic<bool> bDone{false};
    std::atomic<bool> bQuit{false};

    static void Loop(const std::shared_ptr<Helper>& pHelper) {  // the thread's own copy
        Helper& helper = *pHelper;
        for (;;) {
            if (!SpinFor([&] { return helper.bHasJob.load() || helper.bQuit.load(); })) {
                std::unique_lock lock(helper.mutex);
                helper.wake.wait(lock,
                                 [&] { return helper.bHasJob.load() || helper.bQuit.load(); });
            }
            std::function<void()> job;
            {
                std::lock_guard lock(helper.mutex);
                if (!helper.bHasJob) return;  // quit
                job = std::move(helper.job);
                helper.bHasJob = false;
            }
            job();
            {
                std::lock_guard lock(helper.mutex);
                helper.bDone = true;
            }
            helper.wake.notify_all();
        }
    }
};

BlockingCaller::~BlockingCaller() {
    if (m_pHelper == nullptr) return;
    {
        std::lock_guard lock(m_pHelper->mutex);
        m_pHelper->bQuit = true;
    }
    m_pHelper->wake.notify_all();
}

bool BlockingCaller::Run(std::function<void()> job, unsigned dwTimeoutMs) {
    if (m_pHelper == nullptr) {
        m_pHelper = std::make_shared<Helper>();
        std::thread(Helper::Loop, m_pHelper).detach();
    }
    Helper& helper = *m_pHelper;
    {
        std::lock_guard lock(helper.mutex);
        helper.job = std::move(job);
        helper.bDone = false;
        helper.bHasJob = true;
    }
    helper.wake.notify_all();

    bool bDone = SpinFor([&] { return helper.bDone.load(); });
    if (!bDone) {
        std::unique_lock lock(helper.mutex);
        bDone = helper.wake.wait_for(lock, std::chrono::milliseconds(dwTimeoutMs),
                                     [&] { return helper.bDone.load(); });
        if (!bDone) helper.bQuit = true;  // it quits after the job
    }
    if (!bDone) {
        helper.wake.notify_all();
        m_pHelper.reset();  // a new helper serves the next call
    }
    return bDone;
}

}  // namespace corvana
