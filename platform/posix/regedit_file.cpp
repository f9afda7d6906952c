#include "platform/posix/regedit_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <new>
#include <system_error>

#include "platform/posix/fd_guard.h"

namespace platform {

namespace {

// A registry description is a few kilobytes; anything near this is not one.
constexpr std::size_t kMaxFileBytes = std::size_t{64} << 20;

std::string cannotRead(const std::string& path, const std::string& reason) { return path + ": cannot read: " + reason; }

std::string cannotRead(const std::string& path, int err) {
    return cannotRead(path, std::generic_category().message(err));
}

}  // namespace

bool loadRegeditFile(const std::string& path, RegTree* tree, std::string* error) {
    std::string ignored;
    if (error == nullptr) error = &ignored;
    // Non-blocking, so that a FIFO cannot hold the open until a writer comes.
    const FdGuard fd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (fd.get() < 0) {
        *error = cannotRead(path, errno);
        return false;
    }
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0) {
        *error = cannotRead(path, errno);
        return false;
    }
    if (S_ISDIR(st.st_mode)) {
        *error = cannotRead(path, EISDIR);
        return false;
    }
    if (!S_ISREG(st.st_mode)) {
        *error = cannotRead(path, "not a regular file");
        return false;
    }
    if (static_cast<uint64_t>(st.st_size) > kMaxFileBytes) {
        *error = cannotRead(path, "larger than " + std::to_string(kMaxFileBytes >> 20) + " MiB");
        return false;
    }
    try {
        std::string bytes;
        bytes.reserve(static_cast<std::size_t>(st.st_size));
        char chunk[16384];
        for (;;) {
            const ssize_t got = ::read(fd.get(), chunk, sizeof chunk);
            if (got < 0 && errno == EINTR) continue;
            if (got < 0) {
                *error = cannotRead(path, errno);
                return false;
            }
            if (got == 0) break;
            // The file may grow while it is read.
            if (bytes.size() + static_cast<std::size_t>(got) > kMaxFileBytes) {
                *error = cannotRead(path, "larger than " + std::to_string(kMaxFileBytes >> 20) + " MiB");
                return false;
            }
            bytes.append(chunk, static_cast<std::size_t>(got));
        }
        return parseRegedit(bytes, path, tree, error);
    } catch (const std::bad_alloc&) {
        *error = outOfMemoryError(path);
        return false;
    }
}

}  // namespace platform
