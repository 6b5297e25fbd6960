// The updater's panel as controls: the status line, the progress bar, the size
// line and, for the installation choice, the path field with Browse, Install and
// Exit. PanelView turns the run's intents into the exact control operations of
// the panel, so that any front end built from these controls behaves alike.
#pragma once

#include "run/run_view.h"

namespace corvana {

// The operations a panel of controls offers, addressed by control id.
class PanelControls {
public:
    virtual ~PanelControls() = default;

    virtual void SetItemText(int nId, const std::string& text) = 0;
    virtual void ShowItem(int nId, bool bShow) = 0;
    virtual void SetProgressRange(int nMin, int nMax) = 0;
    virtual void SetProgressPos(int nPos) = 0;
    // After a failure Exit closes the window without asking.
    virtual void ClearConfirmExit() = 0;
    virtual void ShowErrorBox(const std::string& text, const std::string& caption) = 0;
    // Posts the close request (WM_CLOSE) without waiting.
    virtual void PostClose() = 0;
};

class PanelView : public RunView {
public:
    explicit PanelView(PanelControls& controls) : m_controls(controls) {}

    void ShowStatus(const std::string& text) override;
    void SetProgressRange(int nUnits) override;
    void ShowProgress(const RunProgress& progress) override;
    void ShowSizeLine(const std::string& text) override;
    void AskInstallFolder(const std::string& defaultFolder) override;
    void EndInstallChoice() override;
    void ShowErrorBox(const std::string& text, const std::string& caption) override;
    void ExplainFailure(const std::string&) override {}
    void OfferExitOnly() override;
    void Close() override;

private:
    // Shows the installation choice's controls and hides the transfer's, or back.
    void ShowChoice(bool bChoice);

    PanelControls& m_controls;
};

}  // namespace corvana
