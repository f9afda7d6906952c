#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>

#include "platform/win32/win32.h"

namespace platform {

namespace {

// How often a pipe on standard input is looked at while a line is awaited:
// pipes cannot be waited for.
constexpr DWORD kPipePollMs = 20;

bool isConsole(HANDLE handle) {
    DWORD mode = 0;
    return handle != INVALID_HANDLE_VALUE && handle != nullptr && GetConsoleMode(handle, &mode) != 0;
}

// Waits until a key that types a character was pressed on the console,
// dropping Shift, arrows, mouse, focus and other events that would otherwise
// end the wait with nothing to read.
bool keyWaiting(HANDLE input, DWORD timeoutMs) {
    const DWORD start = GetTickCount();
    for (;;) {
        const DWORD elapsed = GetTickCount() - start;
        if (elapsed >= timeoutMs) return false;
        if (WaitForSingleObject(input, timeoutMs - elapsed) != WAIT_OBJECT_0) return false;
        INPUT_RECORD record;
        DWORD count = 0;
        if (!PeekConsoleInputW(input, &record, 1, &count) || count == 0) continue;
        const KEY_EVENT_RECORD& key = record.Event.KeyEvent;
        if (record.EventType == KEY_EVENT && key.bKeyDown && key.uChar.UnicodeChar != 0) return true;
        if (!ReadConsoleInputW(input, &record, 1, &count)) return false;
    }
}

// Waits until a pipe or file on standard input has a byte, or has ended.
bool bytesWaiting(HANDLE input, DWORD timeoutMs) {
    const DWORD start = GetTickCount();
    for (;;) {
        DWORD available = 0;
        // A file, or a pipe whose writer has gone: the read tells.
        if (!PeekNamedPipe(input, nullptr, 0, nullptr, &available, nullptr) || available > 0) return true;
        if (GetTickCount() - start >= timeoutMs) return false;
        Sleep(kPipePollMs);
    }
}

// The output consoles whose mode was changed, and their modes before: put
// back at exit and on Ctrl+C, Ctrl+Break or a closed window, whose default
// handler ends the process without running the C runtime's exit.
struct SavedMode {
    std::atomic<HANDLE> handle{nullptr};
    DWORD mode = 0;
};
SavedMode saved[2];
std::atomic<bool> restoring{false};

void restoreModes() {
    for (SavedMode& s : saved) {
        if (HANDLE h = s.handle.exchange(nullptr)) SetConsoleMode(h, s.mode);
    }
}

BOOL WINAPI onControl(DWORD) {
    restoreModes();
    return FALSE;  // the next handler, in the end the system's, ends the process
}

void restoreAtExit() { restoreModes(); }

}  // namespace

bool Win32Terminal::interactive(Stream stream) {
    HANDLE handle = GetStdHandle(stream == Stream::Err ? STD_ERROR_HANDLE : STD_OUTPUT_HANDLE);
    DWORD mode = 0;
    if (!isConsole(handle) || !GetConsoleMode(handle, &mode)) return false;
    // Cursor movement needs the console to read VT sequences (Windows 10 on).
    if ((mode & ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0) return true;
    if (!SetConsoleMode(handle, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING)) return false;
    SavedMode& s = saved[stream == Stream::Err ? 1 : 0];
    s.mode = mode;
    s.handle.store(handle);
    if (!restoring.exchange(true)) {
        std::atexit(restoreAtExit);
        SetConsoleCtrlHandler(onControl, TRUE);
    }
    return true;
}

bool Win32Terminal::inputInteractive() { return isConsole(GetStdHandle(STD_INPUT_HANDLE)); }

LineRead Win32Terminal::readLine(uint32_t timeoutMs, std::string* line) {
    line->clear();
    HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    if (input == INVALID_HANDLE_VALUE || input == nullptr) return LineRead::Closed;
    const bool console = isConsole(input);
    // The console gives the line once Enter is pressed; the wait covers the
    // time until the operator starts typing.
    if (!(console ? keyWaiting(input, timeoutMs) : bytesWaiting(input, timeoutMs))) return LineRead::TimedOut;
    for (;;) {
        char c = 0;
        DWORD got = 0;
        if (!ReadFile(input, &c, 1, &got, nullptr) || got == 0) return LineRead::Closed;
        if (c == '\n') break;
        *line += c;
    }
    if (!line->empty() && line->back() == '\r') line->pop_back();
    return LineRead::Line;
}

bool Win32Terminal::binaryOutput() {
    std::fflush(stdout);
    return _setmode(_fileno(stdout), _O_BINARY) != -1;
}

}  // namespace platform
