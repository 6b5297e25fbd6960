#include "app/panel_view.h"

#include "platform/text_table.h"

namespace corvana {

void PanelView::ShowStatus(const std::string& text) { m_controls.SetItemText(IDC_STATUS, text); }

void PanelView::SetProgressRange(int nUnits) { m_controls.SetProgressRange(0, nUnits); }

void PanelView::ShowProgress(const RunProgress& progress) {
    m_controls.SetProgressPos(progress.nUnits);
}

void PanelView::ShowSizeLine(const std::string& text) { m_controls.SetItemText(IDC_SIZE, text); }

void PanelView::AskInstallFolder(const std::string&) {
    // The path field holds the default folder since the window opened.
    m_controls.SetItemText(IDC_BROWSE, LoadText(IDS_BROWSE));
    m_controls.SetItemText(IDC_INSTALL, LoadText(IDS_INSTALL_NOW));
    m_controls.SetItemText(IDC_EXIT, LoadText(IDS_EXIT));
    ShowChoice(true);
}

void PanelView::EndInstallChoice() { ShowChoice(false); }

void PanelView::ShowChoice(bool bChoice) {
    for (int nId : {IDC_PROGRESS, IDC_SIZE}) m_controls.ShowItem(nId, !bChoice);
    for (int nId : {IDC_INSTALL_PATH, IDC_BROWSE, IDC_INSTALL, IDC_EXIT}) {
        m_controls.ShowItem(nId, bChoice);
    }
}

void PanelView::ShowErrorBox(const std::string& text, const std::string& caption) {
    m_controls.ShowErrorBox(text, caption);
}

void PanelView::OfferExitOnly() {
    m_controls.ClearConfirmExit();
    m_controls.ShowItem(IDC_EXIT, true);
}

void PanelView::Close() { m_controls.PostClose(); }

}  // namespace corvana
