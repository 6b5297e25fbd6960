// Stand-ins for an update run's surroundings: a patch server that is a folder,
// and a front end that records the run's intents.
#pragma once

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
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
    // Before a streamed request is served, and before each of its chunks.
    std::function<void(const std::string& url, const RangeRequest& range)> onStream;
    std::function<void(const std::string& url, uint64_t nAt)> onChunk;
    // Streamed bodies: what names their version, whether a range is served,
    // and connections cut after this many bytes of a response (that many times).
    std::string validator = "\"v1\"";
    bool bRanges = true;
    uint64_t nCutAfter = 0;
    int nCuts = 0;
    std::vector<uint64_t> ranges;         // the first byte each streamed request was served from
    std::size_t nMemoryLimit = SIZE_MAX;  // longer bodies are refused by OpenUrl
    uint64_t nClaimedTotal = 0;           // a streamed body's announced length (0: its own)
    // Requests for URLs that start with a key fail so; NONE: the body is served
    // with its last byte changed.
    std::map<std::string, DownloadFailure> hostFaults;

    bool OpenInternet() override { return bInternet; }
    Expected<uint32_t, TransferError> OpenUrl(const char* pszUrl) override;
    Expected<uint32_t, TransferError> ReadChunk() override;
    Expected<StreamStart, TransferError> OpenStream(const char* pszUrl, const RangeRequest& range,
                                                    BodySink& sink) override;
    Expected<std::string, TransferError> DownloadToMemory(const char* pszUrl) override;
    bool CloseUrl() override { return true; }
    bool CloseInternet() override { return true; }
    std::string_view GetBody() const override {
        return std::string_view(m_body).substr(0, m_nReceived);
    }

private:
    // Loads the file the URL names as the current body.
    Expected<uint32_t, TransferError> Load(const char* pszUrl);

    std::filesystem::path m_folder;
    std::string m_body;
    std::size_t m_nReceived = 0;
    BodySink* m_pSink = nullptr;  // a streamed body's, from m_nReceived on
    uint64_t m_nCutAt = 0;        // where the current response breaks, 0: never
    std::size_t m_nEnd = 0;       // where the current response ends
};

// Records each intent as one line: "status TEXT", "size TEXT", "range N",
// "progress N", "ask FOLDER", "end-choice", "box CAPTION|TEXT", "why CAUSE",
// "exit-only", "close".
class RecordingView : public RunView {
public:
    std::vector<std::string> calls;
    // Called with each intent as it is recorded (a test may throw from it).
    std::function<void(const std::string& call)> onCall;
    std::function<void(const std::string&)> onSizeLine;

    bool Has(const std::string& call) const {
        return std::find(calls.begin(), calls.end(), call) != calls.end();
    }
    // The calls that start with prefix, the prefix dropped.
    std::vector<std::string> Of(const std::string& prefix) const;

    void ShowStatus(const std::string& text) override { Record("status " + text); }
    void SetProgressRange(int nUnits) override { Record("range " + std::to_string(nUnits)); }
    void ShowProgress(const RunProgress& progress) override {
        Record("progress " + std::to_string(progress.nUnits));
    }
    void ShowSizeLine(const std::string& text) override {
        Record("size " + text);
        if (onSizeLine) onSizeLine(text);
    }
    void AskInstallFolder(const std::string& folder) override { Record("ask " + folder); }
    void EndInstallChoice() override { Record("end-choice"); }
    void ShowErrorBox(const std::string& text, const std::string& caption) override {
        Record("box " + caption + "|" + text);
    }
    void ExplainFailure(const std::string& cause) override { Record("why " + cause); }
    void Note(const std::string& note) override { Record("note " + note); }
    void OfferExitOnly() override { Record("exit-only"); }
    void Close() override { Record("close"); }

private:
    void Record(std::string call) {
        calls.push_back(std::move(call));
        if (onCall) onCall(calls.back());
    }
};

}  // namespace corvana::test
