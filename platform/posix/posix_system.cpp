#include "platform/posix/posix_system.h"

#include <errno.h>
#include <fcntl.h>
#include <pwd.h>
#include <sys/random.h>
#include <sys/utsname.h>
#include <time.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "platform/posix/fd_guard.h"
#include "platform/posix/posix_serial.h"

namespace platform {

namespace {

uint32_t errorFor(int err) { return err == EEXIST ? kErrFileExists : win32ErrorForOpenErrno(err); }

std::string folderOf(const std::string& path) {
    const std::size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

}  // namespace

std::string PosixSystem::hostName() {
    utsname names{};
    return ::uname(&names) == 0 ? names.nodename : "";
}

std::string PosixSystem::loginName() {
    // The account behind the process, as id(1) names it; getlogin needs a terminal.
    std::vector<char> buffer(16384);
    passwd entry{};
    passwd* found = nullptr;
    if (::getpwuid_r(::geteuid(), &entry, buffer.data(), buffer.size(), &found) == 0 && found != nullptr)
        return found->pw_name;
    const char* user = std::getenv("USER");
    return user != nullptr ? user : "";
}

int64_t PosixSystem::utcMilliseconds() {
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

bool PosixSystem::randomBytes(uint8_t* data, std::size_t length) {
    while (length > 0) {
        const ssize_t n = ::getrandom(data, length, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        data += n;
        length -= static_cast<std::size_t>(n);
    }
    return true;
}

uint32_t PosixSystem::publishFile(const std::string& path, std::string_view bytes) {
    const std::string temporary = path + ".tmp";
    FdGuard file(::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644));
    if (!file.valid()) return errorFor(errno);
    const bool written = writeAll(file.get(), bytes) && ::fsync(file.get()) == 0;
    const int writeError = errno;
    if (!file.close() || !written) {
        ::unlink(temporary.c_str());
        return errorFor(written ? EIO : writeError);
    }
    // link, unlike rename, fails when the name is taken.
    const int linked = ::link(temporary.c_str(), path.c_str());
    const int linkError = errno;
    ::unlink(temporary.c_str());
    if (linked != 0) return errorFor(linkError);
    FdGuard folder(::open(folderOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (folder.valid()) ::fsync(folder.get());
    return kErrSuccess;
}

}  // namespace platform
