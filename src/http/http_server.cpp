// libmicrohttpd in external polling mode: its epoll descriptor joins the loop's readiness wait and
// MHD_run does the work of one pass, never waiting. The event streams are responses whose
// content comes from a callback; a stream with nothing to send suspends its connection, and the
// loop resumes it when the 100 ms refresh has produced events.
#include "http/http_server.h"

#include "core/log.h"
#include "http/event_stream.h"
#include "http/http_api.h"

#include <microhttpd.h>

#include <algorithm>
#include <array>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <list>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

namespace {

struct Stream {
    MHD_Connection *connection;
    Plc *plc; // the PLC the stream was opened for
    bool suspended;
    EventStream events;
};

// One request while its body arrives, and while a long poll holds it.
struct Pending {
    std::string body;
    std::size_t limit; // largestBodyFor the method and path
    bool tooLarge;
    bool polling = false;            // held, its connection suspended
    std::optional<HttpReply> answer; // the long poll's answer, queued once it is resumed
};

// A journal long poll waiting for a write after `since`, or for its deadline.
struct JournalPoll {
    MHD_Connection *connection;
    Plc *plc; // whose journal it waits on
    Pending *pending;
    std::uint64_t since;
    std::int64_t deadlineMicros;
};

// libmicrohttpd is opened when the page is asked for, not at program start: it brings GnuTLS and
// the libraries behind it, which would run their start-up code in every server and more than
// double the memory of one that never serves the page.
struct Library {
    decltype(&MHD_add_response_header) addResponseHeader;
    decltype(&MHD_create_response_from_buffer) createResponseFromBuffer;
    decltype(&MHD_create_response_from_callback) createResponseFromCallback;
    decltype(&MHD_destroy_response) destroyResponse;
    decltype(&MHD_get_connection_info) getConnectionInfo;
    decltype(&MHD_get_connection_values) getConnectionValues;
    decltype(&MHD_get_daemon_info) getDaemonInfo;
    decltype(&MHD_get_timeout) getTimeout;
    decltype(&MHD_lookup_connection_value) lookupConnectionValue;
    decltype(&MHD_queue_response) queueResponse;
    decltype(&MHD_resume_connection) resumeConnection;
    decltype(&MHD_run) run;
    decltype(&MHD_start_daemon) startDaemon;
    decltype(&MHD_stop_daemon) stopDaemon;
    decltype(&MHD_suspend_connection) suspendConnection;
};
Library mhd{};
bool libraryLoaded = false;

std::string loadLibrary() {
    if (libraryLoaded) {
        return "";
    }
    std::string error;
    void *library = platform::openSharedLibrary(PLCDOUBLE_MHD_LIBRARY, error);
    if (library == nullptr) {
        return "cannot load " PLCDOUBLE_MHD_LIBRARY " for the watch page: " + error;
    }
    const char *missing = nullptr;
    const auto bind = [library, &missing](auto &function, const char *name) {
        function = reinterpret_cast<std::remove_reference_t<decltype(function)>>(
            platform::sharedLibraryFunction(library, name));
        if (function == nullptr && missing == nullptr) {
            missing = name;
        }
        return function != nullptr;
    };
    if (!(bind(mhd.addResponseHeader, "MHD_add_response_header") &&
          bind(mhd.createResponseFromBuffer, "MHD_create_response_from_buffer") &&
          bind(mhd.createResponseFromCallback, "MHD_create_response_from_callback") &&
          bind(mhd.destroyResponse, "MHD_destroy_response") &&
          bind(mhd.getConnectionInfo, "MHD_get_connection_info") &&
          bind(mhd.getConnectionValues, "MHD_get_connection_values") &&
          bind(mhd.getDaemonInfo, "MHD_get_daemon_info") &&
          bind(mhd.getTimeout, "MHD_get_timeout") &&
          bind(mhd.lookupConnectionValue, "MHD_lookup_connection_value") &&
          bind(mhd.queueResponse, "MHD_queue_response") &&
          bind(mhd.resumeConnection, "MHD_resume_connection") && bind(mhd.run, "MHD_run") &&
          bind(mhd.startDaemon, "MHD_start_daemon") && bind(mhd.stopDaemon, "MHD_stop_daemon") &&
          bind(mhd.suspendConnection, "MHD_suspend_connection"))) {
        return std::string(PLCDOUBLE_MHD_LIBRARY " has no ") + missing;
    }
    libraryLoaded = true;
    return "";
}

MHD_Daemon *httpDaemon = nullptr;
HttpPlant servedPlant;
HttpAccess servedAccess{};
std::list<Stream> streams; // stable addresses: the library holds pointers to them
std::vector<JournalPoll> polls;
std::int64_t nextRefreshMicros = 0;
bool stopping = false; // every stream ends at its next read
// When the library wants to run again although its descriptor stays quiet (its timeouts, or
// work it left for the next run), as it said after its last run: a pass under S7 traffic then
// costs no call into the library unless it has work.
std::int64_t libraryDueMicros = 0;

void runLibrary(std::int64_t nowMicros) {
    mhd.run(httpDaemon);
    MHD_UNSIGNED_LONG_LONG millis = 0;
    libraryDueMicros = mhd.getTimeout(httpDaemon, &millis) == MHD_YES
                           ? nowMicros + static_cast<std::int64_t>(
                                             std::min<MHD_UNSIGNED_LONG_LONG>(millis, 1'000'000)) *
                                             1000
                           : INT64_MAX;
}

constexpr unsigned connectionLimit = 32;
constexpr unsigned connectionTimeoutSeconds = 120;
constexpr std::size_t streamBlockSize = std::size_t{16} * 1024;

ssize_t readStream(void *context, std::uint64_t, char *buffer, std::size_t room) {
    Stream &stream = *static_cast<Stream *>(context);
    if (stopping) {
        return MHD_CONTENT_READER_END_OF_STREAM;
    }
    if (!hasEventBytes(stream.events)) {
        // Parked until the loop has events for it; returning 0 without this would spin.
        mhd.suspendConnection(stream.connection);
        stream.suspended = true;
        return 0;
    }
    return static_cast<ssize_t>(takeEventBytes(stream.events, buffer, room));
}

void endStream(void *context) {
    const auto *ended = static_cast<Stream *>(context);
    streams.remove_if([ended](const Stream &stream) { return &stream == ended; });
}

MHD_Result collectQuery(void *context, MHD_ValueKind, const char *key, const char *value) {
    static_cast<QueryParameters *>(context)->emplace_back(key, value != nullptr ? value : "");
    return MHD_YES;
}

// Who sent the request, for the write journal.
void notePeer(MHD_Connection *connection, HttpRequest &request) {
    const MHD_ConnectionInfo *info =
        mhd.getConnectionInfo(connection, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
    if (info != nullptr && info->client_addr != nullptr) {
        platform::ipv4Endpoint(info->client_addr, request.peer, request.peerPort);
    }
}

MHD_Result queue(MHD_Connection *connection, const HttpReply &reply) {
    MHD_Response *response =
        reply.file.empty()
            ? mhd.createResponseFromBuffer(reply.body.size(), const_cast<char *>(reply.body.data()),
                                           MHD_RESPMEM_MUST_COPY)
            : mhd.createResponseFromBuffer(reply.file.size(),
                                           const_cast<std::uint8_t *>(reply.file.data()),
                                           MHD_RESPMEM_PERSISTENT);
    if (response == nullptr) {
        return MHD_NO;
    }
    mhd.addResponseHeader(response, MHD_HTTP_HEADER_CONTENT_TYPE,
                          std::string(reply.contentType).c_str());
    mhd.addResponseHeader(response, MHD_HTTP_HEADER_CACHE_CONTROL, "no-store");
    const MHD_Result queued =
        mhd.queueResponse(connection, static_cast<unsigned>(reply.status), response);
    mhd.destroyResponse(response);
    return queued;
}

MHD_Result openStream(MHD_Connection *connection, Plc &plc, const HttpRequest &request) {
    Stream &stream = streams.emplace_back(
        Stream{connection, &plc, false,
               openEventStream(plc, servedAccess, request, plc.connections.nowMicros)});
    MHD_Response *response = mhd.createResponseFromCallback(MHD_SIZE_UNKNOWN, streamBlockSize,
                                                            readStream, &stream, endStream);
    if (response == nullptr) {
        streams.pop_back();
        return MHD_NO;
    }
    mhd.addResponseHeader(response, MHD_HTTP_HEADER_CONTENT_TYPE, "text/event-stream");
    mhd.addResponseHeader(response, MHD_HTTP_HEADER_CACHE_CONTROL, "no-store");
    const MHD_Result queued = mhd.queueResponse(connection, MHD_HTTP_OK, response);
    mhd.destroyResponse(response);
    return queued;
}

// Parks the request until the journal has a write after `since` or the wait is over; the loop
// answers it (answerJournalPolls).
MHD_Result holdJournalPoll(MHD_Connection *connection, Plc &plc, Pending &pending,
                           const HttpReply &reply) {
    const std::int64_t nowMicros = plc.connections.nowMicros;
    polls.push_back({connection, &plc, &pending, reply.since, nowMicros + reply.waitMicros});
    pending.polling = true;
    mhd.suspendConnection(connection);
    return MHD_YES;
}

// Answers the long polls that have a write to show or whose wait is over. Returns whether any
// was resumed (the library then has work).
bool answerJournalPolls(std::int64_t nowMicros, bool all) {
    bool resumed = false;
    std::erase_if(polls, [nowMicros, all, &resumed](const JournalPoll &poll) {
        if (!all && !journalHasNews(*poll.plc, poll.since) && nowMicros < poll.deadlineMicros) {
            return false;
        }
        poll.pending->answer = journalReply(*poll.plc, poll.since);
        mhd.resumeConnection(poll.connection);
        resumed = true;
        return true;
    });
    return resumed;
}

MHD_Result onRequest(void *, MHD_Connection *connection, const char *url, const char *method,
                     const char *, const char *uploadData, std::size_t *uploadSize,
                     void **requestContext) {
    auto *pending = static_cast<Pending *>(*requestContext);
    if (pending != nullptr && pending->polling) {
        if (!pending->answer) {
            return MHD_YES; // resumed before its answer (cannot happen): stays waiting
        }
        pending->polling = false;
        return queue(connection, *pending->answer);
    }
    if (pending == nullptr) {
        pending = new Pending{{}, largestBodyFor(method, url), false, false, std::nullopt};
        *requestContext = pending;
        // A body announced too large is refused before any of it is read.
        const char *length =
            mhd.lookupConnectionValue(connection, MHD_HEADER_KIND, MHD_HTTP_HEADER_CONTENT_LENGTH);
        if (length != nullptr && std::strtoull(length, nullptr, 10) > pending->limit) {
            pending->tooLarge = true;
        } else {
            return MHD_YES;
        }
    }
    if (*uploadSize > 0) {
        if (pending->body.size() + *uploadSize > pending->limit) {
            pending->tooLarge = true;
        } else {
            pending->body.append(uploadData, *uploadSize);
        }
        *uploadSize = 0;
        if (!pending->tooLarge) {
            return MHD_YES;
        }
    }
    HttpRequest request{};
    request.method = method;
    request.path = url;
    mhd.getConnectionValues(connection, MHD_GET_ARGUMENT_KIND, collectQuery, &request.query);
    const char *authorization =
        mhd.lookupConnectionValue(connection, MHD_HEADER_KIND, MHD_HTTP_HEADER_AUTHORIZATION);
    request.authorization = authorization != nullptr ? authorization : "";
    notePeer(connection, request);
    request.body = pending->body;
    request.bodyTooLarge = pending->tooLarge;
    const PlantReply answered = handlePlantRequest(servedPlant, servedAccess, request);
    const HttpReply &reply = answered.reply;
    // Only a PLC's own API streams or waits, so these come with the PLC.
    if (reply.eventStream && answered.plc != nullptr) {
        return openStream(connection, *answered.plc, request);
    }
    if (reply.journalWait && answered.plc != nullptr) {
        return holdJournalPoll(connection, *answered.plc, *pending, reply);
    }
    return queue(connection, reply);
}

void requestDone(void *, MHD_Connection *, void **requestContext, MHD_RequestTerminationCode) {
    const auto *ended = static_cast<Pending *>(*requestContext);
    std::erase_if(polls, [ended](const JournalPoll &poll) { return poll.pending == ended; });
    delete ended;
    *requestContext = nullptr;
}

// The library formats its own messages; checked as printf formats where the compiler can.
[[gnu::format(printf, 2, 0)]] void logLibraryError(void *, const char *format, va_list arguments) {
    std::array<char, 200> text{};
    std::vsnprintf(text.data(), text.size(), format, arguments);
    // Every event stream ends this way: the page closes it (a reload, a new watch list) and the
    // library's next send to it fails. Nothing went wrong, so nothing is logged.
    const std::string_view message = text.data();
    if (message.starts_with("Failed to send") &&
        (message.find("/api/events") != std::string_view::npos ||
         (message.find("/api/plc/") != std::string_view::npos &&
          message.find("/events") != std::string_view::npos))) {
        return;
    }
    logMessage(attributeError, "HTTP: %s", text.data());
}

} // namespace

bool httpAvailable() {
    return true;
}

HttpStart httpStart(const HttpOptions &options) {
    if (options.plcs.empty()) {
        return {false, 0, "the watch page needs a PLC to show"};
    }
    if (const std::string error = loadLibrary(); !error.empty()) {
        return {false, 0, error};
    }
    const platform::ListenResult listened =
        platform::openListener(options.address, options.port, static_cast<int>(connectionLimit));
    if (listened.socket == platform::invalidSocket) {
        return {false, 0,
                "cannot listen on the HTTP port " + std::to_string(options.port) + ": " +
                    platform::describeError(listened.errorCode) +
                    platform::listenFailureHint(listened.errorCode, options.port)};
    }
    servedPlant = makeHttpPlant(options.plcs);
    for (Plc *plc : servedPlant.plcs) {
        plc->traffic.journal.kept = true; // the API reads it from now on
    }
    servedAccess = {options.token, options.readOnly};
    keepRecentLog();
    libraryDueMicros = 0; // the first pass runs it
    httpDaemon =
        mhd.startDaemon(MHD_USE_EPOLL | MHD_ALLOW_SUSPEND_RESUME | MHD_USE_ERROR_LOG, 0, nullptr,
                        nullptr, onRequest, nullptr, MHD_OPTION_EXTERNAL_LOGGER, logLibraryError,
                        nullptr, MHD_OPTION_LISTEN_SOCKET, static_cast<MHD_socket>(listened.socket),
                        MHD_OPTION_CONNECTION_LIMIT, connectionLimit, MHD_OPTION_CONNECTION_TIMEOUT,
                        connectionTimeoutSeconds, MHD_OPTION_NOTIFY_COMPLETED, requestDone, nullptr,
                        MHD_OPTION_END);
    if (httpDaemon == nullptr) {
        platform::closeSocket(listened.socket);
        return {false, 0, "cannot start the HTTP server (libmicrohttpd refused)"};
    }
    nextRefreshMicros = 0;
    return {true, listened.port, {}};
}

bool httpRunning() {
    return httpDaemon != nullptr;
}

platform::SocketHandle httpWaitHandle() {
    const MHD_DaemonInfo *info = mhd.getDaemonInfo(httpDaemon, MHD_DAEMON_INFO_EPOLL_FD);
    return info != nullptr ? info->epoll_fd : platform::invalidSocket;
}

std::int64_t httpWaitLimit(std::int64_t nowMicros) {
    std::int64_t limit = libraryDueMicros == INT64_MAX ? INT64_MAX : libraryDueMicros - nowMicros;
    for (const JournalPoll &poll : polls) {
        limit = std::min(limit, poll.deadlineMicros - nowMicros);
    }
    if (!streams.empty()) {
        limit = std::min(limit, nextRefreshMicros - nowMicros);
    }
    return std::max<std::int64_t>(limit, 0);
}

void httpPass(std::int64_t nowMicros, bool ready) {
    // The writes of this pass were stored before it: a long poll hears of them in the same pass.
    bool run = ready || (!polls.empty() && answerJournalPolls(nowMicros, false));
    if (!streams.empty() && nowMicros >= nextRefreshMicros) {
        nextRefreshMicros = nowMicros + eventRefreshMicros;
        for (Stream &stream : streams) {
            refreshEventStream(*stream.plc, servedAccess, stream.events, nowMicros);
            if (stream.suspended && hasEventBytes(stream.events)) {
                stream.suspended = false;
                mhd.resumeConnection(stream.connection);
                run = true;
            }
        }
    }
    if (run || nowMicros >= libraryDueMicros) {
        runLibrary(nowMicros);
    }
}

void httpStop() {
    if (httpDaemon == nullptr) {
        return;
    }
    // The library must not be stopped with a connection suspended: each is resumed and its
    // stream ended.
    stopping = true;
    answerJournalPolls(0, true);
    for (Stream &stream : streams) {
        if (stream.suspended) {
            stream.suspended = false;
            mhd.resumeConnection(stream.connection);
        }
    }
    mhd.run(httpDaemon);
    mhd.stopDaemon(httpDaemon);
    httpDaemon = nullptr;
    streams.clear();
    servedPlant = {};
    stopping = false;
}
