// Everything the update run does to the window. Each call made from the run's
// thread is carried out on the window's thread while the run waits; only the
// close request is posted without waiting. Once the window has ended, calls do
// nothing.
#pragma once

#include <string>

namespace corvana {

class UpdaterWindow {
public:
    virtual ~UpdaterWindow() = default;

    virtual void SetItemText(int nId, const std::string& text) = 0;
    virtual void ShowItem(int nId, bool bShow) = 0;
    virtual void SetProgressRange(int nMin, int nMax) = 0;
    virtual void SetProgressPos(int nPos) = 0;
    // After a failure Exit closes the window without asking.
    virtual void ClearConfirmExit() = 0;
    // A modal box owned by the window with one OK button and the exclamation icon;
    // returns when the user has confirmed it.
    virtual void ShowErrorBox(const std::string& text, const std::string& caption) = 0;
    // Asks the window to close (WM_CLOSE): it ends like Cancel.
    virtual void PostClose() = 0;
};

}  // namespace corvana
