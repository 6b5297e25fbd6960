// A panel that records every operation on its controls, in order.
#pragma once

#include <string>
#include <vector>

#include "app/panel_view.h"

namespace corvana::test {

class FakeWindow : public PanelControls {
public:
    std::vector<std::string> calls;  // e.g. "text 1001 ...", "show 1007", "box caption|text"

    void SetItemText(int nId, const std::string& text) override {
        calls.push_back("text " + std::to_string(nId) + " " + text);
    }
    void ShowItem(int nId, bool bShow) override {
        calls.push_back((bShow ? "show " : "hide ") + std::to_string(nId));
    }
    void SetProgressRange(int nMin, int nMax) override {
        calls.push_back("range " + std::to_string(nMin) + " " + std::to_string(nMax));
    }
    void SetProgressPos(int nPos) override { calls.push_back("pos " + std::to_string(nPos)); }
    void ClearConfirmExit() override { calls.push_back("clear-confirm"); }
    void ShowErrorBox(const std::string& text, const std::string& caption) override {
        calls.push_back("box " + caption + "|" + text);
    }
    void PostClose() override { calls.push_back("close"); }
};

}  // namespace corvana::test
