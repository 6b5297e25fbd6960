// What the update run tells its front end, in intents. Each call made from the
// run's thread is carried out on the window's thread while the run waits; only
// the close request is posted without waiting. Once the window has ended, calls
// do nothing.
#pragma once

#include <cstdint>
#include <string>

namespace corvana {

// Where the run stands: entry i of m, this file's bytes, and the bar's position.
struct RunProgress {
    int nEntry = 0;           // the entry being installed, from 1; 0 before the first
    int nEntries = 0;         // how many entries the run installs
    uint64_t qwReceived = 0;  // bytes of this entry's file received so far
    uint64_t qwLength = 0;    // its announced length; 0 while no file is fetched
    int nUnits = 0;           // the progress bar's position
};

class RunView {
public:
    virtual ~RunView() = default;

    // The status line.
    virtual void ShowStatus(const std::string& text) = 0;
    // The progress bar's range, from 0 to nUnits.
    virtual void SetProgressRange(int nUnits) = 0;
    virtual void ShowProgress(const RunProgress& progress) = 0;
    // The size line ("received / length bytes"); empty clears it.
    virtual void ShowSizeLine(const std::string& text) = 0;
    // Offers the installation choice, the default folder preset; the answer comes
    // back through the run's control methods while the run waits for it.
    virtual void AskInstallFolder(const std::string& defaultFolder) = 0;
    // The choice is over: the transfer's progress and size line come back.
    virtual void EndInstallChoice() = 0;
    // A modal box owned by the window with one OK button and the exclamation icon;
    // returns when the user has confirmed it.
    virtual void ShowErrorBox(const std::string& text, const std::string& caption) = 0;
    // Why the run is about to fail, in one English line for a log or a terminal's
    // error stream (the Windows panel shows only the run's own texts).
    virtual void ExplainFailure(const std::string& cause) = 0;
    // The URL of each request, as it is sent, for a log; the panels show none.
    virtual void NoteRequest(const std::string& /*url*/) {}
    // What the run wants known beside its texts (a delta that did not fit and the
    // full archive fetched instead; what a repair found), in one English line for
    // a log or an error stream.
    virtual void Note(const std::string& /*note*/) {}
    // After a failure: Exit is shown and closes the window without asking.
    virtual void OfferExitOnly() = 0;
    // Asks the window to close; it ends like Cancel.
    virtual void Close() = 0;
};

}  // namespace corvana
