// Windows implementation of the platform layer: Windows Sockets 2, the Win32 console and the
// Win32 clocks. Built instead of platform_posix.cpp when the target is Windows.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
// select() sets hold 64 sockets unless told otherwise: a plant of PLCs needs far more. The wait
// set keeps its sets on the heap.
#define FD_SETSIZE 4096

#include <winsock2.h>
#include <ws2tcpip.h>

#include <windows.h>

#include <timeapi.h>
#include <tlhelp32.h>

#include "platform/ansi_colour.h"
#include "platform/platform.h"

#include <algorithm>
#include <atomic>
#include <climits>
#include <cstdio>
#include <cstring>
#include <string>
#include <unordered_map>
#include <vector>

namespace platform {
namespace {

constexpr WORD winsockVersion = MAKEWORD(2, 2);
constexpr WORD plainAttribute = 7; // light grey on black, the console's own default
constexpr char lineEnd[] = "\r\n";

// The Ctrl handler runs on a thread of its own, which cannot wake a select() in progress, so
// every wait is cut into slices of this length and the flag is looked at in between.
constexpr std::int64_t stopPollMicros = 10'000;
constexpr std::int64_t microsPerSecond = 1'000'000;

// After a close, logoff or shutdown event Windows ends the process as soon as the handler
// returns; the handler holds on for this long so the loop can close its sockets and log.
constexpr DWORD closeGraceMillis = 2'000;
constexpr DWORD closeGraceStepMillis = 10;

// The send buffer asked for when a connection's last bytes must be taken at once.
constexpr std::size_t closingSendBuffer = 1024 * 1024;

std::atomic<bool> stopSignalled{false};
std::atomic<bool> consoleRestored{false};

bool consoleActive = false;
bool inputModeSaved = false;
DWORD savedInputMode = 0;

// A worker thread (the log writer, the retained memory's saver) and what it shares with the
// loop thread. Statically initialised and never destroyed: a log writer stuck in a write
// outlives main.
struct WorkerShare {
    SRWLOCK lock;
    CONDITION_VARIABLE condition;
    void (*body)(void *);
    void *context;
};
WorkerShare logShare{SRWLOCK_INIT, CONDITION_VARIABLE_INIT, nullptr, nullptr};
WorkerShare saverShare{SRWLOCK_INIT, CONDITION_VARIABLE_INIT, nullptr, nullptr};

DWORD WINAPI runWorker(LPVOID share) {
    const WorkerShare &worker = *static_cast<WorkerShare *>(share);
    worker.body(worker.context);
    return 0;
}

bool startWorker(WorkerShare &share, void (*body)(void *), void *context,
                 int priority = THREAD_PRIORITY_NORMAL) {
    // Console control events arrive on a thread Windows creates, never on this one, so there
    // is nothing to keep away from it.
    share.body = body;
    share.context = context;
    const HANDLE thread = CreateThread(nullptr, 0, runWorker, &share, 0, nullptr);
    if (thread == nullptr) {
        return false;
    }
    SetThreadPriority(thread, priority);
    CloseHandle(thread); // detached: the process ends without waiting for it
    return true;
}

void waitWorker(WorkerShare &share, std::int64_t timeoutMicros) {
    const DWORD millis = timeoutMicros < 0 ? INFINITE
                                           : static_cast<DWORD>(std::min<std::int64_t>(
                                                 (timeoutMicros + 999) / 1000, INFINITE - 1));
    SleepConditionVariableSRW(&share.condition, &share.lock, millis, 0);
}

int lastError() {
    return static_cast<int>(GetLastError());
}

SOCKET toSocket(SocketHandle handle) {
    return static_cast<SOCKET>(handle);
}
SocketHandle toHandle(SOCKET socket) {
    return socket == INVALID_SOCKET ? invalidSocket : static_cast<SocketHandle>(socket);
}

HANDLE inputHandle() {
    return GetStdHandle(STD_INPUT_HANDLE);
}
HANDLE outputHandle() {
    return GetStdHandle(STD_OUTPUT_HANDLE);
}

bool isConsoleHandle(HANDLE handle) {
    DWORD mode = 0;
    return handle != nullptr && handle != INVALID_HANDLE_VALUE && GetConsoleMode(handle, &mode);
}

BOOL WINAPI onConsoleControl(DWORD event) {
    switch (event) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
        stopSignalled = true;
        return TRUE;
    case CTRL_CLOSE_EVENT:
    case CTRL_LOGOFF_EVENT:
    case CTRL_SHUTDOWN_EVENT:
        stopSignalled = true;
        for (DWORD waited = 0; waited < closeGraceMillis && !consoleRestored;
             waited += closeGraceStepMillis) {
            Sleep(closeGraceStepMillis);
        }
        return TRUE;
    default:
        return FALSE;
    }
}

// Keys that only change other keys; pressing one alone (say, Alt on the way to Alt+Tab) is no
// request to stop, just as it sends nothing through a POSIX terminal.
bool isModifierKey(WORD virtualKey) {
    switch (virtualKey) {
    case VK_SHIFT:
    case VK_CONTROL:
    case VK_MENU:
    case VK_LWIN:
    case VK_RWIN:
    case VK_CAPITAL:
    case VK_NUMLOCK:
    case VK_SCROLL:
        return true;
    default:
        return false;
    }
}

bool isKeyPress(const INPUT_RECORD &record) {
    return record.EventType == KEY_EVENT && record.Event.KeyEvent.bKeyDown &&
           !isModifierKey(record.Event.KeyEvent.wVirtualKeyCode);
}

// Looks through the console input without taking a key press out of it. Batches of records
// that hold no key press (key releases, focus, mouse, window size events) are discarded, so
// that such events cannot pile up in front of a later key press.
bool consoleKeyWaiting(HANDLE input) {
    constexpr DWORD peekBatch = 64;
    constexpr int batchesPerCall = 16; // the rest waits for the next call
    INPUT_RECORD records[peekBatch];
    for (int batch = 0; batch < batchesPerCall; ++batch) {
        DWORD count = 0;
        if (!PeekConsoleInputW(input, records, peekBatch, &count) || count == 0) {
            return false;
        }
        if (std::any_of(records, records + count, isKeyPress)) {
            return true;
        }
        // None of these is a key press: drop exactly the records looked at. Input is first in,
        // first out, so a key that arrived meanwhile stays behind them.
        DWORD dropped = 0;
        if (!ReadConsoleInputW(input, records, count, &dropped) || dropped == 0) {
            return false;
        }
        if (count < peekBatch) {
            return false;
        }
    }
    return false;
}

std::wstring widen(std::string_view utf8) {
    if (utf8.empty()) {
        return {};
    }
    const int length = static_cast<int>(std::min<std::size_t>(utf8.size(), INT_MAX));
    const int wideLength = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), length, nullptr, 0);
    if (wideLength <= 0) {
        return {};
    }
    std::wstring wide(static_cast<std::size_t>(wideLength), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, utf8.data(), length, wide.data(), wideLength);
    return wide;
}

std::string narrow(std::wstring_view wide) {
    if (wide.empty()) {
        return {};
    }
    const int length = static_cast<int>(std::min<std::size_t>(wide.size(), INT_MAX));
    const int utf8Length =
        WideCharToMultiByte(CP_UTF8, 0, wide.data(), length, nullptr, 0, nullptr, nullptr);
    if (utf8Length <= 0) {
        return {};
    }
    std::string utf8(static_cast<std::size_t>(utf8Length), '\0');
    WideCharToMultiByte(CP_UTF8, 0, wide.data(), length, utf8.data(), utf8Length, nullptr, nullptr);
    return utf8;
}

// Text for a console goes out as UTF-16, so box-drawing characters show whatever output code
// page the console has; the UTF-8 is never read through the code page.
void writeToConsole(HANDLE output, std::string_view text) {
    const std::wstring wide = widen(text);
    const wchar_t *next = wide.data();
    std::size_t left = wide.size();
    while (left > 0) {
        DWORD written = 0;
        const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(left, 0x4000));
        if (!WriteConsoleW(output, next, chunk, &written, nullptr) || written == 0) {
            return;
        }
        next += written;
        left -= written;
    }
}

// Pipes and files get the UTF-8 bytes unchanged; WriteFile has no buffer in this process, so
// each line is readable by the other end as soon as this returns.
void writeToFile(HANDLE output, std::string_view bytes) {
    const char *next = bytes.data();
    std::size_t left = bytes.size();
    while (left > 0) {
        DWORD written = 0;
        const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(left, 0x10000));
        if (!WriteFile(output, next, chunk, &written, nullptr) || written == 0) {
            return;
        }
        next += written;
        left -= written;
    }
}

// Windows times waits in steps of its timer tick, 15.6 ms unless a process asks for finer;
// select() with the loop's 10 ms timeout would then return late and the 10 ms tick would run
// about a third slow. The request ends with the process.
constexpr UINT timerResolutionMillis = 1;

void ensureFineTimer() {
    static const bool requested = timeBeginPeriod(timerResolutionMillis) == TIMERR_NOERROR;
    (void)requested;
}

bool isConnectionLoss(int code) {
    switch (code) {
    case WSAENETDOWN:
    case WSAECONNABORTED:
    case WSAECONNRESET:
    case WSAENOTCONN:
    case WSAESHUTDOWN:
    case WSAETIMEDOUT:
        return true;
    default:
        return false;
    }
}

bool setNonBlocking(SOCKET socket) {
    u_long nonBlocking = 1;
    return ioctlsocket(socket, static_cast<long>(FIONBIO), &nonBlocking) == 0;
}

Ipv4Address addressOf(const sockaddr_in &address) {
    const auto *bytes = reinterpret_cast<const std::uint8_t *>(&address.sin_addr);
    return {bytes[0], bytes[1], bytes[2], bytes[3]};
}

} // namespace

int startNetwork() {
    WSADATA data{};
    return WSAStartup(winsockVersion, &data);
}

ListenResult openListener(Ipv4Address address, std::uint16_t port, int backlog) {
    const auto fail = [](SOCKET socket, ListenStep step) {
        const int code = WSAGetLastError();
        if (socket != INVALID_SOCKET) {
            closesocket(socket);
        }
        return ListenResult{invalidSocket, step, code, 0};
    };

    const SOCKET listener = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (listener == INVALID_SOCKET) {
        return fail(listener, ListenStep::create);
    }
    // Without this another process could bind the same port on top of ours and steal clients.
    BOOL exclusive = TRUE;
    if (setsockopt(listener, SOL_SOCKET, SO_EXCLUSIVEADDRUSE,
                   reinterpret_cast<const char *>(&exclusive), sizeof exclusive) != 0) {
        return fail(listener, ListenStep::create);
    }

    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = htons(port);
    std::copy(address.begin(), address.end(), reinterpret_cast<std::uint8_t *>(&local.sin_addr));
    if (bind(listener, reinterpret_cast<const sockaddr *>(&local), sizeof local) != 0) {
        return fail(listener, ListenStep::bind);
    }
    if (!setNonBlocking(listener) || listen(listener, backlog) != 0) {
        return fail(listener, ListenStep::listen);
    }

    sockaddr_in bound{};
    int boundLength = sizeof bound;
    if (getsockname(listener, reinterpret_cast<sockaddr *>(&bound), &boundLength) != 0) {
        return fail(listener, ListenStep::listen);
    }
    return ListenResult{toHandle(listener), ListenStep::create, 0, ntohs(bound.sin_port)};
}

bool ipv4Endpoint(const void *socketAddress, Ipv4Address &address, std::uint16_t &port) {
    sockaddr_in endpoint{};
    std::memcpy(&endpoint.sin_family, socketAddress, sizeof endpoint.sin_family);
    if (endpoint.sin_family != AF_INET) {
        return false;
    }
    std::memcpy(&endpoint, socketAddress, sizeof endpoint);
    address = addressOf(endpoint);
    port = ntohs(endpoint.sin_port);
    return true;
}

AcceptResult acceptConnection(SocketHandle listener) {
    sockaddr_in peer{};
    int peerLength = sizeof peer;
    const SOCKET socket =
        accept(toSocket(listener), reinterpret_cast<sockaddr *>(&peer), &peerLength);
    if (socket == INVALID_SOCKET) {
        return AcceptResult{invalidSocket, {}, 0, {}};
    }
    // Accepted sockets take the listener's mode on Windows; set it anyway so nothing depends
    // on that. Windows has no SIGPIPE, so nothing else is needed for sends to a dead peer.
    if (!setNonBlocking(socket)) {
        closesocket(socket);
        return AcceptResult{invalidSocket, {}, 0, {}};
    }
    BOOL noDelay = TRUE;
    setsockopt(socket, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char *>(&noDelay),
               sizeof noDelay);
    sockaddr_in local{};
    int localLength = sizeof local;
    if (getsockname(socket, reinterpret_cast<sockaddr *>(&local), &localLength) != 0) {
        local = {};
    }
    return AcceptResult{toHandle(socket), addressOf(peer), ntohs(peer.sin_port), addressOf(local)};
}

ReceiveResult receiveBytes(SocketHandle socket, std::span<std::uint8_t> into) {
    const int capacity = static_cast<int>(std::min<std::size_t>(into.size(), INT_MAX));
    const int received = recv(toSocket(socket), reinterpret_cast<char *>(into.data()), capacity, 0);
    if (received > 0) {
        return ReceiveResult{ReceiveOutcome::data, static_cast<std::size_t>(received), 0};
    }
    if (received == 0) {
        return ReceiveResult{ReceiveOutcome::peerClosed, 0, 0};
    }
    const int code = WSAGetLastError();
    if (code == WSAEWOULDBLOCK) {
        return ReceiveResult{ReceiveOutcome::noData, 0, 0};
    }
    if (isConnectionLoss(code)) {
        return ReceiveResult{ReceiveOutcome::connectionLost, 0, code};
    }
    return ReceiveResult{ReceiveOutcome::otherError, 0, code};
}

SendResult sendBytes(SocketHandle socket, std::span<const std::uint8_t> bytes) {
    const int length = static_cast<int>(std::min<std::size_t>(bytes.size(), INT_MAX));
    const int sent =
        send(toSocket(socket), reinterpret_cast<const char *>(bytes.data()), length, 0);
    if (sent >= 0) {
        return SendResult{false, static_cast<std::size_t>(sent), 0};
    }
    const int code = WSAGetLastError();
    if (code == WSAEWOULDBLOCK) {
        return SendResult{false, 0, 0};
    }
    return SendResult{true, 0, code};
}

void reserveSendRoom(SocketHandle socket, std::size_t count) {
    int current = 0;
    int length = sizeof current;
    if (getsockopt(toSocket(socket), SOL_SOCKET, SO_SNDBUF, reinterpret_cast<char *>(&current),
                   &length) != 0) {
        return;
    }
    // Ask for a large buffer, not for the few bytes to come: what fills it is replies the client
    // has not read. The memory is used only by bytes actually queued; closesocket then delivers
    // them (a graceful close, no linger set).
    const int asked = static_cast<int>(closingSendBuffer + std::min(count, closingSendBuffer));
    if (current >= asked) {
        return;
    }
    setsockopt(toSocket(socket), SOL_SOCKET, SO_SNDBUF, reinterpret_cast<const char *>(&asked),
               sizeof asked);
}

void closeSocket(SocketHandle socket) {
    if (socket != invalidSocket) {
        closesocket(toSocket(socket));
    }
}

void *openSharedLibrary(const char *name, std::string &error) {
    HMODULE library = LoadLibraryA(name);
    if (library == nullptr) {
        error = std::string(name) + ": " + describeError(static_cast<int>(GetLastError()));
    }
    return reinterpret_cast<void *>(library);
}

SharedFunction sharedLibraryFunction(void *library, const char *name) {
    return reinterpret_cast<SharedFunction>(
        reinterpret_cast<void (*)()>(GetProcAddress(static_cast<HMODULE>(library), name)));
}

void abortOnClose(SocketHandle socket) {
    const linger abortive{1, 0};
    setsockopt(toSocket(socket), SOL_SOCKET, SO_LINGER, reinterpret_cast<const char *>(&abortive),
               sizeof abortive);
}

struct WaitSet {
    struct Watched {
        SOCKET socket;
        std::uint64_t tag;
        Interest interest;
    };
    std::vector<Watched> watched;
    std::unordered_map<SOCKET, std::size_t> positions; // where each socket is in watched
    // Where the next wait starts filling its sets: past the sockets the last one left out.
    std::size_t start = 0;
    fd_set readable;
    fd_set writable;
};

void WaitSetClose::operator()(WaitSet *set) const {
    delete set;
}

WaitSetHandle openWaitSet(int &errorCode) {
    errorCode = 0;
    return WaitSetHandle(new WaitSet);
}

bool watchSocket(WaitSet &set, SocketHandle socket, std::uint64_t tag, Interest interest) {
    const SOCKET handle = toSocket(socket);
    if (set.positions.count(handle) != 0) {
        changeWatch(set, socket, tag, interest);
        return true;
    }
    set.positions[handle] = set.watched.size();
    set.watched.push_back({handle, tag, interest});
    return true;
}

void changeWatch(WaitSet &set, SocketHandle socket, std::uint64_t tag, Interest interest) {
    const auto found = set.positions.find(toSocket(socket));
    if (found != set.positions.end()) {
        set.watched[found->second].tag = tag;
        set.watched[found->second].interest = interest;
    }
}

void unwatchSocket(WaitSet &set, SocketHandle socket) {
    const auto found = set.positions.find(toSocket(socket));
    if (found == set.positions.end()) {
        return;
    }
    // The last one takes the place of the one leaving.
    const std::size_t position = found->second;
    set.positions.erase(found);
    if (position + 1 != set.watched.size()) {
        set.watched[position] = set.watched.back();
        set.positions[set.watched[position].socket] = position;
    }
    set.watched.pop_back();
}

// select() over the whole set, FD_SETSIZE sockets each way at most: O(sockets watched) per wait,
// as Windows has no readiness call that keeps its registrations.
WaitResult waitForReady(WaitSet &set, std::span<std::uint64_t> ready, bool watchConsole,
                        std::int64_t timeoutMicros) {
    ensureFineTimer();
    const std::int64_t deadline = monotonicMicros() + std::max<std::int64_t>(timeoutMicros, 0);
    for (;;) {
        if (stopSignalled || (watchConsole && stopRequested())) {
            return {false, 0};
        }
        const std::int64_t left = deadline - monotonicMicros();
        if (left <= 0) {
            return {true, 0}; // nothing became ready
        }
        const std::int64_t slice = std::min(left, stopPollMicros);

        set.readable.fd_count = 0;
        set.writable.fd_count = 0;
        // Sockets past the sets' room are left out, and the wait then says it does not know.
        bool leftOut = false;
        const std::size_t total = set.watched.size();
        for (std::size_t step = 0; step < total; ++step) {
            const WaitSet::Watched &entry = set.watched[(set.start + step) % total];
            fd_set *into = entry.interest == Interest::read    ? &set.readable
                           : entry.interest == Interest::write ? &set.writable
                                                               : nullptr;
            if (into == nullptr) {
                continue;
            }
            if (into->fd_count < FD_SETSIZE) {
                into->fd_array[into->fd_count++] = entry.socket;
            } else {
                leftOut = true;
            }
        }
        if (set.readable.fd_count == 0 && set.writable.fd_count == 0) {
            // select() refuses three empty sets on Windows instead of waiting.
            Sleep(static_cast<DWORD>((slice + 999) / 1000));
            continue;
        }
        timeval timeout{};
        const std::int64_t waited = leftOut ? std::min<std::int64_t>(slice, 1000) : slice;
        timeout.tv_sec = static_cast<long>(waited / microsPerSecond);
        timeout.tv_usec = static_cast<long>(waited % microsPerSecond);
        const int found = select(0, &set.readable, &set.writable, nullptr, &timeout);
        if (found < 0) {
            return {false, 0}; // the caller's next calls tell why
        }
        if (found == 0 && !leftOut) {
            continue;
        }
        // select left only the ready sockets in the sets.
        std::size_t count = 0;
        for (const fd_set *result : {&set.readable, &set.writable}) {
            for (u_int index = 0; index < result->fd_count && count < ready.size(); ++index) {
                const auto position = set.positions.find(result->fd_array[index]);
                if (position != set.positions.end()) {
                    ready[count++] = set.watched[position->second].tag;
                }
            }
        }
        if (total > 0) {
            set.start = (set.start + (leftOut ? std::size_t{FD_SETSIZE} : count)) % total;
        }
        return {!leftOut, count};
    }
}

std::string describeError(int errorCode) {
    wchar_t *buffer = nullptr;
    const DWORD length = FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, static_cast<DWORD>(errorCode), 0, reinterpret_cast<wchar_t *>(&buffer), 0,
        nullptr);
    std::string text;
    if (length > 0 && buffer != nullptr) {
        text = narrow(std::wstring_view(buffer, length));
    }
    if (buffer != nullptr) {
        LocalFree(buffer);
    }
    // System messages end in ".\r\n", which would break the one-line log.
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ' ||
                             text.back() == '.')) {
        text.pop_back();
    }
    if (text.empty()) {
        text = "error " + std::to_string(errorCode);
    }
    return text;
}

std::string listenFailureHint(int errorCode, std::uint16_t /*port*/) {
    // Windows has no privileged ports: access is refused when another program holds the port
    // exclusively or the system has excluded it.
    if (errorCode == WSAEACCES) {
        return " - another program holds the port or the system excludes it; use --port with "
               "another port";
    }
    return {};
}

void consoleStart() {
    consoleRestored = false;
    SetConsoleCtrlHandler(onConsoleControl, TRUE);
    const HANDLE input = inputHandle();
    DWORD mode = 0;
    if (!consoleActive && isConsoleHandle(input) && GetConsoleMode(input, &mode)) {
        savedInputMode = mode;
        inputModeSaved = true;
        // Keys arrive one by one and are not echoed into the log; Ctrl+C still comes as a
        // control event because processed input stays on.
        const DWORD singleKey =
            (mode & ~static_cast<DWORD>(ENABLE_LINE_INPUT | ENABLE_ECHO_INPUT)) |
            ENABLE_PROCESSED_INPUT;
        // Quick edit goes off while the server runs: a click in the window would start a
        // selection, and the console holds every write until the selection ends. The console
        // reports the quick-edit bit along with ENABLE_EXTENDED_FLAGS, so restoring the saved
        // mode brings it back as it was. A console that refuses the extended flags still gets
        // single keys.
        const DWORD noQuickEdit =
            (singleKey & ~static_cast<DWORD>(ENABLE_QUICK_EDIT_MODE)) | ENABLE_EXTENDED_FLAGS;
        if (!SetConsoleMode(input, noQuickEdit)) {
            SetConsoleMode(input, singleKey);
        }
    }
    consoleActive = true;
}

void consoleRestore() {
    if (inputModeSaved) {
        SetConsoleMode(inputHandle(), savedInputMode);
        inputModeSaved = false;
    }
    if (consoleActive) {
        SetConsoleCtrlHandler(onConsoleControl, FALSE);
        consoleActive = false;
    }
    consoleRestored = true;
}

bool stdinIsTerminal() {
    return isConsoleHandle(inputHandle());
}

// GetConsoleMode rather than _isatty, which also says yes for the NUL device.
bool stdoutIsTerminal() {
    return isConsoleHandle(outputHandle());
}

namespace {

DWORD parentProcessId() {
    const HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE) {
        return 0;
    }
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof entry;
    DWORD parent = 0;
    const DWORD self = GetCurrentProcessId();
    for (BOOL more = Process32FirstW(snapshot, &entry); more != FALSE;
         more = Process32NextW(snapshot, &entry)) {
        if (entry.th32ProcessID == self) {
            parent = entry.th32ParentProcessID;
            break;
        }
    }
    CloseHandle(snapshot);
    return parent;
}

DWORD WINAPI watchParent(LPVOID handle) {
    WaitForSingleObject(static_cast<HANDLE>(handle), INFINITE);
    stopSignalled = true;
    return 0;
}

} // namespace

int processId() {
    return static_cast<int>(GetCurrentProcessId());
}

std::string stopWithParent() {
    const DWORD parent = parentProcessId();
    // A parent that has ended cannot be opened (or its number went to another process, which
    // Windows cannot tell apart).
    const HANDLE handle = parent != 0 ? OpenProcess(SYNCHRONIZE, FALSE, parent) : nullptr;
    if (handle == nullptr) {
        stopSignalled = true;
        return {};
    }
    const HANDLE thread = CreateThread(nullptr, 0, watchParent, handle, 0, nullptr);
    if (thread == nullptr) {
        CloseHandle(handle);
        return "cannot follow the parent process: " + describeError(lastError());
    }
    CloseHandle(thread);
    return {};
}

bool stopRequested() {
    if (stopSignalled) {
        return true;
    }
    const HANDLE input = inputHandle();
    return isConsoleHandle(input) && consoleKeyWaiting(input);
}

void writeConsoleLines(std::span<const ConsoleLine> lines, bool colour) {
    std::fflush(stdout); // anything the C runtime still holds goes first
    const HANDLE output = outputHandle();
    if (output == nullptr || output == INVALID_HANDLE_VALUE) {
        return;
    }
    if (!isConsoleHandle(output)) {
        // A pipe or file cannot carry console attributes; colour asked for there (--color
        // always) comes as the same ANSI sequences the POSIX build writes. The lines go out in
        // one write.
        std::string bytes;
        for (const ConsoleLine &line : lines) {
            const bool coloured = colour && line.attribute != plainAttribute;
            if (coloured) {
                bytes += ansiSequenceFor(line.attribute).view();
            }
            bytes += line.text;
            if (coloured) {
                bytes += ansiReset;
            }
            bytes += lineEnd;
        }
        writeToFile(output, bytes);
        return;
    }
    for (const ConsoleLine &line : lines) {
        if (colour) {
            SetConsoleTextAttribute(output, static_cast<WORD>(line.attribute));
            writeToConsole(output, line.text);
            SetConsoleTextAttribute(output, plainAttribute);
        } else {
            writeToConsole(output, line.text);
        }
        writeToConsole(output, lineEnd);
    }
}

bool startLogThread(void (*body)(void *), void *context) {
    return startWorker(logShare, body, context);
}

void lockLog() {
    AcquireSRWLockExclusive(&logShare.lock);
}

void unlockLog() {
    ReleaseSRWLockExclusive(&logShare.lock);
}

void waitLog(std::int64_t timeoutMicros) {
    waitWorker(logShare, timeoutMicros);
}

void wakeLogWaiters() {
    WakeAllConditionVariable(&logShare.condition);
}

bool startSaverThread(void (*body)(void *), void *context) {
    return startWorker(saverShare, body, context, THREAD_PRIORITY_BELOW_NORMAL);
}

void lockSaver() {
    AcquireSRWLockExclusive(&saverShare.lock);
}

bool tryLockSaver() {
    return TryAcquireSRWLockExclusive(&saverShare.lock) != 0;
}

void unlockSaver() {
    ReleaseSRWLockExclusive(&saverShare.lock);
}

void waitSaver(std::int64_t timeoutMicros) {
    waitWorker(saverShare, timeoutMicros);
}

void wakeSaverWaiters() {
    WakeAllConditionVariable(&saverShare.condition);
}

FileRead readFile(const std::string &path, std::size_t limit) {
    FileRead result{0, {}};
    const HANDLE file = CreateFileW(widen(path).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        result.errorCode = lastError();
        return result;
    }
    result.bytes.resize(limit);
    std::size_t count = 0;
    while (count < limit) {
        DWORD got = 0;
        const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(limit - count, 0x100000));
        if (!ReadFile(file, result.bytes.data() + count, chunk, &got, nullptr)) {
            result.errorCode = lastError();
            break;
        }
        if (got == 0) {
            break;
        }
        count += got;
    }
    CloseHandle(file);
    result.bytes.resize(count);
    return result;
}

int writeFileToDisk(const std::string &path, std::span<const std::span<const std::uint8_t>> parts) {
    const std::wstring name = widen(path);
    const HANDLE file = CreateFileW(name.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return lastError();
    }
    int error = 0;
    for (std::span<const std::uint8_t> part : parts) {
        while (error == 0 && !part.empty()) {
            DWORD written = 0;
            const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(part.size(), 0x100000));
            if (!WriteFile(file, part.data(), chunk, &written, nullptr)) {
                error = lastError();
            } else {
                part = part.subspan(written);
            }
        }
    }
    if (error == 0 && !FlushFileBuffers(file)) {
        error = lastError();
    }
    if (!CloseHandle(file) && error == 0) {
        error = lastError();
    }
    if (error != 0) {
        DeleteFileW(name.c_str());
    }
    return error;
}

int replaceFile(const std::string &from, const std::string &to) {
    if (MoveFileExW(widen(from).c_str(), widen(to).c_str(),
                    MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        return 0;
    }
    return lastError();
}

int flushFolder(const std::string & /*path*/) {
    return 0; // every move was written through
}

int removeFile(const std::string &path) {
    return DeleteFileW(widen(path).c_str()) ? 0 : lastError();
}

int createFolder(const std::string &path) {
    if (CreateDirectoryW(widen(path).c_str(), nullptr)) {
        return 0;
    }
    const int error = lastError();
    return error == static_cast<int>(ERROR_ALREADY_EXISTS) ? 0 : error;
}

FolderListing listFolder(const std::string &path) {
    FolderListing listing{0, {}};
    WIN32_FIND_DATAW found{};
    const HANDLE search = FindFirstFileW(widen(path + "\\*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) {
        listing.errorCode = lastError();
        return listing;
    }
    do {
        if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
            listing.names.push_back(narrow(found.cFileName));
        }
    } while (FindNextFileW(search, &found));
    const int error = lastError();
    if (error != static_cast<int>(ERROR_NO_MORE_FILES)) {
        listing.errorCode = error;
    }
    FindClose(search);
    return listing;
}

bool isMissingError(int errorCode) {
    return errorCode == static_cast<int>(ERROR_FILE_NOT_FOUND) ||
           errorCode == static_cast<int>(ERROR_PATH_NOT_FOUND);
}

LocalTime localTime() {
    SYSTEMTIME now{};
    GetLocalTime(&now);
    return LocalTime{now.wHour, now.wMinute, now.wSecond};
}

LocalDateTime localDateTime() {
    SYSTEMTIME now{};
    GetLocalTime(&now);
    return {now.wYear,   now.wMonth,  now.wDay,         now.wHour,
            now.wMinute, now.wSecond, now.wMilliseconds};
}

std::int64_t monotonicMicros() {
    static const std::int64_t frequency = [] {
        LARGE_INTEGER value{};
        QueryPerformanceFrequency(&value);
        return static_cast<std::int64_t>(value.QuadPart);
    }();
    LARGE_INTEGER counter{};
    QueryPerformanceCounter(&counter);
    const std::int64_t ticks = counter.QuadPart;
    // Split so that ticks * 1e6 cannot overflow on long uptimes.
    return ticks / frequency * microsPerSecond + ticks % frequency * microsPerSecond / frequency;
}

std::int64_t wallClockMicros() {
    FILETIME now{};
    GetSystemTimePreciseAsFileTime(&now);
    // 100 ns steps since 1601-01-01; 11644473600 seconds lie between then and 1970.
    const std::uint64_t steps =
        (static_cast<std::uint64_t>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
    return static_cast<std::int64_t>(steps / 10) - 11'644'473'600'000'000;
}

FileResult createFile(std::string_view path) {
    const std::wstring widePath = widen(path);
    const HANDLE file =
        CreateFileW(widePath.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                    CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return {invalidFile, static_cast<int>(GetLastError())};
    }
    return {reinterpret_cast<FileHandle>(file), 0};
}

FileWriteResult writeFile(FileHandle file, std::span<const std::uint8_t> bytes) {
    while (!bytes.empty()) {
        const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(bytes.size(), 1u << 30));
        DWORD written = 0;
        if (!WriteFile(reinterpret_cast<HANDLE>(file), bytes.data(), chunk, &written, nullptr)) {
            return {true, static_cast<int>(GetLastError())};
        }
        if (written == 0) {
            return {true, ERROR_DISK_FULL}; // never for a file, but it must not loop forever
        }
        bytes = bytes.subspan(written);
    }
    return {false, 0};
}

void closeFile(FileHandle file) {
    if (file != invalidFile) {
        CloseHandle(reinterpret_cast<HANDLE>(file));
    }
}

} // namespace platform
