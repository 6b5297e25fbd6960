#include "app/linux/run_log.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <ctime>

#include "launch/launch.h"
#include "platform/files.h"

namespace corvana {

RunLog::~RunLog() {
    if (m_pFile != nullptr) std::fclose(m_pFile);
}

Result RunLog::Open(const std::string& path) {
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    if (fd >= 0) m_pFile = fdopen(fd, "a");
    if (m_pFile == nullptr) {
        Failure failure = SystemFailure(path);
        if (fd >= 0) close(fd);
        return failure;
    }
    return {};
}

void RunLog::Write(const char* pszKind, const std::string& text) {
    std::lock_guard lock(m_mutex);
    if (m_pFile == nullptr) return;
    const auto now = std::chrono::system_clock::now();
    const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
    const long nMillis = static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() %
        1000);
    std::tm local{};
    localtime_r(&seconds, &local);
    char szTime[32];
    std::strftime(szTime, sizeof szTime, "%Y-%m-%d %H:%M:%S", &local);
    // One record a line: a text of several lines is joined with blanks.
    std::string line = text;
    std::replace(line.begin(), line.end(), '\n', ' ');
    std::fprintf(m_pFile, "%s.%03ld  %-7s %s\n", szTime, nMillis, pszKind, line.c_str());
    std::fflush(m_pFile);
}

void LoggedView::ShowStatus(const std::string& text) {
    m_log.Write("status", text);
    m_view.ShowStatus(text);
}

void LoggedView::AskInstallFolder(const std::string& defaultFolder) {
    m_log.Write("choice", "installation folder asked for; offered " + defaultFolder);
    m_view.AskInstallFolder(defaultFolder);
}

void LoggedView::ShowErrorBox(const std::string& text, const std::string& caption) {
    m_log.Write("box", caption + ": " + text);
    m_view.ShowErrorBox(text, caption);
}

void LoggedView::ExplainFailure(const std::string& cause) {
    m_log.Write("failure", cause);
    m_view.ExplainFailure(cause);
}

void LoggedView::Note(const std::string& note) {
    m_log.Write("note", note);
    m_view.Note(note);
}

void LoggedView::NoteRequest(const std::string& url) {
    m_log.Write("get", url);
    m_view.NoteRequest(url);
}

std::string WithoutLoginId(const std::string& arguments) {
    if (LoginPart(arguments).empty()) return arguments;
    const std::size_t nAt = arguments.size() - LoginPart(arguments).size();
    const std::size_t nEnd = arguments.find(' ', nAt);
    return arguments.substr(0, nAt + LOGIN_SWITCH.size()) + "***" +
           (nEnd == std::string::npos ? "" : arguments.substr(nEnd));
}

}  // namespace corvana
