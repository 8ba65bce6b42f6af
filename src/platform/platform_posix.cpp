// POSIX implementation of the platform layer: BSD sockets, poll, termios, signals.
#include "platform/platform.h"

#include "platform/ansi_colour.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pthread.h>
#include <sys/epoll.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

namespace platform {
namespace {

volatile std::sig_atomic_t stopSignalled = 0;
// Set by SIGCONT (the shell's fg or bg): the process may have changed sides of the terminal.
volatile std::sig_atomic_t continueSignalled = 0;

// The console is watched for keys only while the process is the terminal's foreground job and
// has put it into single-key mode. A background job never touches the terminal: changing its
// mode would stop the process with SIGTTOU, and a key typed there is meant for another job.
bool consoleWanted = false; // consoleStart ran and stdin is a terminal
bool terminalOwned = false; // single-key mode set by us, in the foreground as last seen
bool terminalSaved = false; // savedTerminal holds the mode to restore

// A worker thread (the log writer, the retained memory's saver) and what it shares with the
// loop thread. Statically initialised and never destroyed: a log writer stuck in a write
// outlives main.
struct WorkerShare {
    pthread_mutex_t mutex;
    pthread_cond_t condition;
    void (*body)(void *);
    void *context;
};
WorkerShare logShare{PTHREAD_MUTEX_INITIALIZER, PTHREAD_COND_INITIALIZER, nullptr, nullptr};
WorkerShare saverShare{PTHREAD_MUTEX_INITIALIZER, PTHREAD_COND_INITIALIZER, nullptr, nullptr};

void *runWorker(void *share) {
    const WorkerShare &worker = *static_cast<WorkerShare *>(share);
    worker.body(worker.context);
    return nullptr;
}

// The saver's nice value: on Linux each thread has its own.
constexpr int saverNiceness = 10;

void *runSaverWorker(void *share) {
    ::setpriority(PRIO_PROCESS, static_cast<id_t>(::gettid()), saverNiceness);
    return runWorker(share);
}
termios savedTerminal{};
// The parent as the process found it at start, before anything could have ended it.
const pid_t startingParent = ::getppid();

// The send buffer asked for when a connection's last bytes must be taken at once.
constexpr std::size_t closingSendBuffer = std::size_t{1024} * 1024;

int descriptor(SocketHandle socket) {
    return static_cast<int>(socket);
}

void onStopSignal(int /*signal*/) {
    stopSignalled = 1;
}

void onContinueSignal(int /*signal*/) {
    continueSignalled = 1;
}

void installStopHandlers() {
    struct sigaction action {};
    action.sa_handler = onStopSignal;
    sigemptyset(&action.sa_mask);
    // No SA_RESTART: the signal must cut a readiness wait short.
    action.sa_flags = 0;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    action.sa_handler = onContinueSignal;
    sigaction(SIGCONT, &action, nullptr);
}

bool inForeground() {
    return ::tcgetpgrp(STDIN_FILENO) == ::getpgrp();
}

// Puts the terminal into single-key mode when the process is its foreground job; in the
// background gives it up without touching it. The mode to restore is read on the first claim
// only: on a later one (fg after Ctrl+Z, a SIGCONT without a stop) the terminal may still be in
// our own single-key mode.
void claimTerminal() {
    if (!consoleWanted || !inForeground()) {
        terminalOwned = false;
        return;
    }
    if (!terminalSaved) {
        if (tcgetattr(STDIN_FILENO, &savedTerminal) != 0) {
            return;
        }
        terminalSaved = true;
    }
    termios raw = savedTerminal;
    // Single keys, no echo; Ctrl+C still raises SIGINT, Ctrl+Z still stops the job.
    raw.c_lflag &= static_cast<tcflag_t>(~(ICANON | ECHO));
    raw.c_cc[VMIN] = 1;
    raw.c_cc[VTIME] = 0;
    terminalOwned = tcsetattr(STDIN_FILENO, TCSANOW, &raw) == 0;
}

bool keyPressWaiting() {
    pollfd input{STDIN_FILENO, POLLIN, 0};
    if (poll(&input, 1, 0) <= 0 || (input.revents & POLLIN) == 0) {
        return false;
    }
    // Moved to the background without a stop (another job was given the terminal): the key is
    // not ours, and from now on the console is not watched.
    if (!inForeground()) {
        terminalOwned = false;
        return false;
    }
    return true;
}

void writeAll(std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t written = ::write(STDOUT_FILENO, bytes.data(), bytes.size());
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            return; // a closed or broken stdout is not the server's concern
        }
        bytes.remove_prefix(static_cast<std::size_t>(written));
    }
}

} // namespace

int startNetwork() {
    // A client that vanishes must never kill the server through SIGPIPE, whatever path a
    // write takes.
    std::signal(SIGPIPE, SIG_IGN);
    // A plant of PLCs needs a descriptor per listener and per client, past the 1024 many
    // systems allow by default: the soft limit goes up to what the hard limit allows.
    rlimit files{};
    if (::getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < files.rlim_max) {
        files.rlim_cur = files.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &files);
    }
    return 0;
}

ListenResult openListener(Ipv4Address address, std::uint16_t port, int backlog) {
    ListenResult result{invalidSocket, ListenStep::create, 0, port};
    const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, IPPROTO_TCP);
    if (listener < 0) {
        result.errorCode = errno;
        return result;
    }
    // Restarting the server must not wait for old connections in TIME_WAIT.
    const int enable = 1;
    setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &enable, sizeof enable);

    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = htons(port);
    std::memcpy(&local.sin_addr.s_addr, address.data(), address.size());
    if (::bind(listener, reinterpret_cast<const sockaddr *>(&local), sizeof local) != 0) {
        result.failedAt = ListenStep::bind;
        result.errorCode = errno;
        ::close(listener);
        return result;
    }
    if (::listen(listener, backlog) != 0) {
        result.failedAt = ListenStep::listen;
        result.errorCode = errno;
        ::close(listener);
        return result;
    }
    sockaddr_in bound{};
    socklen_t boundLength = sizeof bound;
    if (::getsockname(listener, reinterpret_cast<sockaddr *>(&bound), &boundLength) == 0) {
        result.port = ntohs(bound.sin_port);
    }
    result.socket = listener;
    return result;
}

bool ipv4Endpoint(const void *socketAddress, Ipv4Address &address, std::uint16_t &port) {
    sockaddr_in endpoint{};
    std::memcpy(&endpoint.sin_family, socketAddress, sizeof endpoint.sin_family);
    if (endpoint.sin_family != AF_INET) {
        return false;
    }
    std::memcpy(&endpoint, socketAddress, sizeof endpoint);
    std::memcpy(address.data(), &endpoint.sin_addr.s_addr, address.size());
    port = ntohs(endpoint.sin_port);
    return true;
}

AcceptResult acceptConnection(SocketHandle listener) {
    AcceptResult result{invalidSocket, {}, 0, {}};
    sockaddr_in peer{};
    socklen_t peerLength = sizeof peer;
    // Linux does not pass the listener's non-blocking mode on to accepted sockets.
    const int client = ::accept4(descriptor(listener), reinterpret_cast<sockaddr *>(&peer),
                                 &peerLength, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (client < 0) {
        return result;
    }
    const int enable = 1;
    setsockopt(client, IPPROTO_TCP, TCP_NODELAY, &enable, sizeof enable);
    std::memcpy(result.peer.data(), &peer.sin_addr.s_addr, result.peer.size());
    result.peerPort = ntohs(peer.sin_port);
    sockaddr_in local{};
    socklen_t localLength = sizeof local;
    if (::getsockname(client, reinterpret_cast<sockaddr *>(&local), &localLength) == 0) {
        std::memcpy(result.local.data(), &local.sin_addr.s_addr, result.local.size());
    }
    result.socket = client;
    return result;
}

ReceiveResult receiveBytes(SocketHandle socket, std::span<std::uint8_t> into) {
    const ssize_t received = ::recv(descriptor(socket), into.data(), into.size(), 0);
    if (received > 0) {
        return {ReceiveOutcome::data, static_cast<std::size_t>(received), 0};
    }
    if (received == 0) {
        return {ReceiveOutcome::peerClosed, 0, 0};
    }
    const int error = errno;
    switch (error) {
    case EAGAIN:
#if EWOULDBLOCK != EAGAIN
    case EWOULDBLOCK:
#endif
    case EINTR:
        return {ReceiveOutcome::noData, 0, error};
    case ENETDOWN:
    case ECONNABORTED:
    case ECONNRESET:
    case ENOTCONN:
    case ESHUTDOWN:
    case ETIMEDOUT:
        return {ReceiveOutcome::connectionLost, 0, error};
    default:
        return {ReceiveOutcome::otherError, 0, error};
    }
}

SendResult sendBytes(SocketHandle socket, std::span<const std::uint8_t> bytes) {
    for (;;) {
        const ssize_t sent = ::send(descriptor(socket), bytes.data(), bytes.size(), MSG_NOSIGNAL);
        if (sent >= 0) {
            return {false, static_cast<std::size_t>(sent), 0};
        }
        if (errno == EINTR) {
            continue;
        }
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
            return {false, 0, 0};
        }
        return {true, 0, errno};
    }
}

void reserveSendRoom(SocketHandle socket, std::size_t count) {
    int current = 0;
    socklen_t length = sizeof current;
    if (::getsockopt(descriptor(socket), SOL_SOCKET, SO_SNDBUF, &current, &length) != 0) {
        return;
    }
    // What fills the buffer is replies the client has not read, counted with the OS's own
    // bookkeeping, which can be several times the buffer's nominal size; so ask for a large
    // buffer (the OS caps it at its maximum), not for the few bytes to come. The memory is used
    // only by bytes actually queued. Never shrink a buffer the OS has grown beyond that.
    const int asked = static_cast<int>(closingSendBuffer + std::min(count, closingSendBuffer));
    if (current >= asked) {
        return;
    }
    ::setsockopt(descriptor(socket), SOL_SOCKET, SO_SNDBUF, &asked, sizeof asked);
    int granted = 0;
    length = sizeof granted;
    if (::getsockopt(descriptor(socket), SOL_SOCKET, SO_SNDBUF, &granted, &length) == 0 &&
        granted < current) {
        ::setsockopt(descriptor(socket), SOL_SOCKET, SO_SNDBUF, &current, sizeof current);
    }
}

void closeSocket(SocketHandle socket) {
    if (socket != invalidSocket) {
        ::close(descriptor(socket));
    }
}

void *openSharedLibrary(const char *name, std::string &error) {
    void *library = ::dlopen(name, RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) {
        const char *why = ::dlerror();
        error = why != nullptr ? why : name;
    }
    return library;
}

SharedFunction sharedLibraryFunction(void *library, const char *name) {
    // POSIX guarantees a function's address survives the trip through void *.
    return reinterpret_cast<SharedFunction>(::dlsym(library, name));
}

void abortOnClose(SocketHandle socket) {
    const linger abortive{1, 0};
    ::setsockopt(descriptor(socket), SOL_SOCKET, SO_LINGER, &abortive, sizeof abortive);
}

namespace {

std::uint32_t epollEvents(Interest interest) {
    switch (interest) {
    case Interest::none:
        return 0;
    case Interest::read:
        return EPOLLIN;
    case Interest::write:
        return EPOLLOUT;
    }
    return 0;
}

} // namespace

struct WaitSet {
    int descriptor = -1;
    bool incomplete = false; // a socket could not be added: the set does not know everything
    // Left uninitialised: the kernel writes only as many as are ready, so the pages of a large
    // room it never fills are never touched (and cost no resident memory).
    std::unique_ptr<epoll_event[]> events;
    std::size_t room = 0;
};

void WaitSetClose::operator()(WaitSet *set) const {
    if (set->descriptor >= 0) {
        ::close(set->descriptor);
    }
    delete set;
}

WaitSetHandle openWaitSet(int &errorCode) {
    WaitSetHandle set(new WaitSet);
    set->descriptor = ::epoll_create1(EPOLL_CLOEXEC);
    if (set->descriptor < 0) {
        errorCode = errno;
        return nullptr;
    }
    errorCode = 0;
    return set;
}

bool watchSocket(WaitSet &set, SocketHandle socket, std::uint64_t tag, Interest interest) {
    epoll_event event{};
    event.events = epollEvents(interest);
    event.data.u64 = tag;
    if (::epoll_ctl(set.descriptor, EPOLL_CTL_ADD, descriptor(socket), &event) != 0) {
        set.incomplete = true;
        return false;
    }
    return true;
}

void changeWatch(WaitSet &set, SocketHandle socket, std::uint64_t tag, Interest interest) {
    epoll_event event{};
    event.events = epollEvents(interest);
    event.data.u64 = tag;
    ::epoll_ctl(set.descriptor, EPOLL_CTL_MOD, descriptor(socket), &event);
}

void unwatchSocket(WaitSet &set, SocketHandle socket) {
    ::epoll_ctl(set.descriptor, EPOLL_CTL_DEL, descriptor(socket), nullptr);
}

WaitResult waitForReady(WaitSet &set, std::span<std::uint64_t> ready, bool watchConsole,
                        std::int64_t timeoutMicros) {
    if (stopSignalled != 0) {
        return {false, 0};
    }
    // To the microsecond (a program's cycle starts on time, not up to a millisecond late), at
    // most an hour; a set that does not know everything looks again within a millisecond.
    std::int64_t micros = std::clamp<std::int64_t>(timeoutMicros, 0, 3'600'000'000);
    if (set.incomplete) {
        micros = std::min<std::int64_t>(micros, 1000);
    }
    timespec timeout{static_cast<time_t>(micros / 1'000'000),
                     static_cast<long>(micros % 1'000'000 * 1000)};
    if (watchConsole && terminalOwned) {
        // The console is watched beside the set, not in it: it comes and goes with the
        // terminal's foreground job.
        std::array<pollfd, 2> watched{pollfd{set.descriptor, POLLIN, 0},
                                      pollfd{STDIN_FILENO, POLLIN, 0}};
        if (::ppoll(watched.data(), watched.size(), &timeout, nullptr) < 0) {
            return {false, 0};
        }
        timeout = {};
    }
    const std::size_t room = std::min<std::size_t>(ready.size(), INT_MAX);
    if (room > set.room) {
        set.events = std::make_unique_for_overwrite<epoll_event[]>(room);
        set.room = room;
    }
    int count =
        ::epoll_pwait2(set.descriptor, set.events.get(), static_cast<int>(room), &timeout, nullptr);
    if (count < 0 && errno == ENOSYS) {
        // A kernel before 5.11: to the millisecond, rounded up so a deadline is never early.
        count = ::epoll_wait(set.descriptor, set.events.get(), static_cast<int>(room),
                             static_cast<int>((micros + 999) / 1000));
    }
    if (count < 0) {
        return {false, 0}; // interrupted: no verdicts, the next calls ask the OS
    }
    for (int index = 0; index < count; ++index) {
        ready[static_cast<std::size_t>(index)] =
            set.events[static_cast<std::size_t>(index)].data.u64;
    }
    return {!set.incomplete, static_cast<std::size_t>(count)};
}

std::string describeError(int errorCode) {
    // The GNU strerror_r: the text, in the buffer or a static one, never shared with a thread.
    std::array<char, 256> buffer{};
    return ::strerror_r(errorCode, buffer.data(), buffer.size());
}

std::string listenFailureHint(int errorCode, std::uint16_t port) {
    constexpr std::uint16_t firstUnprivilegedPort = 1024;
    if ((errorCode == EACCES || errorCode == EPERM) && port < firstUnprivilegedPort) {
        return " - use --port with a port above 1023, or give the program the capability to bind "
               "low ports (setcap cap_net_bind_service=+ep)";
    }
    return {};
}

void consoleStart() {
    installStopHandlers();
    consoleWanted = stdinIsTerminal();
    claimTerminal();
}

void consoleRestore() {
    // Restored only from the foreground: in the background the shell has put back its own mode
    // when the job was stopped, and writing it would stop the process with SIGTTOU.
    if (terminalOwned && inForeground()) {
        tcsetattr(STDIN_FILENO, TCSANOW, &savedTerminal);
    }
    consoleWanted = false;
    terminalOwned = false;
    terminalSaved = false;
}

bool stdinIsTerminal() {
    return ::isatty(STDIN_FILENO) == 1;
}

bool stdoutIsTerminal() {
    return ::isatty(STDOUT_FILENO) == 1;
}

int processId() {
    return static_cast<int>(::getpid());
}

std::string stopWithParent() {
    if (::prctl(PR_SET_PDEATHSIG, SIGTERM) != 0) {
        return "cannot follow the parent process: " + describeError(errno);
    }
    // A parent that ended before the call leaves this process to another one, and no signal
    // comes for it.
    if (::getppid() != startingParent) {
        stopSignalled = 1;
    }
    return {};
}

bool stopRequested() {
    if (stopSignalled != 0) {
        return true;
    }
    if (continueSignalled != 0) {
        // fg takes the terminal back into single-key mode, bg leaves it alone.
        continueSignalled = 0;
        claimTerminal();
    }
    return terminalOwned && keyPressWaiting();
}

void writeConsoleLines(std::span<const ConsoleLine> lines, bool colour) {
    // Whole lines gathered into writes of at most PIPE_BUF bytes: a pipe takes each in one
    // piece, so lines never interleave with another writer's, and none waits in a buffer.
    constexpr std::size_t longestLine = 512;
    static_assert(longestLine <= PIPE_BUF);
    std::array<char, PIPE_BUF> out{};
    std::size_t length = 0;
    for (const ConsoleLine &line : lines) {
        if (out.size() - length < longestLine) {
            writeAll({out.data(), length});
            length = 0;
        }
        const std::size_t end = length + longestLine - 1; // room for the line end
        const auto append = [&](std::string_view part) {
            const std::size_t take = std::min(part.size(), end - length);
            std::memcpy(out.data() + length, part.data(), take);
            length += take;
        };
        const bool coloured = colour && line.attribute != 7;
        if (coloured) {
            append(ansiSequenceFor(line.attribute).view());
        }
        append(line.text);
        if (coloured) {
            append(ansiReset);
        }
        out[length++] = '\n';
    }
    writeAll({out.data(), length});
}

namespace {

bool startWorker(WorkerShare &share, void (*body)(void *), void *context,
                 void *(*run)(void *) = runWorker) {
    // The new thread inherits the signal mask: with the stop signals and SIGCONT (fg, bg)
    // blocked there, their handlers always run on the loop thread and cut its poll short.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGCONT);
    sigset_t previous;
    pthread_sigmask(SIG_BLOCK, &stopSignals, &previous);
    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
    pthread_t thread{};
    share.body = body;
    share.context = context;
    const int created = pthread_create(&thread, &attributes, run, &share);
    pthread_attr_destroy(&attributes);
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    return created == 0;
}

void waitWorker(WorkerShare &share, std::int64_t timeoutMicros) {
    if (timeoutMicros < 0) {
        pthread_cond_wait(&share.condition, &share.mutex);
        return;
    }
    timespec deadline{};
    clock_gettime(CLOCK_MONOTONIC, &deadline);
    const std::int64_t nanos = deadline.tv_nsec + timeoutMicros % 1'000'000 * 1000;
    deadline.tv_sec += static_cast<time_t>(timeoutMicros / 1'000'000 + nanos / 1'000'000'000);
    deadline.tv_nsec = static_cast<long>(nanos % 1'000'000'000);
    pthread_cond_clockwait(&share.condition, &share.mutex, CLOCK_MONOTONIC, &deadline);
}

// The descriptor for the path, retrying when a signal cuts the call short.
int openRetrying(const std::string &path, int flags, mode_t mode = 0) {
    for (;;) {
        const int fd = ::open(path.c_str(), flags | O_CLOEXEC, mode);
        if (fd >= 0 || errno != EINTR) {
            return fd;
        }
    }
}

int writeWhole(int fd, std::span<const std::uint8_t> bytes) {
    while (!bytes.empty()) {
        const ssize_t written = ::write(fd, bytes.data(), bytes.size());
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written < 0) {
            return errno;
        }
        bytes = bytes.subspan(static_cast<std::size_t>(written));
    }
    return 0;
}

} // namespace

bool startLogThread(void (*body)(void *), void *context) {
    return startWorker(logShare, body, context);
}

void lockLog() {
    pthread_mutex_lock(&logShare.mutex);
}

void unlockLog() {
    pthread_mutex_unlock(&logShare.mutex);
}

void waitLog(std::int64_t timeoutMicros) {
    waitWorker(logShare, timeoutMicros);
}

void wakeLogWaiters() {
    pthread_cond_broadcast(&logShare.condition);
}

bool startSaverThread(void (*body)(void *), void *context) {
    return startWorker(saverShare, body, context, runSaverWorker);
}

void lockSaver() {
    pthread_mutex_lock(&saverShare.mutex);
}

bool tryLockSaver() {
    return pthread_mutex_trylock(&saverShare.mutex) == 0;
}

void unlockSaver() {
    pthread_mutex_unlock(&saverShare.mutex);
}

void waitSaver(std::int64_t timeoutMicros) {
    waitWorker(saverShare, timeoutMicros);
}

void wakeSaverWaiters() {
    pthread_cond_broadcast(&saverShare.condition);
}

FileRead readFile(const std::string &path, std::size_t limit) {
    FileRead result{0, {}};
    const int fd = openRetrying(path, O_RDONLY);
    if (fd < 0) {
        result.errorCode = errno;
        return result;
    }
    result.bytes.resize(limit);
    std::size_t count = 0;
    while (count < limit) {
        const ssize_t got = ::read(fd, result.bytes.data() + count, limit - count);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0) {
            result.errorCode = errno;
            break;
        }
        if (got == 0) {
            break;
        }
        count += static_cast<std::size_t>(got);
    }
    ::close(fd);
    result.bytes.resize(count);
    return result;
}

int writeFileToDisk(const std::string &path, std::span<const std::span<const std::uint8_t>> parts) {
    const int fd = openRetrying(path, O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0) {
        return errno;
    }
    int error = 0;
    for (const std::span<const std::uint8_t> part : parts) {
        error = writeWhole(fd, part);
        if (error != 0) {
            break;
        }
    }
    if (error == 0 && ::fsync(fd) != 0) {
        error = errno;
    }
    // A failed close may report a write the disk refused late (NFS): the file is not whole then.
    if (::close(fd) != 0 && error == 0 && errno != EINTR) {
        error = errno;
    }
    if (error != 0) {
        ::unlink(path.c_str());
    }
    return error;
}

int replaceFile(const std::string &from, const std::string &to) {
    return ::rename(from.c_str(), to.c_str()) == 0 ? 0 : errno;
}

int flushFolder(const std::string &path) {
    const int fd = openRetrying(path, O_RDONLY | O_DIRECTORY);
    if (fd < 0) {
        return errno;
    }
    const int error = ::fsync(fd) == 0 ? 0 : errno;
    ::close(fd);
    return error;
}

int removeFile(const std::string &path) {
    return ::unlink(path.c_str()) == 0 ? 0 : errno;
}

int createFolder(const std::string &path) {
    if (::mkdir(path.c_str(), 0755) == 0 || errno == EEXIST) {
        return 0;
    }
    return errno;
}

FolderListing listFolder(const std::string &path) {
    FolderListing listing{0, {}};
    DIR *folder = ::opendir(path.c_str());
    if (folder == nullptr) {
        listing.errorCode = errno;
        return listing;
    }
    for (;;) {
        errno = 0;
        const dirent *entry = ::readdir(folder);
        if (entry == nullptr) {
            listing.errorCode = errno;
            break;
        }
        const std::string_view name = entry->d_name;
        if (name != "." && name != "..") {
            listing.names.emplace_back(name);
        }
    }
    ::closedir(folder);
    return listing;
}

bool isMissingError(int errorCode) {
    return errorCode == ENOENT;
}

LocalTime localTime() {
    const std::time_t now = std::time(nullptr);
    std::tm parts{};
    localtime_r(&now, &parts);
    return {parts.tm_hour, parts.tm_min, parts.tm_sec};
}

LocalDateTime localDateTime() {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    const std::time_t seconds = now.tv_sec;
    std::tm parts{};
    localtime_r(&seconds, &parts);
    return {parts.tm_year + 1900,
            parts.tm_mon + 1,
            parts.tm_mday,
            parts.tm_hour,
            parts.tm_min,
            parts.tm_sec,
            static_cast<int>(now.tv_nsec / 1'000'000)};
}

std::int64_t monotonicMicros() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1'000'000 + now.tv_nsec / 1000;
}

std::int64_t wallClockMicros() {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1'000'000 + now.tv_nsec / 1000;
}

FileResult createFile(std::string_view path) {
    const std::string terminated(path);
    const int file = ::open(terminated.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (file < 0) {
        return {invalidFile, errno};
    }
    return {file, 0};
}

FileWriteResult writeFile(FileHandle file, std::span<const std::uint8_t> bytes) {
    while (!bytes.empty()) {
        const ssize_t written = ::write(static_cast<int>(file), bytes.data(), bytes.size());
        if (written < 0) {
            if (errno == EINTR) {
                continue;
            }
            return {true, errno};
        }
        if (written == 0) {
            return {true, ENOSPC}; // never for a file, but it must not loop forever
        }
        // A short write means the disk took what it could; the next write reports why.
        bytes = bytes.subspan(static_cast<std::size_t>(written));
    }
    return {false, 0};
}

void closeFile(FileHandle file) {
    if (file != invalidFile) {
        ::close(static_cast<int>(file));
    }
}

} // namespace platform
