// The real program as its own process: started with arguments, stdin from /dev/null, its output
// on pipes, in a file or on a descriptor the test owns; stopped with a signal within a time
// limit, and killed if it is still running when the test lets go of it.
#pragma once

#include <csignal>
#include <string>
#include <sys/types.h>
#include <utility>
#include <vector>

// Where a started program's standard output or standard error goes.
struct OutputTarget {
    enum class Kind { pipe, file, descriptor, inherit };
    Kind kind = Kind::pipe;
    std::string path; // Kind::file: created, or emptied if it exists
    // Kind::descriptor: the program gets a copy; the test keeps and closes it. The write end of
    // a pipe the test reads should be close-on-exec (pipe2 with O_CLOEXEC), so that only that
    // copy reaches the program and the read sees the end when the program exits.
    int fd = -1;

    // A pipe whose read end the ChildProcess holds.
    static OutputTarget toPipe() { return {}; }
    static OutputTarget toFile(std::string filePath) {
        return {Kind::file, std::move(filePath), -1};
    }
    static OutputTarget toDescriptor(int descriptor) { return {Kind::descriptor, {}, descriptor}; }
    // The test program's own stream.
    static OutputTarget inherited() { return {Kind::inherit, {}, -1}; }
};

// The plcdouble built with these tests.
std::string plcdoubleBinary();

struct StartOptions {
    std::string binary = plcdoubleBinary();
    OutputTarget standardOutput = OutputTarget::toPipe();
    OutputTarget standardError = OutputTarget::toPipe();
};

class ChildProcess {
public:
    // Starts options.binary with the arguments (argv[0] is the binary itself). A start that
    // fails is a test failure, and running() is false.
    static ChildProcess start(const std::vector<std::string> &arguments,
                              const StartOptions &options = {});

    ChildProcess() = default;
    ~ChildProcess();
    ChildProcess(ChildProcess &&other) noexcept;
    ChildProcess &operator=(ChildProcess &&other) noexcept;
    ChildProcess(const ChildProcess &) = delete;
    ChildProcess &operator=(const ChildProcess &) = delete;

    // Started and not yet waited for.
    bool running() const { return id > 0; }
    pid_t pid() const { return id; }
    // The read ends of the output pipes; -1 where that output goes elsewhere.
    int outputFd() const { return outputPipe; }
    int errorFd() const { return errorPipe; }

    // What the program wrote until text appears, its pipe ends, or the time is up.
    std::string readOutputUntil(const std::string &text, int timeoutMs = 10000);
    std::string readErrorUntil(const std::string &text, int timeoutMs = 10000);

    // Waits for the program to end and returns its exit status, or 128 + the signal that ended
    // it; -1 if it did not end within timeoutMs, in which case it is killed.
    int waitForExit(int timeoutMs = 10000);
    // Sends signal, then waits as waitForExit does.
    int stop(int signal = SIGTERM, int timeoutMs = 10000);

private:
    void release();

    pid_t id = -1;
    int outputPipe = -1;
    int errorPipe = -1;
};

// Reads from fd until text appears, the stream ends, or the time is up; returns what it read.
std::string readUntil(int fd, const std::string &text, int timeoutMs = 10000);
