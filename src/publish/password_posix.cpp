#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include "publish/password.h"

namespace corvana {

Expected<std::string> AskPassword(const std::string& prompt) {
    const int fd = open("/dev/tty", O_RDWR | O_CLOEXEC);
    if (fd < 0) return Failure{{}, "no terminal to ask for the password on (give --password-file)"};
    termios saved{};
    const bool bTerminal = tcgetattr(fd, &saved) == 0;
    if (bTerminal) {
        termios quiet = saved;
        quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        tcsetattr(fd, TCSAFLUSH, &quiet);
    }
    [[maybe_unused]] const ssize_t nShown = write(fd, prompt.data(), prompt.size());
    std::string password;
    for (char c; read(fd, &c, 1) == 1 && c != '\n';) password += c;
    if (bTerminal) tcsetattr(fd, TCSAFLUSH, &saved);
    [[maybe_unused]] const ssize_t nLine = write(fd, "\n", 1);
    close(fd);
    if (!password.empty() && password.back() == '\r') password.pop_back();
    return password;
}

}  // namespace corvana
