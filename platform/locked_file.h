// Files that several writers share line by line, and files that must never
// replace another. Implemented once per backend (posix/, win32/).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace platform {

// A file held open under a lock that other holders, in this process or
// another, wait for until it is closed: exclusive for appending, shared for
// reading. The lock goes with the object.
class LockedFile {
public:
    enum class Mode {
        Append,  // read and append, created when absent; exclusive lock
        Read,    // read only, must exist; shared lock
    };

    LockedFile() = default;
    ~LockedFile();
    LockedFile(LockedFile&& other) noexcept;
    LockedFile& operator=(LockedFile&& other) noexcept;
    LockedFile(const LockedFile&) = delete;
    LockedFile& operator=(const LockedFile&) = delete;

    // Opens `path` and waits for the lock; on failure *error says why.
    bool open(const std::string& path, Mode mode, std::string* error);
    bool size(uint64_t* bytes, std::string* error);
    // Exactly `length` bytes from `offset`.
    bool readAt(uint64_t offset, char* data, std::size_t length, std::string* error);
    // All of `bytes` at the end of the file, on the disk before it returns.
    bool append(std::string_view bytes, std::string* error);
    // Unlocks and closes now.
    void close();

private:
    std::intptr_t handle_ = -1;
};

enum class NewFile { Created, Exists, Failed };

// Creates `path` holding `bytes`, never replacing a file that is there
// (Exists). With ownerOnly nobody but the file's owner may read or write it.
// A file that could not be written whole is removed again.
NewFile createNewFile(const std::string& path, std::string_view bytes, bool ownerOnly, std::string* error);

}  // namespace platform
