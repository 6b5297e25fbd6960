#include "app/terminal/terminal_window.h"

#include <cmath>
#include <cstdio>

namespace corvana {

namespace {

std::string Duration(double dSeconds) {
    const long nSeconds = std::lround(dSeconds);
    char szText[32];
    std::snprintf(szText, sizeof szText, "%ld:%02ld", nSeconds / 60, nSeconds % 60);
    return szText;
}

}  // namespace

TerminalWindow::TerminalWindow(DialogLogic& logic, std::FILE* pOut, bool bTerminal,
                               bool bInteractive)
    : m_logic(logic), m_pOut(pOut), m_bTerminal(bTerminal), m_bInteractive(bInteractive) {}

void TerminalWindow::ClearProgressLocked() {
    if (m_bProgressDrawn) std::fputs("\r\033[K", m_pOut);
    m_bProgressDrawn = false;
}

void TerminalWindow::DrawProgressLocked() {
    if (!m_bTerminal || m_strSize.empty()) return;
    const int nPercent =
        m_nRangeMax > 0 ? static_cast<int>(100LL * m_progress.nUnits / m_nRangeMax) : 0;
    std::string line = "\r\033[K[" + std::string(static_cast<std::size_t>(nPercent / 5), '#') +
                       std::string(static_cast<std::size_t>(20 - nPercent / 5), ' ') + "] " +
                       std::to_string(nPercent) + "%  " + m_strSize;
    const uint32_t dwBytes = m_progress.dwReceived;
    const double dSeconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - m_transferStart).count();
    if (dSeconds > 0.2 && dwBytes > m_dwFirstBytes) {
        const double dRate = static_cast<double>(dwBytes - m_dwFirstBytes) / dSeconds;
        char szRate[48];
        std::snprintf(szRate, sizeof szRate, "  %.1f MiB/s", dRate / 1048576.0);
        line += szRate;
        if (nPercent > 0 && nPercent < 100) {
            line += "  " + Duration(dSeconds * (100 - nPercent) / nPercent) + " left";
        }
    }
    std::fputs(line.c_str(), m_pOut);
    std::fflush(m_pOut);
    m_bProgressDrawn = true;
}

void TerminalWindow::ShowStatus(const std::string& text) {
    std::lock_guard lock(m_mutex);
    if (m_bEnded || text == m_strStatus) return;
    m_strStatus = text;
    ClearProgressLocked();
    std::fprintf(m_pOut, "%s\n", text.c_str());
    std::fflush(m_pOut);
    DrawProgressLocked();
}

void TerminalWindow::SetProgressRange(int nUnits) {
    std::lock_guard lock(m_mutex);
    if (!m_bEnded) m_nRangeMax = nUnits;
}

void TerminalWindow::ShowProgress(const RunProgress& progress) {
    std::lock_guard lock(m_mutex);
    if (m_bEnded) return;
    const bool bNewTransfer = progress.dwLength != 0 &&
                              (progress.nEntry != m_progress.nEntry || m_progress.dwLength == 0);
    if (bNewTransfer) {
        m_transferStart = std::chrono::steady_clock::now();
        m_dwFirstBytes = progress.dwReceived;
    }
    m_progress = progress;
    DrawProgressLocked();
}

void TerminalWindow::ShowSizeLine(const std::string& text) {
    std::lock_guard lock(m_mutex);
    if (m_bEnded) return;
    m_strSize = text;
    DrawProgressLocked();
}

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
    if (m_bChoiceShown) return;
    ClearProgressLocked();
    std::fprintf(m_pOut, "(Ctrl-C: exit now)\n");
    std::fflush(m_pOut);
}

void TerminalWindow::ShowErrorBox(const std::string& text, const std::string& caption) {
    std::unique_lock lock(m_mutex);
    if (m_bEnded) return;
    ClearProgressLocked();
    std::fprintf(m_pOut, "%s: %s\n", caption.c_str(), text.c_str());
    std::fflush(m_pOut);
    if (m_bInteractive) {
        // Modal, as the box is: the run waits until it is confirmed.
        std::fputs("[Enter]", m_pOut);
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

bool TerminalWindow::HasEnded() {
    std::lock_guard lock(m_mutex);
    return m_bEnded;
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
}

}  // namespace corvana
