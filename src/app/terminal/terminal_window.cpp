#include "app/terminal/terminal_window.h"

#include "platform/text_table.h"

#include <algorithm>
#include <cstdio>

namespace corvana {

namespace {

// A live line is redrawn at most this often, and a plain one printed at least
// this often while the run goes on.
constexpr auto REDRAW_INTERVAL = std::chrono::milliseconds(100);
constexpr auto PLAIN_INTERVAL = std::chrono::seconds(5);

}  // namespace

TerminalWindow::TerminalWindow(DialogLogic& logic, std::FILE* pOut, ProgressStyle style,
                               bool bInteractive)
    : m_logic(logic), m_pOut(pOut), m_style(style), m_bInteractive(bInteractive) {}

void TerminalWindow::ClearProgressLocked() {
    if (m_nDrawnLength == 0) return;
    if (m_style == ProgressStyle::LIVE) {
        std::fputs("\r\033[K", m_pOut);
    } else {
        std::fprintf(m_pOut, "\r%*s\r", static_cast<int>(m_nDrawnLength), "");
    }
    m_nDrawnLength = 0;
}

void TerminalWindow::PrintLineLocked(const std::string& text) {
    if (m_bQuestionOpen) {
        m_heldLines.push_back(text);
        return;
    }
    ClearProgressLocked();
    std::fprintf(m_pOut, "%s\n", text.c_str());
    std::fflush(m_pOut);
    DrawProgressLocked(true);
}

void TerminalWindow::DrawProgressLocked(bool bForce) {
    if (m_style == ProgressStyle::NONE || m_bQuestionOpen || m_nRangeMax <= 0 ||
        m_progress.nEntry == 0) {
        return;
    }
    const auto now = std::chrono::steady_clock::now();
    const ProgressFigures figures{static_cast<int>(100LL * m_progress.nUnits / m_nRangeMax),
                                  m_progress.qwReceived, m_progress.qwLength, m_meter.Rate(),
                                  m_meter.SecondsLeft()};
    if (m_style == ProgressStyle::PLAIN) {
        // A log gets a line at each tenth of the run, and one every few seconds.
        const int nTenth = figures.nPercent / 10;
        if (nTenth == m_nLastTenth && now - m_lastDrawn < PLAIN_INTERVAL) return;
        m_nLastTenth = nTenth;
        m_lastDrawn = now;
        std::fprintf(m_pOut, "%s\n", FormatProgressLine(figures, 0, false).c_str());
        std::fflush(m_pOut);
        return;
    }
    if (!bForce && now - m_lastDrawn < REDRAW_INTERVAL) return;
    m_lastDrawn = now;
    const std::string line = FormatProgressLine(figures, m_nColumns, true);
    if (m_style == ProgressStyle::LIVE) {
        std::fprintf(m_pOut, "\r\033[K%s", line.c_str());
    } else {
        // What is left of a longer line before is overwritten with spaces.
        const int nPad = static_cast<int>(m_nDrawnLength) - static_cast<int>(line.size());
        std::fprintf(m_pOut, "\r%s%*s", line.c_str(), std::max(nPad, 0), "");
        if (nPad > 0) std::fprintf(m_pOut, "\r%s", line.c_str());
    }
    std::fflush(m_pOut);
    m_nDrawnLength = std::max<std::size_t>(line.size(), 1);
}

void TerminalWindow::ShowStatus(const std::string& text) {
    std::lock_guard lock(m_mutex);
    if (m_bEnded || text == m_strStatus) return;
    if (m_bChoiceAnswered && text == LoadText(IDS_CHOOSE_PATH)) return;
    m_strStatus = text;
    PrintLineLocked(text);
}

void TerminalWindow::SetProgressRange(int nUnits) {
    std::lock_guard lock(m_mutex);
    if (!m_bEnded) m_nRangeMax = nUnits;
}

void TerminalWindow::ShowProgress(const RunProgress& progress) {
    std::lock_guard lock(m_mutex);
    if (m_bEnded) return;
    m_meter.Update(progress, std::chrono::steady_clock::now());
    const bool bNewEntry = progress.nEntry != m_progress.nEntry;
    m_progress = progress;
    DrawProgressLocked(bNewEntry);
}

// The progress line shows the bytes in its own units.
void TerminalWindow::ShowSizeLine(const std::string&) {}

void TerminalWindow::AskInstallFolder(const std::string& defaultFolder) {
    std::lock_guard lock(m_mutex);
    if (m_bEnded) return;
    m_strDefaultFolder = defaultFolder;
    m_bChoiceShown = true;
    m_bChoiceReported = false;
    m_wake.notify_all();
}

void TerminalWindow::EndInstallChoice() {
    std::lock_guard lock(m_mutex);
    if (!m_bEnded) m_bChoiceShown = false;
}

void TerminalWindow::ExplainFailure(const std::string& cause) {
    std::lock_guard lock(m_mutex);
    if (m_bEnded) return;
    ClearProgressLocked();
    std::fflush(m_pOut);
    std::fprintf(stderr, "corvana-updater: %s\n", cause.c_str());
}

void TerminalWindow::OfferExitOnly() {
    std::lock_guard lock(m_mutex);
    if (m_bEnded) return;
    m_logic.ClearConfirmExit();
    if (!m_bChoiceShown) PrintLineLocked(LoadText(IDS_EXIT_NOW_HINT));
}

void TerminalWindow::ShowErrorBox(const std::string& text, const std::string& caption) {
    std::unique_lock lock(m_mutex);
    if (m_bEnded) return;
    ClearProgressLocked();
    std::fprintf(m_pOut, "%s: %s\n", caption.c_str(), text.c_str());
    std::fflush(m_pOut);
    if (m_bInteractive) {
        // Modal, as the box is: the run waits until it is confirmed.
        std::fputs(LoadText(IDS_PRESS_ENTER).c_str(), m_pOut);
        std::fflush(m_pOut);
        lock.unlock();
        int c;
        while ((c = std::getchar()) != EOF && c != '\n') {
        }
    }
}

void TerminalWindow::Close() {
    std::lock_guard lock(m_mutex);
    if (m_bEnded) return;
    m_bCloseRequested = true;
    m_wake.notify_all();
}

TerminalWindow::Event TerminalWindow::WaitForEvent(std::chrono::milliseconds timeout) {
    std::unique_lock lock(m_mutex);
    m_wake.wait_for(lock, timeout,
                    [&] { return m_bCloseRequested || (m_bChoiceShown && !m_bChoiceReported); });
    if (m_bCloseRequested) return Event::CLOSE;
    if (m_bChoiceShown && !m_bChoiceReported) {
        m_bChoiceReported = true;
        return Event::CHOICE;
    }
    return Event::NONE;
}

void TerminalWindow::End() {
    std::lock_guard lock(m_mutex);
    ClearProgressLocked();
    std::fflush(m_pOut);
    m_bEnded = true;
}

std::string TerminalWindow::ChoiceDefault() {
    std::lock_guard lock(m_mutex);
    return m_strDefaultFolder;
}

void TerminalWindow::Say(const std::string& text) {
    std::lock_guard lock(m_mutex);
    ClearProgressLocked();
    std::fputs(text.c_str(), m_pOut);
    std::fflush(m_pOut);
    DrawProgressLocked(true);
}

void TerminalWindow::Ask(const std::string& question) {
    std::lock_guard lock(m_mutex);
    ClearProgressLocked();
    m_bQuestionOpen = true;
    std::fputs(question.c_str(), m_pOut);
    std::fflush(m_pOut);
}

void TerminalWindow::Answered() {
    std::lock_guard lock(m_mutex);
    m_bQuestionOpen = false;
    for (const std::string& line : m_heldLines) std::fprintf(m_pOut, "%s\n", line.c_str());
    m_heldLines.clear();
    std::fflush(m_pOut);
    if (!m_bEnded) DrawProgressLocked(true);
}

void TerminalWindow::SetColumns(int nColumns) {
    std::lock_guard lock(m_mutex);
    m_nColumns = nColumns;
    if (m_bEnded || m_nDrawnLength == 0) return;
    ClearProgressLocked();
    DrawProgressLocked(true);
}

}  // namespace corvana
