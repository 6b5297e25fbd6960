#include "support/fake_run.h"

#include <fstream>
#include <sstream>

namespace corvana::test {

Expected<uint32_t, TransferError> FolderFetcher::OpenUrl(const char* pszUrl) {
    const Expected<uint32_t, TransferError> loaded = Load(pszUrl);
    if (loaded && *loaded > nMemoryLimit) {
        return TransferError{DownloadFailure::REFUSED_LENGTH, 0, "above the test's limit"};
    }
    return loaded;
}

Expected<uint32_t, TransferError> FolderFetcher::Load(const char* pszUrl) {
    requests.emplace_back(pszUrl);
    if (onOpen) onOpen(pszUrl);
    const std::string url = pszUrl;
    std::size_t nAt = url.rfind("/corvana/");
    nAt = nAt == std::string::npos ? url.rfind('/') + 1 : nAt + 9;
    m_body.clear();
    m_nReceived = 0;
    m_pSink = nullptr;
    m_nCutAt = 0;
    m_nEnd = 0;
    bool bChanged = false;
    for (const auto& [prefix, fault] : hostFaults) {
        if (!url.starts_with(prefix)) continue;
        if (fault != DownloadFailure::NONE) return TransferError{fault, 0, "a fault of the test"};
        bChanged = true;
    }
    std::ifstream file(m_folder / url.substr(nAt), std::ios::binary);
    if (!file) return TransferError{DownloadFailure::HTTP_STATUS, 404, {}};
    std::ostringstream text;
    text << file.rdbuf();
    m_body = text.str();
    if (bChanged && !m_body.empty()) m_body.back() = static_cast<char>(m_body.back() ^ 1);
    m_nEnd = m_body.size();
    return static_cast<uint32_t>(m_body.size());
}

Expected<StreamStart, TransferError> FolderFetcher::OpenStream(const char* pszUrl,
                                                               const RangeRequest& range,
                                                               BodySink& sink) {
    const Expected<uint32_t, TransferError> opened = Load(pszUrl);
    if (!opened) return opened.GetFailure();
    if (onStream) onStream(pszUrl, range);
    const bool bPart = bRanges && range.IsPart() && range.validator == validator &&
                       range.nFrom < m_body.size() && range.nTo <= m_body.size();
    ranges.push_back(bPart ? range.nFrom : 0);
    m_nReceived = bPart ? static_cast<std::size_t>(range.nFrom) : 0;
    m_nEnd = bPart && range.nTo > 0 ? static_cast<std::size_t>(range.nTo) : m_body.size();
    m_pSink = &sink;
    if (nCuts > 0) {
        --nCuts;
        m_nCutAt = m_nReceived + nCutAfter;
    }
    return StreamStart{m_nReceived, nClaimedTotal != 0 ? nClaimedTotal : m_body.size(), validator};
}

Expected<uint32_t, TransferError> FolderFetcher::ReadChunk() {
    if (onChunk && m_pSink != nullptr) onChunk(requests.back(), m_nReceived);
    std::size_t nTaken = std::min(nChunk, std::max(m_nEnd, m_nReceived) - m_nReceived);
    if (m_nCutAt != 0) {
        if (m_nReceived >= m_nCutAt) {
            return TransferError{DownloadFailure::CONNECTION_LOST, 0, "cut by the test"};
        }
        nTaken = std::min<std::size_t>(nTaken, static_cast<std::size_t>(m_nCutAt - m_nReceived));
    }
    if (m_pSink != nullptr) {
        m_pSink->Append(m_body.data() + m_nReceived, static_cast<uint32_t>(nTaken));
    }
    m_nReceived += nTaken;
    return static_cast<uint32_t>(nTaken);
}

Expected<std::string, TransferError> FolderFetcher::DownloadToMemory(const char* pszUrl) {
    const Expected<uint32_t, TransferError> opened = OpenUrl(pszUrl);
    if (!opened) return opened.GetFailure();
    m_nReceived = m_body.size();
    return std::string(m_body.c_str());  // the text ends at the first zero byte
}

std::vector<std::string> RecordingView::Of(const std::string& prefix) const {
    std::vector<std::string> found;
    for (const std::string& call : calls) {
        if (call.starts_with(prefix)) found.push_back(call.substr(prefix.size()));
    }
    return found;
}

}  // namespace corvana::test
