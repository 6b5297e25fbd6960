// The desktop window on Linux: the updater's caption-less panel in GTK 3, laid
// out as the Windows panel (its dialog units scaled so that the banner keeps its
// pixels). Every request of the run is carried out on the GTK main thread while
// the run's thread waits; the close request is posted without waiting.
#pragma once

#include <gtk/gtk.h>

#include <atomic>
#include <functional>
#include <map>
#include <mutex>
#include <string>

#include "app/dialog_logic.h"
#include "app/front_end.h"
#include "app/panel_view.h"
#include "app/program_shell.h"

namespace corvana {

class GtkPanel;

// The panel's view on the desktop. Why the run fails goes to standard error, for
// the log of whatever started the program, and into the window, where a player
// sees it: under the text of the box that follows, or under the status when the
// run ends with the Exit button. Used from the run's thread only.
class DesktopView : public PanelView {
public:
    explicit DesktopView(GtkPanel& panel);
    void ShowErrorBox(const std::string& text, const std::string& caption) override;
    void ExplainFailure(const std::string& cause) override;
    // On standard error only: the run goes on.
    void Note(const std::string& note) override;
    void OfferExitOnly() override;

private:
    GtkPanel& m_panel;
    std::string m_strCause;  // the last cause, until a box or the Exit button shows it
};

class GtkPanel : public PanelControls, public FrontEnd {
public:
    // *pInterrupted (Ctrl-C in the terminal that started the program, SIGTERM),
    // when given, is Exit without the question.
    explicit GtkPanel(UpdateRun& run, std::atomic<bool>* pInterrupted = nullptr);
    ~GtkPanel() override;
    GtkPanel(const GtkPanel&) = delete;
    GtkPanel& operator=(const GtkPanel&) = delete;

    // FrontEnd. The panel is made, run and destroyed on the main thread: it is
    // shown, onShown called, and the main loop run until the panel ends.
    RunView& View() override { return m_view; }
    DialogLogic& Logic() override { return m_logic; }
    void RunUntilClosed(const std::function<void()>& onShown) override;
    void End() override;
    // Brings the panel to the front; from any thread, without waiting.
    void Raise() override;

    // PanelControls, called from the run's thread.
    void SetItemText(int nId, const std::string& text) override;
    void ShowItem(int nId, bool bShow) override;
    void SetProgressRange(int nMin, int nMax) override;
    void SetProgressPos(int nPos) override;
    void ClearConfirmExit() override;
    void ShowErrorBox(const std::string& text, const std::string& caption) override;
    void PostClose() override;
    // The box with detail (English) as its secondary text.
    void ShowErrorBox(const std::string& text, const std::string& caption,
                      const std::string& detail);
    // Why the run failed, in the size line's place (whole in its tooltip).
    void ShowCause(const std::string& cause);

private:
    void Build();
    // Carries out request on the main thread and waits for it; nothing once the
    // panel has ended.
    void Request(const std::function<void()>& request);
    void UpdateProgress();
    void OnExit();
    void OnBrowse();
    void OnInstallNow();
    bool OnButtonPress(GdkEventButton* pEvent);
    bool OnKeyPress(GdkEventKey* pEvent);

    DialogLogic m_logic;
    std::atomic<bool>* m_pInterrupted;
    DesktopView m_view{*this};
    GtkWidget* m_pWindow = nullptr;
    std::map<int, GtkWidget*> m_items;  // the controls by id
    int m_nProgressMin = 0;
    int m_nProgressMax = 100;
    int m_nProgressPos = 0;
    std::string m_strDefaultFolder;
    std::mutex m_mutex;
    bool m_bEnded = false;  // under m_mutex: requests do nothing any more
    GMainLoop* m_pLoop = nullptr;
};

// Opens the display; false when there is none to open.
bool OpenDisplay(int& argc, char**& argv);

}  // namespace corvana
