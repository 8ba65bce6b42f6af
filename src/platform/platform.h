// Everything the server needs from the operating system. One implementation file per OS
// (platform_posix.cpp, platform_win32.cpp), picked by the build; nothing outside this folder
// includes an OS header.
#pragma once

#include "base/text.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

// A socket handle wide enough for both POSIX descriptors and Windows SOCKET values.
using SocketHandle = std::intptr_t;
inline constexpr SocketHandle invalidSocket = -1;

// Start the socket layer (WSAStartup on Windows; on POSIX the open file limit raised to its
// hard limit, for a plant of PLCs). Returns the OS error code, 0 on success.
int startNetwork();

enum class ListenStep { create, bind, listen };

struct ListenResult {
    SocketHandle socket; // invalidSocket on failure
    ListenStep failedAt; // meaningful only on failure
    int errorCode;       // OS error code of the failed step
    std::uint16_t port;  // the bound port (useful when port 0 was asked for)
};

// A non-blocking IPv4 TCP listening socket on address:port with the given backlog.
ListenResult openListener(Ipv4Address address, std::uint16_t port, int backlog);

struct AcceptResult {
    SocketHandle socket; // invalidSocket when nothing is pending or accept failed
    Ipv4Address peer;
    std::uint16_t peerPort;
    Ipv4Address local; // the server's own address that the client connected to
};

// Accepts one pending connection; the new socket is non-blocking, has TCP_NODELAY set and
// never raises SIGPIPE.
AcceptResult acceptConnection(SocketHandle listener);

// The address and port of an OS socket address (a sockaddr another library hands over); false
// when it is not IPv4.
bool ipv4Endpoint(const void *socketAddress, Ipv4Address &address, std::uint16_t &port);

enum class ReceiveOutcome {
    data,           // count bytes arrived
    noData,         // nothing waiting (would block)
    peerClosed,     // the peer ended its TCP connection (receive of 0 bytes)
    connectionLost, // network down, aborted, reset, not connected, shut down, timed out
    otherError,     // anything else; errorCode tells which
};

struct ReceiveResult {
    ReceiveOutcome outcome;
    std::size_t count;
    int errorCode;
};

ReceiveResult receiveBytes(SocketHandle socket, std::span<std::uint8_t> into);

struct SendResult {
    bool failed;       // a hard error; errorCode tells which
    std::size_t count; // bytes taken by the OS; may be fewer than offered (even 0) when its
                       // buffer is full
    int errorCode;
};

SendResult sendBytes(SocketHandle socket, std::span<const std::uint8_t> bytes);

// Grows the socket's send buffer so that the OS takes count more bytes at once, however full it
// is. For the last bytes of a connection that is closed right after: the OS delivers what it
// has taken after the close.
void reserveSendRoom(SocketHandle socket, std::size_t count);

void closeSocket(SocketHandle socket);

// Makes the socket's close abortive: the peer gets a reset at once instead of an orderly end,
// as when a connection drops in the middle of a job.
void abortOnClose(SocketHandle socket);

// The sockets the loop's readiness wait watches, registered once and kept across waits: a wait
// costs what is ready, not what is open (epoll on Linux). Each socket carries the caller's tag,
// which the wait hands back when the socket is ready.
struct WaitSet;
struct WaitSetClose {
    void operator()(WaitSet *set) const;
};
using WaitSetHandle = std::unique_ptr<WaitSet, WaitSetClose>;

// What a watched socket is waited for. A socket that failed or whose peer hung up is reported
// whatever it is watched for, none included.
enum class Interest : std::uint8_t { none, read, write };

// An empty set; nullptr, with the OS error code in errorCode, when the OS has none to give.
WaitSetHandle openWaitSet(int &errorCode);
// Adds the socket. False when the OS refuses (out of memory): the set then no longer knows
// everything, and every later wait says so (WaitResult::known false) so the caller asks every
// socket itself.
bool watchSocket(WaitSet &set, SocketHandle socket, std::uint64_t tag, Interest interest);
// A watched socket's new tag and interest.
void changeWatch(WaitSet &set, SocketHandle socket, std::uint64_t tag, Interest interest);
// Before the socket is closed.
void unwatchSocket(WaitSet &set, SocketHandle socket);

struct WaitResult {
    // Whether the ready tags are all that is ready: false after a signal, an error, a stop
    // request or a key press (with watchConsole), and then the caller asks every socket.
    bool known;
    std::size_t count; // tags written to the front of ready
};

// Waits until a watched socket is ready, the console has a key press waiting (when watchConsole
// is set), a stop was requested, or timeoutMicros have passed (to the microsecond, at most an
// hour). Writes the tags of the ready sockets, at most ready.size() of them: the rest stay ready
// for the next wait, which reports the ones left out first.
WaitResult waitForReady(WaitSet &set, std::span<std::uint64_t> ready, bool watchConsole,
                        std::int64_t timeoutMicros);

// A shared library opened at run time, for what only some runs need. Returns nullptr and says
// why in error when it cannot be loaded.
void *openSharedLibrary(const char *name, std::string &error);
// A function of an opened library by its name, or nullptr; cast to its own type by the caller.
using SharedFunction = void (*)();
SharedFunction sharedLibraryFunction(void *library, const char *name);

// A short human-readable text for an OS error code.
std::string describeError(int errorCode);

// Advice to append to a listen failure, or an empty text: how to get past a refused bind on this
// OS (low ports without privilege on POSIX, ports held or excluded on Windows).
std::string listenFailureHint(int errorCode, std::uint16_t port);

// Console. consoleStart puts an interactive console into single-key, no-echo mode and installs
// the stop handlers (Ctrl+C, termination request); consoleRestore undoes the console part and is
// safe to call more than once. Where a terminal has jobs (POSIX), only the foreground job takes
// it: a server started or continued in the background leaves the terminal alone and ignores
// keys, and takes it again when brought back to the foreground.
void consoleStart();
void consoleRestore();
bool stdinIsTerminal();
bool stdoutIsTerminal();

// Requests a stop, as a termination request does, once the process that started this one has
// ended. Linux: the OS sends SIGTERM then (PR_SET_PDEATHSIG); a parent gone before the call counts
// as ended. Windows: a thread waits on the parent's process handle. Returns why it cannot be
// arranged, or an empty text.
std::string stopWithParent();

// This process's number, as the OS shows it.
int processId();

// True once a stop was requested by signal, or when stdin is an interactive console this process
// holds in single-key mode and a key press is waiting (the key is left in the input).
bool stopRequested();

struct ConsoleLine {
    int attribute; // Windows console attribute bits
    std::string_view text;
};

// Writes console lines, each in its text attribute and followed by the OS line end, and makes
// sure they have left the process. With colour off the text is written plain.
void writeConsoleLines(std::span<const ConsoleLine> lines, bool colour);

// The log writer thread and what it shares with the loop thread: one lock and one condition.
// The queue and what the thread does are core/log.cpp's; only these primitives differ by OS
// (the Windows toolchain's runtime has no std::thread or std::mutex).
//
// Starts body(context) on a detached thread of its own, which never takes the stop signals
// (Ctrl+C and termination requests still cut the loop's readiness wait short). False when it
// could not be started.
bool startLogThread(void (*body)(void *), void *context);
void lockLog();
void unlockLog();
// Called with the lock held: releases it until wakeLogWaiters is called or timeoutMicros have
// passed (negative: no limit), then holds it again. May also return early for no reason.
void waitLog(std::int64_t timeoutMicros);
// Wakes every thread in waitLog.
void wakeLogWaiters();

// The retained memory's saver thread and what it shares with the loop thread, on the same terms
// as the log's: a detached thread that never takes the stop signals, one lock, one condition.
// It runs at a lower priority than the loop: when both want the CPU, the loop goes first.
bool startSaverThread(void (*body)(void *), void *context);
void lockSaver();
// Takes the lock if no other thread holds it, without waiting; true when taken.
bool tryLockSaver();
void unlockSaver();
void waitSaver(std::int64_t timeoutMicros);
void wakeSaverWaiters();

// Files and folders, for the retained memory. Paths are UTF-8 text; every call returns 0 or the
// OS error code, which describeError turns into text.
struct FileRead {
    int errorCode;
    std::vector<std::uint8_t> bytes;
};
// The file's first bytes, at most limit of them (a longer file is cut there).
FileRead readFile(const std::string &path, std::size_t limit);
// Creates the file, or empties it, writes the parts one after the other and has the OS put them
// on the disk (fsync, FlushFileBuffers) before it returns. A file that could not be written
// whole is removed.
int writeFileToDisk(const std::string &path, std::span<const std::span<const std::uint8_t>> parts);
// Renames from over to in one step: to is the old file or the new one whole, never anything in
// between (rename; MoveFileExW with MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH).
int replaceFile(const std::string &from, const std::string &to);
// Puts the folder's renames on the disk (fsync of the folder on POSIX; on Windows the move was
// written through already).
int flushFolder(const std::string &path);
int removeFile(const std::string &path);
// Creates the folder; one that exists already is no error.
int createFolder(const std::string &path);
struct FolderListing {
    int errorCode;
    std::vector<std::string> names; // the files in it, in no particular order
};
FolderListing listFolder(const std::string &path);
// Whether the error says that the file or folder does not exist.
bool isMissingError(int errorCode);

struct LocalTime {
    int hour;
    int minute;
    int second;
};

LocalTime localTime();

// The local date and time to the millisecond: the host clock behind the PLC clock that S7
// clients read and set.
struct LocalDateTime {
    int year;  // e.g. 2024
    int month; // 1-12
    int day;   // 1-31
    int hour;
    int minute;
    int second;
    int millisecond;
};

LocalDateTime localDateTime();

// A monotonic clock in microseconds, for the loop's tick.
std::int64_t monotonicMicros();

// Microseconds since 1970-01-01 00:00 UTC, for time stamps other programs read.
std::int64_t wallClockMicros();

// Output files. A handle wide enough for both POSIX descriptors and Windows HANDLE values.
using FileHandle = std::intptr_t;
inline constexpr FileHandle invalidFile = -1;

struct FileResult {
    FileHandle file; // invalidFile on failure
    int errorCode;
};

// Creates the file, or empties it if it exists, for writing; path is UTF-8. Other programs may
// read it while it is written.
FileResult createFile(std::string_view path);

struct FileWriteResult {
    bool failed; // errorCode tells why (a full disk, a broken device)
    int errorCode;
};

// Writes all the bytes, handing them straight to the OS: once it returns they survive the
// process ending, however it ends. Nothing is kept back to flush, and nothing waits for the disk
// itself.
FileWriteResult writeFile(FileHandle file, std::span<const std::uint8_t> bytes);

void closeFile(FileHandle file);

} // namespace platform
