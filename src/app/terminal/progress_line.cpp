#include "app/terminal/progress_line.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace corvana {

namespace {

// Less time than this says nothing about the rate.
constexpr double MIN_MEASURED_SECONDS = 0.2;
constexpr int BAR_WIDTH = 20;
constexpr int MIN_BAR_WIDTH = 5;

std::string Duration(double dSeconds) {
    const long nSeconds = std::lround(dSeconds);
    char szText[32];
    if (nSeconds >= 3600) {
        std::snprintf(szText, sizeof szText, "%ld:%02ld:%02ld", nSeconds / 3600, nSeconds / 60 % 60,
                      nSeconds % 60);
    } else {
        std::snprintf(szText, sizeof szText, "%ld:%02ld", nSeconds / 60, nSeconds % 60);
    }
    return szText;
}

}  // namespace

void TransferMeter::Update(const RunProgress& progress, Clock::time_point now) {
    const Clock::time_point previous = m_now;
    m_now = now;
    const bool bNewFile =
        progress.qwLength != 0 && (progress.nEntry != m_progress.nEntry || !IsReceiving());
    if (IsReceiving() && (bNewFile || progress.qwLength == 0)) EndTransfer();
    if (bNewFile) {
        // The run reports each entry before it requests the file: the transfer
        // began then, with nothing received.
        const bool bAnnounced = !IsReceiving() && progress.nEntry == m_progress.nEntry;
        m_start = bAnnounced ? previous : now;
        m_qwFirstBytes = bAnnounced ? 0 : progress.qwReceived;
        m_qwLengths += progress.qwLength;
        ++m_nLengths;
        m_nStartedEntry = progress.nEntry;
    }
    m_progress = progress;
}

void TransferMeter::EndTransfer() {
    m_qwEarlierBytes += m_progress.qwReceived - m_qwFirstBytes;
    m_dEarlierSeconds += std::chrono::duration<double>(m_now - m_start).count();
    m_progress.qwLength = 0;
}

double TransferMeter::ReceivingSeconds() const {
    return m_dEarlierSeconds +
           (IsReceiving() ? std::chrono::duration<double>(m_now - m_start).count() : 0.0);
}

std::optional<double> TransferMeter::Rate() const {
    const uint64_t qwBytes =
        m_qwEarlierBytes + (IsReceiving() ? m_progress.qwReceived - m_qwFirstBytes : 0);
    const double dSeconds = ReceivingSeconds();
    if (dSeconds < MIN_MEASURED_SECONDS || qwBytes == 0) return std::nullopt;
    return static_cast<double>(qwBytes) / dSeconds;
}

std::optional<double> TransferMeter::SecondsLeft() const {
    const std::optional<double> rate = Rate();
    if (!rate || m_nLengths == 0) return std::nullopt;
    const double dMeanLength = static_cast<double>(m_qwLengths) / m_nLengths;
    // The current file's rest, and the files whose transfer has not started.
    double dBytesLeft = std::max(m_progress.nEntries - m_nStartedEntry, 0) * dMeanLength;
    if (IsReceiving()) {
        dBytesLeft += static_cast<double>(m_progress.qwLength - m_progress.qwReceived);
    }
    return dBytesLeft / *rate;
}

namespace {

struct Amount {
    double dValue;
    const char* pszUnit;
};

constexpr uint64_t KIB = 1024;
constexpr uint64_t MIB = 1024 * KIB;

Amount InUnits(uint64_t qwBytes) {
    if (qwBytes < KIB) return {static_cast<double>(qwBytes), "B"};
    if (qwBytes < MIB) return {static_cast<double>(qwBytes) / KIB, "KiB"};
    return {static_cast<double>(qwBytes) / MIB, "MiB"};
}

// Three figures at most: "7.5", "128", "512".
std::string Figure(const Amount& amount) {
    char szText[32];
    const bool bTenths = amount.dValue < 10 && amount.pszUnit[0] != 'B';
    std::snprintf(szText, sizeof szText, bTenths ? "%.1f" : "%.0f", amount.dValue);
    return szText;
}

}  // namespace

std::string FormatBytes(uint64_t qwBytes) {
    const Amount amount = InUnits(qwBytes);
    return Figure(amount) + " " + amount.pszUnit;
}

std::string FormatProgressLine(const ProgressFigures& figures, int nColumns, bool bBar) {
    const int nPercent = std::clamp(figures.nPercent, 0, 100);
    // The figures in reading order; an empty one is not shown.
    enum { PERCENT, BYTES, RATE, LEFT, PARTS };
    std::string parts[PARTS] = {std::to_string(nPercent) + "%"};
    if (figures.qwLength != 0) {
        const Amount received = InUnits(figures.qwReceived);
        const bool bSameUnit = received.pszUnit == InUnits(figures.qwLength).pszUnit;
        parts[BYTES] = (bSameUnit ? Figure(received) : FormatBytes(figures.qwReceived)) + "/" +
                       FormatBytes(figures.qwLength);
    }
    if (figures.rate) parts[RATE] = FormatBytes(std::llround(*figures.rate)) + "/s";
    if (figures.secondsLeft && nPercent < 100) {
        parts[LEFT] = Duration(*figures.secondsLeft) + " left";
    }
    auto join = [&] {
        std::string text;
        for (const std::string& part : parts) {
            if (!part.empty()) text += (text.empty() ? "" : "  ") + part;
        }
        return text;
    };
    if (!bBar) return join();
    // On a narrow terminal the rate goes first, then the bytes, then the time left.
    const int nRoom = nColumns - 1;
    std::string text = join();
    for (int nDropped : {RATE, BYTES, LEFT}) {
        if (static_cast<int>(text.size()) <= nRoom) break;
        parts[nDropped].clear();
        text = join();
    }
    // The bar takes what the figures leave, up to its full width.
    const int nBar = std::min(BAR_WIDTH, nRoom - static_cast<int>(text.size()) - 4);
    if (nBar >= MIN_BAR_WIDTH) {
        const int nFilled = nBar * nPercent / 100;
        text = "[" + std::string(static_cast<std::size_t>(nFilled), '#') +
               std::string(static_cast<std::size_t>(nBar - nFilled), ' ') + "]  " + text;
    }
    if (nRoom > 0 && text.size() > static_cast<std::size_t>(nRoom)) {
        text.resize(static_cast<std::size_t>(nRoom));
    }
    return text;
}

}  // namespace corvana
