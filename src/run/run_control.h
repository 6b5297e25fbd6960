// What the steps of a run share of the run itself: whether it is to stop (Exit,
// or a failure reported from another thread), and what it is doing, in words
// for the cause of something thrown.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

#include "run/ending.h"

namespace corvana {

class RunControl {
public:
    // Exit, or the window's end: the run stops at its next cancellation point.
    void Cancel() { m_bCancel.store(1, std::memory_order_release); }
    // A failure outside the run (the window's or the endpoint's thread): the run
    // ends with cause, as an error, at its next cancellation point. From any thread.
    void Abort(std::string cause);
    bool IsCancelled() const { return m_bCancel.load(std::memory_order_acquire) != 0; }
    const std::atomic<int32_t>& CancelFlag() const { return m_bCancel; }
    // The ending at a cancellation point: Exit's (code nCode), or an Abort's failure.
    RunEnding Cancelled(int nCode) const;

    // The run's thread only.
    void Doing(std::string activity) { m_strActivity = std::move(activity); }
    const std::string& Activity() const { return m_strActivity; }

private:
    std::atomic<int32_t> m_bCancel{
        0};  // written by the window (release), read by the run (acquire)
    mutable std::mutex m_abortMutex;
    std::string m_strAbortCause;  // guarded by m_abortMutex
    std::string m_strActivity;
};

}  // namespace corvana
