#include "platform/posix/posix_terminal.h"

#include <errno.h>
#include <poll.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>

#include "platform/posix/files.h"

namespace platform {

bool PosixTerminal::interactive(Stream stream) {
    const char* term = std::getenv("TERM");
    if (term == nullptr || *term == '\0' || std::strcmp(term, "dumb") == 0) return false;
    return ::isatty(stream == Stream::Err ? STDERR_FILENO : STDOUT_FILENO) == 1;
}

bool PosixTerminal::inputInteractive() { return ::isatty(STDIN_FILENO) == 1; }

LineRead PosixTerminal::readLine(uint32_t timeoutMs, std::string* line) {
    const Deadline deadline = deadlineIn(std::chrono::milliseconds(timeoutMs));
    line->clear();
    for (;;) {
        const int left = msLeft(deadline);
        if (left == 0) return LineRead::TimedOut;
        pollfd p{STDIN_FILENO, POLLIN, 0};
        const int ready = ::poll(&p, 1, left);
        if (ready < 0 && errno == EINTR) continue;
        if (ready < 0) return LineRead::Closed;
        if (ready == 0) return LineRead::TimedOut;
        char c = 0;
        const ssize_t n = ::read(STDIN_FILENO, &c, 1);
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        if (n <= 0) return LineRead::Closed;
        if (c == '\n') {
            if (!line->empty() && line->back() == '\r') line->pop_back();
            return LineRead::Line;
        }
        *line += c;
    }
}

}  // namespace platform
