// Locked and exclusively created files over Win32 handles.
#include <windows.h>

#include <system_error>
#include <utility>
#include <vector>

#include "platform/locked_file.h"

namespace platform {

namespace {

bool failed(const std::string& what, const std::string& path, std::string* error) {
    *error = "cannot " + what + " " + path + ": " + std::system_category().message(static_cast<int>(GetLastError()));
    return false;
}

HANDLE handleOf(std::intptr_t handle) { return reinterpret_cast<HANDLE>(handle); }

// The lock is on one byte far beyond any data: Windows locks are mandatory,
// and a lock on the data would make readers that do not lock fail.
constexpr DWORD kLockOffsetHigh = 0x7FFFFFFF;
constexpr DWORD kLockOffsetLow = 0xFFFFFFF0;

OVERLAPPED lockPosition() {
    OVERLAPPED at{};
    at.Offset = kLockOffsetLow;
    at.OffsetHigh = kLockOffsetHigh;
    return at;
}

bool writeAll(HANDLE file, std::string_view bytes) {
    while (!bytes.empty()) {
        const DWORD chunk = bytes.size() > 0x40000000 ? 0x40000000 : static_cast<DWORD>(bytes.size());
        DWORD written = 0;
        if (!WriteFile(file, bytes.data(), chunk, &written, nullptr) || written == 0) return false;
        bytes.remove_prefix(written);
    }
    return true;
}

// A DACL that lets only the current user in, not inherited from the folder.
class OwnerOnly {
public:
    bool build() {
        HANDLE token = nullptr;
        if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return false;
        DWORD size = 0;
        GetTokenInformation(token, TokenUser, nullptr, 0, &size);
        user_.resize(size);
        const bool got = size > 0 && GetTokenInformation(token, TokenUser, user_.data(), size, &size);
        CloseHandle(token);
        if (!got) return false;
        PSID sid = reinterpret_cast<TOKEN_USER*>(user_.data())->User.Sid;
        acl_.resize(sizeof(ACL) + sizeof(ACCESS_ALLOWED_ACE) + GetLengthSid(sid));
        PACL acl = reinterpret_cast<PACL>(acl_.data());
        return InitializeAcl(acl, static_cast<DWORD>(acl_.size()), ACL_REVISION) &&
               AddAccessAllowedAce(acl, ACL_REVISION, FILE_ALL_ACCESS, sid) &&
               InitializeSecurityDescriptor(&descriptor_, SECURITY_DESCRIPTOR_REVISION) &&
               SetSecurityDescriptorDacl(&descriptor_, TRUE, acl, FALSE) &&
               SetSecurityDescriptorControl(&descriptor_, SE_DACL_PROTECTED, SE_DACL_PROTECTED);
    }
    SECURITY_ATTRIBUTES* attributes() {
        attributes_.nLength = sizeof attributes_;
        attributes_.lpSecurityDescriptor = &descriptor_;
        attributes_.bInheritHandle = FALSE;
        return &attributes_;
    }

private:
    std::vector<unsigned char> user_, acl_;
    SECURITY_DESCRIPTOR descriptor_{};
    SECURITY_ATTRIBUTES attributes_{};
};

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
    HANDLE file = CreateFileA(path.c_str(), append ? GENERIC_READ | GENERIC_WRITE : GENERIC_READ,
                              FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, append ? OPEN_ALWAYS : OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return failed("open", path, error);
    OVERLAPPED at = lockPosition();
    if (!LockFileEx(file, append ? LOCKFILE_EXCLUSIVE_LOCK : 0, 0, 1, 0, &at)) {
        failed("lock", path, error);
        CloseHandle(file);
        return false;
    }
    handle_ = reinterpret_cast<std::intptr_t>(file);
    return true;
}

bool LockedFile::size(uint64_t* bytes, std::string* error) {
    LARGE_INTEGER size{};
    if (!GetFileSizeEx(handleOf(handle_), &size)) return failed("examine", "the file", error);
    *bytes = static_cast<uint64_t>(size.QuadPart);
    return true;
}

bool LockedFile::readAt(uint64_t offset, char* data, std::size_t length, std::string* error) {
    while (length > 0) {
        OVERLAPPED at{};
        at.Offset = static_cast<DWORD>(offset);
        at.OffsetHigh = static_cast<DWORD>(offset >> 32);
        const DWORD chunk = length > 0x40000000 ? 0x40000000 : static_cast<DWORD>(length);
        DWORD got = 0;
        if (!ReadFile(handleOf(handle_), data, chunk, &got, &at)) return failed("read", "the file", error);
        if (got == 0) {
            *error = "cannot read the file: it ends early";
            return false;
        }
        data += got;
        length -= got;
        offset += got;
    }
    return true;
}

bool LockedFile::append(std::string_view bytes, std::string* error) {
    const LARGE_INTEGER none{};
    if (!SetFilePointerEx(handleOf(handle_), none, nullptr, FILE_END) || !writeAll(handleOf(handle_), bytes))
        return failed("write", "the file", error);
    if (!FlushFileBuffers(handleOf(handle_))) return failed("flush", "the file", error);
    return true;
}

void LockedFile::close() {
    const std::intptr_t handle = std::exchange(handle_, -1);
    if (handle == -1) return;
    OVERLAPPED at = lockPosition();
    UnlockFileEx(handleOf(handle), 0, 1, 0, &at);
    CloseHandle(handleOf(handle));
}

NewFile createNewFile(const std::string& path, std::string_view bytes, bool ownerOnly, std::string* error) {
    OwnerOnly security;
    if (ownerOnly && !security.build()) {
        failed("protect", path, error);
        return NewFile::Failed;
    }
    HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, ownerOnly ? security.attributes() : nullptr, CREATE_NEW,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        const DWORD why = GetLastError();
        failed("create", path, error);
        return why == ERROR_FILE_EXISTS || why == ERROR_ALREADY_EXISTS ? NewFile::Exists : NewFile::Failed;
    }
    const bool whole = writeAll(file, bytes) && FlushFileBuffers(file);
    if (!whole) failed("write", path, error);
    const bool closed = CloseHandle(file);
    if (whole && !closed) failed("write", path, error);
    if (!whole || !closed) {
        DeleteFileA(path.c_str());
        return NewFile::Failed;
    }
    return NewFile::Created;
}

}  // namespace platform
