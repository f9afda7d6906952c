// Locked and exclusively created files over POSIX descriptors.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>
#include <utility>

#include "platform/locked_file.h"
#include "platform/posix/fd_guard.h"

namespace platform {

namespace {

bool failed(const std::string& what, const std::string& path, std::string* error) {
    *error = "cannot " + what + " " + path + ": " + std::generic_category().message(errno);
    return false;
}

int fdOf(std::intptr_t handle) { return static_cast<int>(handle); }

}  // namespace

LockedFile::~LockedFile() { close(); }

LockedFile::LockedFile(LockedFile&& other) noexcept : handle_(std::exchange(other.handle_, -1)) {}

LockedFile& LockedFile::operator=(LockedFile&& other) noexcept {
    if (this != &other) {
        close();
        handle_ = std::exchange(other.handle_, -1);
    }
    return *this;
}

bool LockedFile::open(const std::string& path, Mode mode, std::string* error) {
    close();
    const bool append = mode == Mode::Append;
    const int flags = append ? O_RDWR | O_CREAT | O_APPEND | O_CLOEXEC : O_RDONLY | O_CLOEXEC;
    FdGuard fd(::open(path.c_str(), flags, 0666));
    if (!fd.valid()) return failed("open", path, error);
    // flock, not fcntl: its lock belongs to the open file, so threads of one
    // process that open the file each exclude the others too.
    int locked;
    do {
        locked = ::flock(fd.get(), append ? LOCK_EX : LOCK_SH);
    } while (locked != 0 && errno == EINTR);
    if (locked != 0) return failed("lock", path, error);
    handle_ = fd.release();
    return true;
}

bool LockedFile::size(uint64_t* bytes, std::string* error) {
    struct stat st {};
    if (::fstat(fdOf(handle_), &st) != 0) return failed("examine", "the file", error);
    *bytes = static_cast<uint64_t>(st.st_size);
    return true;
}

bool LockedFile::readAt(uint64_t offset, char* data, std::size_t length, std::string* error) {
    while (length > 0) {
        const ssize_t n = ::pread(fdOf(handle_), data, length, static_cast<off_t>(offset));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return failed("read", "the file", error);
        if (n == 0) {
            *error = "cannot read the file: it ends early";
            return false;
        }
        data += n;
        length -= static_cast<std::size_t>(n);
        offset += static_cast<uint64_t>(n);
    }
    return true;
}

bool LockedFile::append(std::string_view bytes, std::string* error) {
    if (!writeAll(fdOf(handle_), bytes)) return failed("write", "the file", error);
    if (::fsync(fdOf(handle_)) != 0) return failed("flush", "the file", error);
    return true;
}

void LockedFile::close() {
    // Closing the last descriptor of the open file releases its flock.
    FdGuard fd(fdOf(std::exchange(handle_, -1)));
}

NewFile createNewFile(const std::string& path, std::string_view bytes, bool ownerOnly, std::string* error) {
    FdGuard fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, ownerOnly ? 0600 : 0644));
    if (!fd.valid()) {
        const bool exists = errno == EEXIST;
        failed("create", path, error);
        return exists ? NewFile::Exists : NewFile::Failed;
    }
    if (!writeAll(fd.get(), bytes) || ::fsync(fd.get()) != 0 || !fd.close()) {
        failed("write", path, error);
        ::unlink(path.c_str());
        return NewFile::Failed;
    }
    return NewFile::Created;
}

}  // namespace platform
