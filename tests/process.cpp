#include "process.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <utility>

extern char **environ;

namespace {

using Clock = std::chrono::steady_clock;

// Arranges for the child's stream to go to target; returns 0 or an error number. For a pipe,
// readEnd and writeEnd receive its ends; the write end is the caller's to close once the child
// has its copy.
int redirect(posix_spawn_file_actions_t &actions, int stream, const OutputTarget &target,
             int &readEnd, int &writeEnd) {
    switch (target.kind) {
    case OutputTarget::Kind::pipe: {
        int ends[2];
        // Close-on-exec, so no other child inherits them; the copy made for this child is not.
        if (::pipe2(ends, O_CLOEXEC) != 0) {
            return errno;
        }
        readEnd = ends[0];
        writeEnd = ends[1];
        return posix_spawn_file_actions_adddup2(&actions, writeEnd, stream);
    }
    case OutputTarget::Kind::file:
        return posix_spawn_file_actions_addopen(&actions, stream, target.path.c_str(),
                                                O_WRONLY | O_CREAT | O_TRUNC, 0644);
    case OutputTarget::Kind::descriptor:
        return posix_spawn_file_actions_adddup2(&actions, target.fd, stream);
    case OutputTarget::Kind::inherit:
        return 0;
    }
    return EINVAL;
}

void closeIfOpen(int &fd) {
    if (fd >= 0) {
        ::close(fd);
        fd = -1;
    }
}

} // namespace

std::string plcdoubleBinary() {
    return PLCDOUBLE_BINARY;
}

ChildProcess ChildProcess::start(const std::vector<std::string> &arguments,
                                 const StartOptions &options) {
    ChildProcess child;
    int outputWriteEnd = -1;
    int errorWriteEnd = -1;
    std::vector<std::string> copies = arguments;
    std::string binary = options.binary;
    std::vector<char *> argv = {binary.data()};
    for (std::string &argument : copies) {
        argv.push_back(argument.data());
    }
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    int result = posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    if (result == 0) {
        result = redirect(actions, STDOUT_FILENO, options.standardOutput, child.outputPipe,
                          outputWriteEnd);
    }
    if (result == 0) {
        result =
            redirect(actions, STDERR_FILENO, options.standardError, child.errorPipe, errorWriteEnd);
    }
    if (result == 0) {
        result = ::posix_spawn(&child.id, binary.c_str(), &actions, nullptr, argv.data(), environ);
    }
    posix_spawn_file_actions_destroy(&actions);
    closeIfOpen(outputWriteEnd);
    closeIfOpen(errorWriteEnd);
    if (result != 0) {
        child.id = -1;
        child.release();
        ADD_FAILURE() << "cannot start " << binary << ": " << std::strerror(result);
    }
    return child;
}

ChildProcess::~ChildProcess() {
    if (id > 0) {
        ::kill(id, SIGKILL);
        ::waitpid(id, nullptr, 0);
    }
    release();
}

ChildProcess::ChildProcess(ChildProcess &&other) noexcept
    : id(std::exchange(other.id, -1)), outputPipe(std::exchange(other.outputPipe, -1)),
      errorPipe(std::exchange(other.errorPipe, -1)) {}

ChildProcess &ChildProcess::operator=(ChildProcess &&other) noexcept {
    if (this != &other) {
        ChildProcess old(std::move(*this));
        id = std::exchange(other.id, -1);
        outputPipe = std::exchange(other.outputPipe, -1);
        errorPipe = std::exchange(other.errorPipe, -1);
    }
    return *this;
}

void ChildProcess::release() {
    closeIfOpen(outputPipe);
    closeIfOpen(errorPipe);
}

std::string ChildProcess::readOutputUntil(const std::string &text, int timeoutMs) {
    EXPECT_GE(outputPipe, 0) << "standard output is not on a pipe";
    return readUntil(outputPipe, text, timeoutMs);
}

std::string ChildProcess::readErrorUntil(const std::string &text, int timeoutMs) {
    EXPECT_GE(errorPipe, 0) << "standard error is not on a pipe";
    return readUntil(errorPipe, text, timeoutMs);
}

int ChildProcess::waitForExit(int timeoutMs) {
    if (id <= 0) {
        return -1;
    }
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    int status = 0;
    for (;;) {
        if (::waitpid(id, &status, WNOHANG) == id) {
            id = -1;
            return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        }
        if (Clock::now() >= deadline) {
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ::kill(id, SIGKILL);
    ::waitpid(id, nullptr, 0);
    id = -1;
    return -1;
}

int ChildProcess::stop(int signal, int timeoutMs) {
    if (id > 0) {
        ::kill(id, signal);
    }
    return waitForExit(timeoutMs);
}

std::string readUntil(int fd, const std::string &text, int timeoutMs) {
    std::string seen;
    if (fd < 0) {
        return seen;
    }
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (seen.find(text) == std::string::npos && Clock::now() < deadline) {
        pollfd watched{fd, POLLIN, 0};
        if (::poll(&watched, 1, 100) <= 0) {
            continue;
        }
        char buffer[4096];
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n <= 0) {
            break;
        }
        seen.append(buffer, static_cast<std::size_t>(n));
    }
    return seen;
}
