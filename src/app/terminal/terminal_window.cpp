#include "app/terminal/terminal_window.h"

#include <cstdio>

#include "res/resource.h"

namespace corvana {

namespace {

// The received count of a size line "1,234 / 5,678 bytes", digits only.
uint64_t ReceivedBytes(const std::string& sizeLine) {
    uint64_t nValue = 0;
    for (char c : sizeLine.substr(0, sizeLine.find(" / "))) {
        if (c >= '0' && c <= '9') nValue = nValue * 10 + static_cast<uint64_t>(c - '0');
    }
    return nValue;
}

std::string Duration(double dSeconds) {
    const long nSeconds = static_cast<long>(dSeconds + 0.5);
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
    const int nPercent = m_nRangeMax > 0 ? static_cast<int>(100LL * m_nPos / m_nRangeMax) : 0;
    std::string line = "\r\033[K[" + std::string(static_cast<std::size_t>(nPercent / 5), '#') +
                       std::string(static_cast<std::size_t>(20 - nPercent / 5), ' ') + "] " +
                       std::to_string(nPercent) + "%  " + m_strSize;
    const uint64_t nBytes = ReceivedBytes(m_strSize);
    const double dSeconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - m_transferStart).count();
    if (dSeconds > 0.2 && nBytes > m_nFirstBytes) {
        const double dRate = static_cast<double>(nBytes - m_nFirstBytes) / dSeconds;
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

void TerminalWindow::SetItemText(int nId, const std::string& text) {
    std::lock_guard lock(m_mutex);
    if (m_bEnded) return;
    if (nId == IDC_STATUS && text != m_strStatus) {
        m_strStatus = text;
        ClearProgressLocked();
        std::fprintf(m_pOut, "%s\n", text.c_str());
        std::fflush(m_pOut);
        DrawProgressLocked();
    } else if (nId == IDC_SIZE) {
        if (m_strSize.empty() || ReceivedBytes(text) < ReceivedBytes(m_strSize)) {
            m_transferStart = std::chrono::steady_clock::now();  // a new file
            m_nFirstBytes = ReceivedBytes(text);
        }
        m_strSize = text;
        DrawProgressLocked();
    }
}

void TerminalWindow::ShowItem(int nId, bool bShow) {
    std::lock_guard lock(m_mutex);
    if (m_bEnded) return;
    if (nId == IDC_INSTALL_PATH) {
        m_bChoiceShown = bShow;
        m_bChoiceReported = false;
        m_wake.notify_all();
    } else if (nId == IDC_EXIT && bShow && !m_bChoiceShown) {
        ClearProgressLocked();
        std::fprintf(m_pOut, "(Ctrl-C: exit now)\n");
        std::fflush(m_pOut);
    }
}

void TerminalWindow::SetProgressRange(int, int nMax) {
    std::lock_guard lock(m_mutex);
    if (!m_bEnded) m_nRangeMax = nMax;
}

void TerminalWindow::SetProgressPos(int nPos) {
    std::lock_guard lock(m_mutex);
    if (m_bEnded) return;
    m_nPos = nPos;
    DrawProgressLocked();
}

void TerminalWindow::ClearConfirmExit() {
    std::lock_guard lock(m_mutex);
    if (!m_bEnded) m_logic.m_bConfirmExit = 0;
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

void TerminalWindow::PostClose() {
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

void TerminalWindow::Say(const std::string& text) {
    std::lock_guard lock(m_mutex);
    ClearProgressLocked();
    std::fputs(text.c_str(), m_pOut);
    std::fflush(m_pOut);
}

}  // namespace corvana
