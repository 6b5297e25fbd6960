#include "run/run_screen.h"

#include <algorithm>

#include "platform/number_format.h"
#include "platform/process.h"
#include "platform/text.h"
#include "platform/text_table.h"

namespace corvana {

namespace {

std::string SizeText(uint64_t nReceived, uint64_t nLength) {
    return FormatText("%s / %s bytes", FormatLocaleNumber(std::to_string(nReceived), -1).c_str(),
                      FormatLocaleNumber(std::to_string(nLength), -1).c_str());
}

}  // namespace

void RunScreen::Status(const std::string& text) const { m_pView->ShowStatus(text); }

void RunScreen::Status(int nStringId) const { Status(LoadText(nStringId)); }

void RunScreen::SizeLine(const std::string& text) const { m_pView->ShowSizeLine(text); }

void RunScreen::StartEntries(int nEntries, int nTotal) {
    m_progress = RunProgress{0, nEntries, 0, 0, 0};
    m_nCounterTotal = nTotal;
    m_pView->SetProgressRange(UNITS_PER_ENTRY * nEntries);
}

void RunScreen::TransferBegins(const ManifestEntry& entry) {
    m_bTransferShown = false;
    Show(UNITS_PER_ENTRY * (m_progress.nEntry - 1));
    EntryStatus(entry, IDS_DOWNLOADING);
}

void RunScreen::EntryStatus(const ManifestEntry& entry, int nStringId) const {
    Status(FormatText("[%s] %s (%d/%d)", entry.strLabel.c_str(), LoadText(nStringId).c_str(),
                      m_progress.nEntry, m_nCounterTotal));
}

void RunScreen::EntryStep(const ManifestEntry& entry, int nStringId, int nUnits) {
    EntryStatus(entry, nStringId);
    Show(UNITS_PER_ENTRY * (m_progress.nEntry - 1) + nUnits);
}

void RunScreen::Transfer(uint64_t nReceived, uint64_t nLength) {
    const uint32_t dwNow = GetTickCountMs();
    if (m_bTransferShown && nReceived < nLength && dwNow - m_dwShownAt < TRANSFER_SHOW_MS) return;
    m_bTransferShown = true;
    m_dwShownAt = dwNow;
    const int nBase = UNITS_PER_ENTRY * (m_progress.nEntry - 1);
    // In parts of a thousandth first: the product stays in range for any length.
    const uint64_t nPermille =
        nLength / 1000 == 0 ? nReceived * 1000 / nLength : nReceived / (nLength / 1000);
    Show(nBase + static_cast<int>(TRANSFER_UNITS * std::min<uint64_t>(nPermille, 1000) / 1000),
         nReceived, nLength);
    SizeLine(SizeText(nReceived, nLength));
}

void RunScreen::Bar(int nUnits) { Show(nUnits); }

void RunScreen::AllEntriesDone() { Show(UNITS_PER_ENTRY * m_progress.nEntries); }

void RunScreen::Show(int nUnits, uint64_t nReceived, uint64_t nLength) {
    m_progress.nUnits = nUnits;
    m_progress.qwReceived = nReceived;
    m_progress.qwLength = nLength;
    m_pView->ShowProgress(m_progress);
}

}  // namespace corvana
