// A window the run speaks to: the Win32 dialog, the GTK panel or the terminal.
#pragma once

#include <functional>

#include "app/dialog_logic.h"
#include "run/run_view.h"

namespace corvana {

class FrontEnd {
public:
    virtual ~FrontEnd() = default;

    // The run's view of the window, and the window's logic over the run.
    virtual RunView& View() = 0;
    virtual DialogLogic& Logic() = 0;
    // Runs the window until it ends. onShown is called once, on the window's
    // thread, as soon as the window can take the run's requests.
    virtual void RunUntilClosed(const std::function<void()>& onShown) = 0;
    // The window has ended: from now on the run's requests do nothing.
    virtual void End() = 0;
    // Another updater asked this one to come to the front; from any thread.
    virtual void Raise() = 0;
};

}  // namespace corvana
