#include "net/blocking_call.h"

#include <chrono>
#include <thread>

namespace corvana {

struct BlockingCaller::Helper {
    std::mutex mutex;
    std::condition_variable wake;
    std::function<void()> job;
    bool bHasJob = false;
    bool bDone = false;
    bool bQuit = false;

    static void Loop(std::shared_ptr<Helper> pHelper) {
        std::unique_lock lock(pHelper->mutex);
        for (;;) {
            pHelper->wake.wait(lock, [&] { return pHelper->bHasJob || pHelper->bQuit; });
            if (!pHelper->bHasJob) return;
            std::function<void()> job = std::move(pHelper->job);
            pHelper->bHasJob = false;
            lock.unlock();
            job();
            lock.lock();
            pHelper->bDone = true;
            pHelper->wake.notify_all();
        }
    }
};

BlockingCaller::~BlockingCaller() {
    if (m_pHelper == nullptr) return;
    std::lock_guard lock(m_pHelper->mutex);
    m_pHelper->bQuit = true;
    m_pHelper->wake.notify_all();
}

bool BlockingCaller::Run(std::function<void()> job, unsigned dwTimeoutMs) {
    if (m_pHelper == nullptr) {
        m_pHelper = std::make_shared<Helper>();
        std::thread(Helper::Loop, m_pHelper).detach();
    }
    std::unique_lock lock(m_pHelper->mutex);
    m_pHelper->job = std::move(job);
    m_pHelper->bHasJob = true;
    m_pHelper->bDone = false;
    m_pHelper->wake.notify_all();
    const bool bDone = m_pHelper->wake.wait_for(lock, std::chrono::milliseconds(dwTimeoutMs),
                                                [&] { return m_pHelper->bDone; });
    if (bDone) return true;
    // Give the helper up: it quits after the job; a new one serves the next call.
    m_pHelper->bQuit = true;
    lock.unlock();
    m_pHelper.reset();
    return false;
}

}  // namespace corvana
