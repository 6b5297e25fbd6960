// Stand-ins for an update run's surroundings: a patch server that is a folder,
// and a front end that records the run's intents.
#pragma once

#include <algorithm>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "net/fetcher.h"
#include "run/run_view.h"

namespace corvana::test {

// Serves the files of a folder as the patch server below any host: a URL's
// path after its last "/corvana/" (or its last "/") names the file. A missing
// file answers HTTP 404; bodies arrive in chunks of nChunk bytes.
class FolderFetcher : public Fetcher {
public:
    explicit FolderFetcher(std::filesystem::path folder) : m_folder(std::move(folder)) {}

    bool bInternet = true;      // OpenInternet's answer
    std::size_t nChunk = 4096;  // bytes per ReadChunk
    std::vector<std::string> requests;
    std::function<void(const std::string& url)> onOpen;  // before each request is served

    bool OpenInternet() override { return bInternet; }
    uint32_t OpenUrl(const char* pszUrl) override;
    uint32_t ReadChunk() override;
    std::string DownloadToMemory(const char* pszUrl) override;
    bool CloseUrl() override { return true; }
    bool CloseInternet() override { return true; }
    DownloadFailure GetFailure() const override { return m_failure; }
    const std::string& GetFailureDetail() const override { return m_detail; }
    int GetHttpStatus() const override { return m_nStatus; }
    std::string_view GetBody() const override {
        return std::string_view(m_body).substr(0, m_nReceived);
    }

private:
    std::filesystem::path m_folder;
    std::string m_body;
    std::size_t m_nReceived = 0;
    DownloadFailure m_failure = DownloadFailure::NONE;
    std::string m_detail;
    int m_nStatus = 0;
};

// Records each intent as one line: "status TEXT", "size TEXT", "range N",
// "progress N", "ask FOLDER", "end-choice", "box CAPTION|TEXT", "why CAUSE",
// "exit-only", "close".
class RecordingView : public RunView {
public:
    std::vector<std::string> calls;

    bool Has(const std::string& call) const {
        return std::find(calls.begin(), calls.end(), call) != calls.end();
    }
    // The calls that start with prefix, the prefix dropped.
    std::vector<std::string> Of(const std::string& prefix) const;

    void ShowStatus(const std::string& text) override { calls.push_back("status " + text); }
    void SetProgressRange(int nUnits) override {
        calls.push_back("range " + std::to_string(nUnits));
    }
    void ShowProgress(const RunProgress& progress) override {
        calls.push_back("progress " + std::to_string(progress.nUnits));
    }
    void ShowSizeLine(const std::string& text) override {
        calls.push_back("size " + text);
        if (onSizeLine) onSizeLine(text);
    }
    void AskInstallFolder(const std::string& folder) override { calls.push_back("ask " + folder); }
    void EndInstallChoice() override { calls.push_back("end-choice"); }
    void ShowErrorBox(const std::string& text, const std::string& caption) override {
        calls.push_back("box " + caption + "|" + text);
    }
    void ExplainFailure(const std::string& cause) override { calls.push_back("why " + cause); }
    void Note(const std::string& note) override { calls.push_back("note " + note); }
    void OfferExitOnly() override { calls.push_back("exit-only"); }
    void Close() override { calls.push_back("close"); }

    std::function<void(const std::string&)> onSizeLine;
};

}  // namespace corvana::test
