#include "app/terminal/progress_line.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

namespace corvana {
namespace {

using namespace std::chrono_literals;

TEST(TransferMeter, RateAndTimeLeftAreTheRunsNotTheFiles) {
    TransferMeter meter;
    const auto start = TransferMeter::Clock::now();
    // Entry 1 of 3 announced, then 1 MiB of it arrives in 1 s.
    meter.Update({1, 3, 0, 0, 0}, start);
    EXPECT_FALSE(meter.Rate());
    meter.Update({1, 3, 1 << 20, 2 << 20, 250}, start + 1s);
    ASSERT_TRUE(meter.Rate());
    EXPECT_DOUBLE_EQ(*meter.Rate(), 1 << 20);
    // This file's other MiB and two more files of the mean length (2 MiB each).
    EXPECT_DOUBLE_EQ(*meter.SecondsLeft(), 5.0);

    // The file is in at 2 s; 10 s of installing do not lower the rate.
    meter.Update({1, 3, 2 << 20, 2 << 20, 500}, start + 2s);
    meter.Update({1, 3, 0, 0, 501}, start + 2s);
    meter.Update({2, 3, 0, 0, 1000}, start + 12s);
    EXPECT_DOUBLE_EQ(*meter.Rate(), 1 << 20);
    EXPECT_DOUBLE_EQ(*meter.SecondsLeft(), 4.0);  // two files of 2 MiB to come

    // Entry 2 is a 6 MiB file: the mean becomes 4 MiB for the one after it.
    meter.Update({2, 3, 1 << 20, 6 << 20, 1100}, start + 13s);
    EXPECT_DOUBLE_EQ(*meter.SecondsLeft(), 9.0);
}

TEST(ProgressLine, FitsTheWidthDroppingTheLeastWantedFirst) {
    const ProgressFigures figures{40, 3 << 20, 8 << 20, 1153433.6, 125};
    for (const auto& [nColumns, line] : std::vector<std::pair<int, std::string>>{
             {80, "[########            ]  40%  3.0/8.0 MiB  1.1 MiB/s  2:05 left"},
             {50, "[##     ]  40%  3.0/8.0 MiB  1.1 MiB/s  2:05 left"},
             {40, "40%  3.0/8.0 MiB  1.1 MiB/s  2:05 left"},
             {30, "40%  3.0/8.0 MiB  2:05 left"},
             {16, "40%  2:05 left"},
             {4, "40%"}}) {
        EXPECT_EQ(FormatProgressLine(figures, nColumns, true), line) << nColumns;
    }
    EXPECT_EQ(FormatProgressLine({100, 900, 1 << 20, 10.0, 0}, 0, false),
              "100%  900 B/1.0 MiB  10 B/s");
    EXPECT_EQ(FormatBytes(1023), "1023 B");
    EXPECT_EQ(FormatBytes(300 * 1024), "300 KiB");
}

}  // namespace
}  // namespace corvana
