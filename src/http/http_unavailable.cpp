// The HTTP server of a build without an HTTP library (Debian has no MinGW libmicrohttpd): it
// refuses to start, naming why.
#include "http/http_server.h"

bool httpAvailable() {
    return false;
}

HttpStart httpStart(const HttpOptions &) {
    return {false, 0, "--http: the watch page is not available in this build (Linux only for now)"};
}

bool httpRunning() {
    return false;
}

platform::SocketHandle httpWaitHandle() {
    return platform::invalidSocket;
}

std::int64_t httpWaitLimit(std::int64_t) {
    return INT64_MAX;
}

void httpPass(std::int64_t, bool) {}

void httpStop() {}
