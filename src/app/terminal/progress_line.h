// The terminal's progress line: what the run's progress reports add up to (the
// transfer rate and the time left for the whole run), and the line that shows it.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

#include "run/run_view.h"

namespace corvana {

// Follows the run's transfers through its progress reports. The rate is the
// bytes received over the time spent receiving them (the installing between
// files does not count). Each file's length is announced only when it is
// requested, so the files still to come are reckoned at the mean length of the
// files seen so far.
class TransferMeter {
public:
    using Clock = std::chrono::steady_clock;

    void Update(const RunProgress& progress, Clock::time_point now);

    // Bytes per second; empty until enough time has passed to tell.
    std::optional<double> Rate() const;
    // Seconds until every file of the run is in; empty while the rate is unknown.
    std::optional<double> SecondsLeft() const;

private:
    bool IsReceiving() const { return m_progress.qwLength != 0; }
    void EndTransfer();
    double ReceivingSeconds() const;

    RunProgress m_progress;
    Clock::time_point m_start{};  // when the current transfer was first seen
    Clock::time_point m_now{};
    uint64_t m_qwFirstBytes = 0;  // bytes of the current file already in then
    uint64_t m_qwEarlierBytes = 0;
    double m_dEarlierSeconds = 0;
    uint64_t m_qwLengths = 0;  // the lengths announced so far, and their count
    int m_nLengths = 0;
    int m_nStartedEntry = 0;  // the entry whose transfer started last
};

// What the line shows.
struct ProgressFigures {
    int nPercent = 0;  // of the whole run
    uint64_t qwReceived = 0;
    uint64_t qwLength = 0;  // 0: no file is being received
    std::optional<double> rate;
    std::optional<double> secondsLeft;
};

// "[#####     ]  50%  3.2/6.4 MiB  1.1 MiB/s  0:03 left", at most nColumns - 1
// characters wide (the last column would wrap on some terminals): the bar
// narrows, then goes, then the rate, the bytes and the time left. Without a bar
// (bBar false) all the figures as a plain line, for a log.
std::string FormatProgressLine(const ProgressFigures& figures, int nColumns, bool bBar);

// "512 B", "300 KiB", "7.5 MiB": three figures at most.
std::string FormatBytes(uint64_t qwBytes);

}  // namespace corvana
