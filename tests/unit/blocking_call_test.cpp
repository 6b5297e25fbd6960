#include "net/blocking_call.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>

namespace corvana {
namespace {

using namespace std::chrono_literals;

TEST(BlockingCall, JobThatFinishesInTimeIsWaitedFor) {
    BlockingCaller caller;
    int nValue = 0;
    for (int i = 1; i <= 100; ++i) {
        EXPECT_TRUE(caller.Run([&] { nValue = i; }, 5000));
        EXPECT_EQ(nValue, i);  // the job's effect is visible once Run returns
    }
}

TEST(BlockingCall, SlowJobIsGivenUpAndTheNextCallStillWorks) {
    BlockingCaller caller;
    auto pRelease = std::make_shared<std::atomic<bool>>(false);
    auto pFinished = std::make_shared<std::atomic<bool>>(false);

    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(caller.Run(
        [pRelease, pFinished] {
            while (!*pRelease) std::this_thread::sleep_for(1ms);
            *pFinished = true;
        },
        50));
    EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);  // did not wait for the job

    int nValue = 0;
    EXPECT_TRUE(caller.Run([&] { nValue = 7; }, 5000));  // served by a new helper
    EXPECT_EQ(nValue, 7);

    // The given-up job runs to its end on its own, touching only what it holds.
    *pRelease = true;
    for (int i = 0; i < 5000 && !*pFinished; ++i) std::this_thread::sleep_for(1ms);
    EXPECT_TRUE(*pFinished);
}

TEST(BlockingCall, CallerCanGoWhileAGivenUpJobStillRuns) {
    auto pRelease = std::make_shared<std::atomic<bool>>(false);
    {
        BlockingCaller caller;
        EXPECT_FALSE(caller.Run(
            [pRelease] {
                while (!*pRelease) std::this_thread::sleep_for(1ms);
            },
            20));
    }
    *pRelease = true;
    std::this_thread::sleep_for(20ms);
}

}  // namespace
}  // namespace corvana
