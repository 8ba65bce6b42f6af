// The client connections and everything kept per connection.
#pragma once

#include "core/capture.h"
#include "core/fault_rules.h"
#include "core/traffic.h"
#include "platform/platform.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

// Clients served at once at most; how many one PLC serves is its table's limit.
inline constexpr int maxConnections = 64;
inline constexpr int classicConnections = 2;

// Classic takes frames of up to 1024 bytes. A CPU profile takes a whole TPDU of the largest
// size it confirms (1024) behind its TPKT header.
inline constexpr std::size_t receiveBufferSize = 1024;
inline constexpr std::size_t largestTpduSize = 1024;
inline constexpr std::size_t smallestTpduSize = 128; // class 0's default, when none is asked
inline constexpr std::size_t largestRequestFrame = largestTpduSize + 4;

// The largest reply frame a service builds, and what it takes once split into DT frames of
// the smallest TPDU: each piece repeats the TPKT header and the 3-byte DT header.
inline constexpr std::size_t largestReplyFrame = 1024;
inline constexpr std::size_t dataFrameOverhead = 7;
inline constexpr std::size_t largestReplyPayload = largestReplyFrame - dataFrameOverhead;
inline constexpr std::size_t smallestPiecePayload = smallestTpduSize - 3;
inline constexpr std::size_t mostReplyPieces =
    (largestReplyPayload + smallestPiecePayload - 1) / smallestPiecePayload;
inline constexpr std::size_t largestSplitReply =
    largestReplyPayload + dataFrameOverhead * mostReplyPieces;

// An S7 request that arrives in several DT frames is joined here; the largest PDU any profile
// negotiates.
inline constexpr std::size_t largestJoinedPdu = 960;

// Bytes received on a connection that are not handled yet: the start of a frame whose rest has
// not arrived, or frames held back while the connection's replies cannot be sent.
struct FrameAssembly {
    std::array<std::uint8_t, largestRequestFrame> bytes;
    std::size_t count;
    std::size_t skipRemaining; // bytes still to drop of a frame too large to handle
};

// Reply bytes the client's socket did not take yet; they leave before anything else. A reply
// held back on purpose (a delay fault) waits here until its release time, and the connection's
// later requests wait behind it, so they keep their order.
struct UnsentReply {
    std::array<std::uint8_t, largestSplitReply> bytes;
    std::size_t offset;
    std::size_t count;
    std::int64_t releaseAtMicros; // 0: leaves as soon as the socket takes it
};

// The payloads of a request's DT frames so far, until the frame with end of transmission.
struct JoinedRequest {
    std::array<std::uint8_t, largestJoinedPdu> bytes;
    std::size_t count;
    bool discarding; // the request outgrew the limit: drop its frames up to its last one
};

// Userdata bookkeeping of a connection: the sequence number of its latest answer, and an answer
// longer than one PDU whose further parts the client asks for in turn (every part carries the
// answer's sequence number, also as its data unit reference).
struct UserdataState {
    std::uint8_t sequence; // of the latest answer; 0 before the first
    bool continuationOpen;
    std::uint8_t group; // function group and subfunction of the open answer
    std::uint8_t subfunction;
    std::uint16_t listId; // what it lists: SZL ID and index, or the block type
    std::uint16_t listIndex;
    std::uint16_t next; // where the next part starts: a record, or a block number
};

// What a connection has carried so far: COTP only, S7 PDUs or S5 fetch/write requests.
enum class ConnectionKind : std::uint8_t { iso, s7, s5 };

struct ConnectionSlot {
    platform::SocketHandle socket;
    ConnectionEnds ends;
    // Counts for the watch page's overview; kept whether or not it is served, as they cost an
    // addition each.
    ConnectionKind kind;
    std::uint64_t requests;
    std::uint64_t bytesIn;
    std::uint64_t bytesOut;
    std::int64_t lastActivityMicros; // monotonic; data received, or the accept
    std::int32_t s7Active;
    std::int32_t idleTicks;
    // What the loop's wait set watches the socket for (with the table's wait set).
    platform::Interest watched;
    // The client's source reference from its latest connection request, echoed in the confirm.
    std::array<std::uint8_t, 2> peerReference;
    // The TPDU size a profile's confirm agreed; replies longer than it leave as several DT
    // frames. 0: every reply leaves as one frame (classic, or no connection request yet).
    std::uint16_t tpduSize;
    // The S7 PDU length agreed in setup communication (real-CPU profiles); 0 until then.
    std::uint16_t pduLength;
    FrameAssembly assembly;
    UnsentReply unsent;
    JoinedRequest joined;
    UserdataState userdata;
};

// Requests of every connection per second over the last minute: a ring of counts, the current
// second's at `current`, moved on by the loop.
inline constexpr std::size_t requestRateSeconds = 60;
struct RequestRate {
    std::array<std::uint32_t, requestRateSeconds> counts;
    std::size_t current;
    std::int64_t secondEndMicros; // 0 until the loop first moves it
};

// One PLC's connections. The table is compact: a slot number is a position, and when a slot
// closes every slot above it moves down one. A slot is set up when it is first taken, so the
// slots a PLC never uses cost no memory (their pages are never touched).
struct ConnectionTable {
    std::unique_ptr<ConnectionSlot[]> slots; // limit of them; those from slotsSetUp on unset
    std::int32_t slotsSetUp = 0;             // slots taken at least once since the table was made
    std::int32_t connectionCount = 0;
    std::int32_t limit = 0;     // clients served at once, 1 to maxConnections
    std::int32_t heldSlots = 0; // slots whose replies are held back until a release time
    std::int64_t nowMicros = 0; // the loop's clock at the start of the current pass
    RequestRate requestRate{};
    std::uint64_t s7CommPlusRefused = 0; // connections closed for speaking S7CommPlus
    Capture *capture = nullptr;          // the process's capture, when frames are captured
    Traffic *traffic = nullptr;          // the PLC's, told of every connection closed
    // The loop's wait set, which watches every slot's socket tagged waitTag + slot: a slot taken
    // is added, a slot closed is removed, and a slot moving down is tagged anew. None in tests
    // that build a table alone.
    platform::WaitSet *waitSet = nullptr;
    std::uint64_t waitTag = 0;
};

// One S7 PDU or S5 request handled on the slot, which marks what the connection carries.
void countRequest(ConnectionTable &table, int slot, ConnectionKind kind);
// Starts a new second (or several, zeroed) once nowMicros reaches the current one's end.
void advanceRequestRate(RequestRate &rate, std::int64_t nowMicros);
// The counts, oldest first; the last is the current second.
std::array<std::uint32_t, requestRateSeconds> requestsPerSecond(const RequestRate &rate);

// The slot by its number (its position in the compact table).
inline ConnectionSlot &slotAt(ConnectionTable &table, int slot) {
    return table.slots[static_cast<std::size_t>(slot)];
}
inline const ConnectionSlot &slotAt(const ConnectionTable &table, int slot) {
    return table.slots[static_cast<std::size_t>(slot)];
}

// An empty table serving `limit` clients at once (kept within 1 and maxConnections), its counts
// at zero; its capture, traffic and wait set stay.
void setUpConnectionTable(ConnectionTable &table, int limit);

// Puts a connection into the next free slot, set up afresh and watched for reading, and returns
// its number; -1 when every slot is taken.
int takeSlot(ConnectionTable &table, platform::SocketHandle socket, const ConnectionEnds &ends);

// Whether the slot, which no connection holds now, still has a socket: never, while the table
// stays compact.
bool slotStillHeld(const ConnectionTable &table, int slot);

// Closes the slot's connection, keeps the table compact (every slot above moves down one), logs
// and records the disconnect.
void closeConnection(ConnectionTable &table, int slot);

// Closes every connection without a line each (the PLC is going away or starts afresh); each is
// recorded as a disconnect.
void closeAllConnections(ConnectionTable &table);

// An exchange of the slot's client, its peer filled in, nothing else: the caller adds the items,
// the fault rule and the error.
Exchange slotExchange(const ConnectionTable &table, int slot, TrafficProtocol protocol,
                      TrafficOperation operation);

// The traffic record of an exchange on a table that may have none (tests that build one alone).
inline void recordOnTable(ConnectionTable &table, const Exchange &exchange) {
    if (table.traffic != nullptr) {
        recordExchange(*table.traffic, exchange);
    }
}

// True while the slot holds reply bytes the client has not taken, or holds its replies back.
bool hasUnsentReply(const ConnectionTable &table, int slot);

// What the slot's socket is to be watched for: reading while nothing waits to be sent, writing
// while a reply waits for room, nothing while its replies are held back (their release time wakes
// the loop instead).
platform::Interest wantedInterest(const ConnectionTable &table, int slot);

// Watches each slot's socket for what it wants now, where that changed since it was last set.
void updateWatches(ConnectionTable &table);

// Sends the unsent bytes that the client's socket takes now; held replies only once their
// release time has come.
void flushUnsentReply(ConnectionTable &table, int slot);

// Holds every reply the slot sends from now on, and the handling of its later requests, until
// delayMicros from the current pass; then they leave in order.
void holdReplies(ConnectionTable &table, int slot, std::int64_t delayMicros);

// When the slot's held replies are due, or 0 when it holds none.
std::int64_t heldReplyRelease(const ConnectionTable &table, int slot);

// Acts on how a fault says a request on the slot is answered: a delay holds the slot's replies
// back; no reply leaves the request unanswered; close drops the connection without a word, as a
// pulled cable. Returns true when the request must not be served, which is recorded as refused
// by the rule. (A refused connection request is the transport's.)
bool applyFaultDelivery(ConnectionTable &table, int slot, const FaultDecision &decision);

struct ReplyResult {
    bool failed;
    int errorCode;
};

// The one send path for every reply: whatever the socket does not take at once is kept and sent
// before anything else, so a reply is never cut short.
ReplyResult sendReply(ConnectionTable &table, int slot, std::span<const std::uint8_t> frame);
