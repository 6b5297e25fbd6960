// The plain-text log of a run (--log FILE): each line the local time, a kind and
// a text: the window's texts, the requests' URLs, the failures and the ending.
#pragma once

#include <cstdio>
#include <mutex>
#include <string>

#include "platform/failure.h"
#include "run/run_view.h"

namespace corvana {

class RunLog {
public:
    RunLog() = default;
    ~RunLog();
    RunLog(const RunLog&) = delete;
    RunLog& operator=(const RunLog&) = delete;

    // Opens the log, appending to what it holds (readable by its owner alone,
    // when made).
    Result Open(const std::string& path);
    bool IsOpen() const { return m_pFile != nullptr; }
    // Adds "2026-12-08 10:53:13.123  kind  text"; does nothing while not open.
    void Write(const char* pszKind, const std::string& text);

private:
    std::mutex m_mutex;
    std::FILE* m_pFile = nullptr;
};

// A front end that also writes what it is told into a log.
class LoggedView : public RunView {
public:
    LoggedView(RunView& view, RunLog& log) : m_view(view), m_log(log) {}

    void ShowStatus(const std::string& text) override;
    void SetProgressRange(int nUnits) override { m_view.SetProgressRange(nUnits); }
    void ShowProgress(const RunProgress& progress) override { m_view.ShowProgress(progress); }
    void ShowSizeLine(const std::string& text) override { m_view.ShowSizeLine(text); }
    void AskInstallFolder(const std::string& defaultFolder) override;
    void EndInstallChoice() override { m_view.EndInstallChoice(); }
    void ShowErrorBox(const std::string& text, const std::string& caption) override;
    void ExplainFailure(const std::string& cause) override;
    void NoteRequest(const std::string& url) override;
    void Note(const std::string& note) override;
    void OfferExitOnly() override { m_view.OfferExitOnly(); }
    void Close() override { m_view.Close(); }

private:
    RunView& m_view;
    RunLog& m_log;
};

// The arguments with the client's login id left out, for a log.
std::string WithoutLoginId(const std::string& arguments);

}  // namespace corvana
