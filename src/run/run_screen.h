// What a run shows in its window: the status line, the size line, the bar, and
// each entry's status "[label] step (number/total)".
#pragma once

#include <cstdint>
#include <string>

#include "run/manifest.h"
#include "run/run_view.h"

namespace corvana {

// The bar's units of each entry, of which its transfer takes the first TRANSFER_UNITS.
inline constexpr int UNITS_PER_ENTRY = 512;
inline constexpr int TRANSFER_UNITS = 500;
// A transfer's bar and size line change at most this often (and at its first
// and last byte): a window's updates cost far more than a chunk of a fast link.
inline constexpr uint32_t TRANSFER_SHOW_MS = 50;

class RunScreen {
public:
    void SetView(RunView* pView) { m_pView = pView; }
    RunView& View() const { return *m_pView; }

    void Status(const std::string& text) const;
    void Status(int nStringId) const;
    void SizeLine(const std::string& text) const;

    // The bar over nEntries entries, at 0; an entry's status counts up to nTotal.
    void StartEntries(int nEntries, int nTotal);
    // The next entry's turn.
    void NextEntry() { ++m_progress.nEntry; }
    // Its file's transfer begins: the bar at the entry's first unit, its status "downloading".
    void TransferBegins(const ManifestEntry& entry);
    int EntryNumber() const { return m_progress.nEntry; }
    // The entry's status with step's text (a string id), then the bar nUnits into the entry.
    void EntryStep(const ManifestEntry& entry, int nStringId, int nUnits);
    void EntryStatus(const ManifestEntry& entry, int nStringId) const;
    // The transfer of the entry's file: the bar, and the size line "received / length bytes".
    void Transfer(uint64_t nReceived, uint64_t nLength);
    // The bar at an absolute place (a check of its own: nUnits of the range it set).
    void Bar(int nUnits);
    // The bar full, after the last entry.
    void AllEntriesDone();

private:
    void Show(int nUnits, uint64_t nReceived = 0, uint64_t nLength = 0);

    RunView* m_pView = nullptr;
    RunProgress m_progress;
    int m_nCounterTotal = 0;        // the number after the slash in an entry's status
    bool m_bTransferShown = false;  // the current transfer has been shown once
    uint32_t m_dwShownAt = 0;       // and when it was last shown (a tick count)
};

}  // namespace corvana
