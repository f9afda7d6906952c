// The operating-system interface of hwds and voriridod.
//
// Everything above this layer is portable C++. Each need has one small
// interface shaped after the Windows calls the algorithms were written for,
// keeping Windows semantics where the algorithms depend on them: Win32 error
// codes, "ask a value's size without a buffer", "fail when the data does not
// fit". One backend per system implements them (posix/, win32/); tests swap
// in fakes through ScopedServices.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace platform {

// Each service hands out handles of its own type, so that giving one
// service's handle to another does not compile. The value is the system's
// own (a Windows HANDLE or HKEY, a descriptor), in an integer wide enough for
// a pointer.
enum class KeyHandle : std::intptr_t {};
enum class PortHandle : std::intptr_t {};
enum class MutexHandle : std::intptr_t {};
enum class LibraryHandle : std::intptr_t {};

inline constexpr KeyHandle kNoKey{};
inline constexpr PortHandle kInvalidPort{-1};  // INVALID_HANDLE_VALUE
inline constexpr MutexHandle kNoMutex{};
inline constexpr LibraryHandle kNoLibrary{};

// The system's value behind a handle, and back; for backends and fakes only.
template <class H>
constexpr std::intptr_t rawHandle(H handle) {
    return static_cast<std::intptr_t>(handle);
}
template <class H>
constexpr H makeHandle(std::intptr_t value) {
    return static_cast<H>(value);
}
// A backend's own object as a handle, and back.
template <class H, class T>
H handleFor(T* object) {
    return makeHandle<H>(reinterpret_cast<std::intptr_t>(object));
}
template <class T, class H>
T* objectOf(H handle) {
    return reinterpret_cast<T*>(rawHandle(handle));
}

// Win32 error codes that callers distinguish.
inline constexpr uint32_t kErrSuccess = 0;
inline constexpr uint32_t kErrFileNotFound = 2;
inline constexpr uint32_t kErrAccessDenied = 5;
inline constexpr uint32_t kErrInvalidHandle = 6;
inline constexpr uint32_t kErrNotReady = 21;
inline constexpr uint32_t kErrGenFailure = 31;
inline constexpr uint32_t kErrSharingViolation = 32;
inline constexpr uint32_t kErrLockViolation = 33;
inline constexpr uint32_t kErrDevNotExist = 55;
inline constexpr uint32_t kErrFileExists = 80;
inline constexpr uint32_t kErrInvalidParameter = 87;
inline constexpr uint32_t kErrMoreData = 234;
inline constexpr uint32_t kErrNoMoreItems = 259;

// What a wait for the adapter driver's data to change came to.
enum class ChangeWait {
    Changed,      // they may have changed: read them again
    TimedOut,     // nothing changed in time, or a signal cut the wait short
    Unsupported,  // this view cannot tell; read again now and then instead
    Failed,       // the watch could not be set up or broke
};

// Read-only view of HKEY_LOCAL_MACHINE.
class Registry {
public:
    virtual ~Registry() = default;
    // Opens `path` (backslash-separated, below HKEY_LOCAL_MACHINE, letter case
    // ignored) for reading. Returns a Win32 error; *key is set on success.
    virtual uint32_t openKey(const char* path, KeyHandle* key) = 0;
    // RegQueryValueExA: with `data` null only *size is set. Otherwise the raw
    // data is copied when it fits in *size bytes, else kErrMoreData. *size
    // receives the data's size either way. A text value's data includes its
    // terminating zero as stored; nothing is added.
    virtual uint32_t queryValue(KeyHandle key, const char* name, uint8_t* data, uint32_t* size) = 0;
    // RegEnumValueA without the data: the name of the key's index-th value,
    // terminated, into name[0..*nameSize). On success *nameSize is the
    // name's length; kErrMoreData when it does not fit, kErrNoMoreItems past
    // the last value.
    virtual uint32_t enumValue(KeyHandle key, uint32_t index, char* name, uint32_t* nameSize) = 0;
    virtual uint32_t closeKey(KeyHandle key) = 0;
    // Why the registry cannot be read at all, naming what failed, or empty.
    // Such a registry behaves as an empty one, so callers that must not take
    // it for a machine without the driver ask here first.
    virtual std::string unavailableReason() { return {}; }
    // Waits at most timeoutMs for the adapter driver's data (its service key,
    // Enum and what lies below, the devices' parameters, SERIALCOMM) to
    // change. The first call starts the watch and returns Changed at once, so
    // the caller reads the data after the watch began and misses nothing;
    // each later call returns Changed for whatever changed since the previous
    // one returned, which may be a change that left the data as they were.
    // For one waiter at a time.
    virtual ChangeWait waitForChange(uint32_t timeoutMs) {
        static_cast<void>(timeoutMs);
        return ChangeWait::Unsupported;
    }
};

// The line settings the serial connection touches (a DCB's core).
struct LineSettings {
    uint32_t baudRate = 0;
    uint8_t byteSize = 0;
    uint8_t parity = 0;    // 0 = no parity
    uint8_t stopBits = 0;  // 0 = one stop bit
};

inline constexpr uint32_t kPurgeTxAbort = 0x1;
inline constexpr uint32_t kPurgeRxAbort = 0x2;
inline constexpr uint32_t kPurgeTxClear = 0x4;
inline constexpr uint32_t kPurgeRxClear = 0x8;

// A reply that has not arrived in full this long after the read began never
// will: a healthy device answers within a few milliseconds, and a silent one
// must not hold the operator for long.
inline constexpr uint32_t kSerialReadTimeoutMs = 1000;
// The least time to look for a byte that nobody asked for after the last
// reply (a slower link gets longer): a USB adapter holds a byte up to its
// 1 ms latency timer.
inline constexpr uint32_t kSerialLateByteMs = 1;

// What a port path puts before the port's name: "\\.\" of "\\.\COM5".
inline constexpr char kPortPathPrefix[] = "\\\\.\\";

class SerialPorts {
public:
    virtual ~SerialPorts() = default;
    // Opens a Win32 device path such as "\\.\COM5" for reading and writing,
    // exclusively. Returns kErrSuccess with *port set, or a Win32 error with
    // *port = kInvalidPort.
    virtual uint32_t open(const char* path, PortHandle* port) = 0;
    virtual bool getSettings(PortHandle port, LineSettings* settings) = 0;
    // Applies the settings and keeps the line binary-transparent.
    virtual bool setSettings(PortHandle port, const LineSettings& settings) = 0;
    virtual bool purge(PortHandle port, uint32_t flags) = 0;
    virtual bool write(PortHandle port, const uint8_t* data, uint32_t length, uint32_t* written) = 0;
    // Waits until `length` bytes have arrived or kSerialReadTimeoutMs has
    // passed (on a port whose settings were set); *got tells how many were
    // stored. False only on an error.
    virtual bool read(PortHandle port, uint8_t* data, uint32_t length, uint32_t* got) = 0;
    // As read, waiting at most timeoutMs (ReadTotalTimeoutConstant on Windows).
    virtual bool readFor(PortHandle port, uint8_t* data, uint32_t length, uint32_t timeoutMs, uint32_t* got) = 0;
    virtual bool close(PortHandle port) = 0;
    // The system's own name for the device behind a port path ("/dev/ttyUSB0"
    // for "\\.\COM5"), for showing to people; empty when the backend cannot
    // tell.
    virtual std::string deviceNode(const char* path) {
        static_cast<void>(path);
        return {};
    }
};

enum class WaitResult { Acquired, Abandoned, Failed };

// Unnamed, process-local mutexes, re-entrant for their holder.
class Mutexes {
public:
    virtual ~Mutexes() = default;
    virtual MutexHandle create() = 0;  // kNoMutex when the system refuses
    virtual WaitResult wait(MutexHandle mutex) = 0;
    virtual bool release(MutexHandle mutex) = 0;
    virtual bool close(MutexHandle mutex) = 0;
};

class Clock {
public:
    virtual ~Clock() = default;
    virtual uint32_t tickCount() = 0;  // milliseconds, wraps at 2^32
    virtual void sleep(uint32_t ms) = 0;
};

// A library's entry point before it is given its own type, as FARPROC is.
using Proc = void (*)();

// Driver libraries, named as on Windows ("tmdrv32.dll"). A library is never
// taken from the current directory unless the system's search includes it.
class Libraries {
public:
    virtual ~Libraries() = default;
    virtual LibraryHandle load(const char* name) = 0;                  // kNoLibrary on failure
    virtual Proc symbol(LibraryHandle library, const char* name) = 0;  // null when absent
    virtual bool free(LibraryHandle library) = 0;
};

// The entry point `name` of `library` as a function of type Fn, or null.
template <class Fn>
Fn resolve(Libraries& libraries, LibraryHandle library, const char* name) {
    return reinterpret_cast<Fn>(libraries.symbol(library, name));
}

// Zero-filled memory from the process heap, as HeapAlloc with HEAP_ZERO_MEMORY.
class Heap {
public:
    virtual ~Heap() = default;
    virtual void* allocate(std::size_t bytes) = 0;  // null when refused
    virtual void release(void* block) = 0;
};

enum class Stream { Out, Err };

class Console {
public:
    virtual ~Console() = default;
    // A Windows-1251 text as the console shows it.
    virtual std::string convert(std::string_view cp1251) = 0;
    // Writes converted bytes; returns the number of characters written, or
    // -1 on failure.
    virtual int write(Stream stream, std::string_view bytes) = 0;
};

enum class LineRead { Line, TimedOut, Closed };

// What an interactive front end needs of the terminal it runs in. Backends
// without one leave Services::terminal null, which front ends take as "no
// person at the keyboard".
class Terminal {
public:
    virtual ~Terminal() = default;
    // Whether the stream is a terminal that a person watches and that honours
    // the VT100 sequences for moving the cursor and clearing a line.
    virtual bool interactive(Stream stream) = 0;
    // Whether standard input is a terminal a person types at.
    virtual bool inputInteractive() = 0;
    // One line from standard input, without its line end, if it arrives
    // within timeoutMs; Closed at end of input or on an error.
    virtual LineRead readLine(uint32_t timeoutMs, std::string* line) = 0;
    // Standard output from now on carries bytes unchanged (no newline
    // translation), for binary data; false when that cannot be had.
    virtual bool binaryOutput() = 0;
};

// What a record of work needs to know of the system it ran on, and a way to
// leave such a record that no crash tears and no second record overwrites.
class System {
public:
    virtual ~System() = default;
    // The computer's name and the name the user logged in with, UTF-8; empty
    // when the system cannot tell.
    virtual std::string hostName() = 0;
    virtual std::string loginName() = 0;
    // Milliseconds since 1970-01-01 00:00 UTC.
    virtual int64_t utcMilliseconds() = 0;
    // Bytes from the system's cryptographic generator; false when it failed.
    virtual bool randomBytes(uint8_t* data, std::size_t length) = 0;
    // Writes `bytes` to a new file beside `path`, flushes it to the disk and
    // gives it the name `path` only if no file has that name: kErrSuccess,
    // kErrFileExists when one has (nothing is left behind), or another Win32
    // error. A crash leaves the whole file under `path` or none.
    virtual uint32_t publishFile(const std::string& path, std::string_view bytes) = 0;
};

// Ctrl+C and its kin (SIGINT and SIGTERM; Ctrl+Break on Windows) for a
// program that winds down on its own instead of being ended.
class Interrupts {
public:
    virtual ~Interrupts() = default;
    // From now on, for the rest of the process, an interrupt is counted
    // rather than ending it; false when the system refused.
    virtual bool catchInterrupts() = 0;
    // Interrupts counted so far.
    virtual uint32_t count() = 0;
};

struct Services {
    Registry* registry = nullptr;
    SerialPorts* serial = nullptr;
    Mutexes* mutexes = nullptr;
    Clock* clock = nullptr;
    Libraries* libraries = nullptr;
    Console* console = nullptr;
    Heap* heap = nullptr;
    Terminal* terminal = nullptr;
    System* system = nullptr;
    Interrupts* interrupts = nullptr;
};

// The system's own services; they live until the process ends.
Services native();

// The services in force: native until a ScopedServices replaces some.
const Services& current();

// Installs replacements (null members keep what is in force) for the life of
// the guard. Not thread-safe: install before starting threads.
class ScopedServices {
public:
    explicit ScopedServices(const Services& replacements);
    ~ScopedServices();
    ScopedServices(const ScopedServices&) = delete;
    ScopedServices& operator=(const ScopedServices&) = delete;

private:
    Services saved_;
};

}  // namespace platform
