#include "support/fake_run.h"

#include <fstream>
#include <sstream>

namespace corvana::test {

uint32_t FolderFetcher::OpenUrl(const char* pszUrl) {
    requests.emplace_back(pszUrl);
    if (onOpen) onOpen(pszUrl);
    const std::string url = pszUrl;
    std::size_t nAt = url.rfind("/corvana/");
    nAt = nAt == std::string::npos ? url.rfind('/') + 1 : nAt + 9;
    m_body.clear();
    m_nReceived = 0;
    m_failure = DownloadFailure::NONE;
    m_nStatus = 200;
    std::ifstream file(m_folder / url.substr(nAt), std::ios::binary);
    if (!file) {
        m_failure = DownloadFailure::HTTP_STATUS;
        m_nStatus = 404;
        return 0;
    }
    std::ostringstream text;
    text << file.rdbuf();
    m_body = text.str();
    return static_cast<uint32_t>(m_body.size());
}

uint32_t FolderFetcher::ReadChunk() {
    const std::size_t nTaken = std::min(nChunk, m_body.size() - m_nReceived);
    m_nReceived += nTaken;
    return static_cast<uint32_t>(nTaken);
}

std::string FolderFetcher::DownloadToMemory(const char* pszUrl) {
    if (OpenUrl(pszUrl) == 0) return {};
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
