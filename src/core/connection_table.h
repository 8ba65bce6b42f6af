// The two client connections and everything kept per connection.
#pragma once

#include "platform/platform.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

inline constexpr int maxConnections = 2;
inline constexpr std::size_t receiveBufferSize = 1024;
inline constexpr std::size_t largestReplyFrame = 1024;

// Bytes received on a connection that are not handled yet: the start of a frame whose rest has
// not arrived, or frames held back while the connection's replies cannot be sent.
struct FrameAssembly {
    std::array<std::uint8_t, receiveBufferSize> bytes;
    std::size_t count;
    std::size_t skipRemaining; // bytes still to drop of a frame too large to handle
};

// Reply bytes the client's socket did not take yet; they leave before anything else.
struct UnsentReply {
    std::array<std::uint8_t, largestReplyFrame> bytes;
    std::size_t offset;
    std::size_t count;
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

struct ConnectionSlot {
    platform::SocketHandle socket;
    std::int32_t s7Active;
    std::int32_t idleTicks;
    // The client's source reference from its latest connection request, echoed in the confirm.
    std::array<std::uint8_t, 2> peerReference;
    // The S7 PDU length agreed in setup communication (real-CPU profiles); 0 until then.
    std::uint16_t pduLength;
    FrameAssembly assembly;
    UnsentReply unsent;
    UserdataState userdata;
};

struct ConnectionTable {
    std::array<ConnectionSlot, maxConnections> slots;
    std::int32_t connectionCount;
};

extern ConnectionTable connectionTable;

// The one buffer every receive writes into; its content is valid until the next receive.
extern std::array<std::uint8_t, receiveBufferSize> ReceiveBuffer;

// The slot by its number (its position in the compact table).
ConnectionSlot &slotAt(int slot);

// Empties the table without touching any socket (start-up and tests).
void resetConnectionTable();

// Closes the slot's connection, keeps the table compact (slot 1 moves down to slot 0) and logs.
void closeConnection(int slot);

// True while the slot holds reply bytes the client has not taken.
bool hasUnsentReply(int slot);

// Sends the unsent bytes that the client's socket takes now.
void flushUnsentReply(int slot);

struct ReplyResult {
    bool failed;
    int errorCode;
};

// The one send path for every reply: whatever the socket does not take at once is kept and sent
// before anything else, so a reply is never cut short.
ReplyResult sendReply(int slot, std::span<const std::uint8_t> frame);
