#include "core/connection_table.h"

#include "core/capture.h"
#include "core/log.h"

#include <algorithm>
#include <cstring>

ConnectionTable connectionTable{};
std::array<std::uint8_t, largestRequestFrame> ReceiveBuffer{};
RequestRate requestRate{};

namespace {

void freeSlot(ConnectionSlot &slot) {
    slot.socket = platform::invalidSocket;
    slot.ends = {};
    slot.kind = ConnectionKind::iso;
    slot.requests = 0;
    slot.bytesIn = 0;
    slot.bytesOut = 0;
    slot.lastActivityMicros = 0;
    slot.s7Active = 0;
    slot.idleTicks = 0;
    slot.peerReference = {};
    slot.tpduSize = 0;
    slot.pduLength = 0;
    slot.assembly.count = 0;
    slot.assembly.skipRemaining = 0;
    slot.unsent.offset = 0;
    slot.unsent.count = 0;
    slot.unsent.releaseAtMicros = 0; // the table's count of held slots is the caller's
    slot.joined.count = 0;
    slot.joined.discarding = false;
    slot.userdata = {};
}

} // namespace

ConnectionSlot &slotAt(int slot) {
    return connectionTable.slots[static_cast<std::size_t>(slot)];
}

void resetConnectionTable() {
    for (ConnectionSlot &slot : connectionTable.slots) {
        freeSlot(slot);
    }
    connectionTable.connectionCount = 0;
    connectionTable.heldSlots = 0;
}

void setConnectionLimit(int limit) {
    connectionTable.limit = std::clamp(limit, 1, maxConnections);
}

void closeConnection(int slot) {
    ConnectionSlot &closing = slotAt(slot);
    if (closing.unsent.count > 0) {
        // The frame sent just before the close (a disconnect confirm, a refusal) found the
        // socket full; there is no later pass to send its rest, so the OS takes it now and
        // delivers it after the close.
        platform::reserveSendRoom(closing.socket, closing.unsent.count);
        flushUnsentReply(slot);
    }
    if (closing.unsent.releaseAtMicros != 0) {
        connectionTable.heldSlots -= 1; // its held replies go with it
    }
    platform::closeSocket(closing.socket);
    captureClosed(closing.ends);
    connectionTable.connectionCount -= 1;
    // Slot numbers are positions: every connection above moves down one.
    for (int above = slot; above < connectionTable.connectionCount; ++above) {
        slotAt(above) = slotAt(above + 1);
    }
    freeSlot(slotAt(connectionTable.connectionCount));
    logMessage(attributeSlot0, "%s TCP Dis-conn %d", slotPrefix(slot).text(),
               connectionTable.connectionCount);
}

void countRequest(int slot, ConnectionKind kind) {
    ConnectionSlot &connection = slotAt(slot);
    connection.kind = kind;
    connection.requests += 1;
    requestRate.counts[requestRate.current] += 1;
}

void advanceRequestRate(std::int64_t nowMicros) {
    constexpr std::int64_t secondMicros = 1'000'000;
    if (requestRate.secondEndMicros == 0) {
        requestRate.secondEndMicros = nowMicros + secondMicros;
        return;
    }
    // A loop that stood still for longer than the ring zeroes it once, not once per second.
    for (std::size_t step = 0;
         nowMicros >= requestRate.secondEndMicros && step < requestRateSeconds; ++step) {
        requestRate.current = (requestRate.current + 1) % requestRateSeconds;
        requestRate.counts[requestRate.current] = 0;
        requestRate.secondEndMicros += secondMicros;
    }
    if (nowMicros >= requestRate.secondEndMicros) {
        requestRate.secondEndMicros = nowMicros + secondMicros;
    }
}

std::array<std::uint32_t, requestRateSeconds> requestsPerSecond() {
    std::array<std::uint32_t, requestRateSeconds> ordered{};
    for (std::size_t age = 0; age < requestRateSeconds; ++age) {
        ordered[requestRateSeconds - 1 - age] =
            requestRate
                .counts[(requestRate.current + requestRateSeconds - age) % requestRateSeconds];
    }
    return ordered;
}

bool hasUnsentReply(int slot) {
    const UnsentReply &unsent = slotAt(slot).unsent;
    return unsent.count > 0 || unsent.releaseAtMicros != 0;
}

void setConnectionClock(std::int64_t nowMicros) {
    connectionTable.nowMicros = nowMicros;
}

void holdReplies(int slot, std::int64_t delayMicros) {
    UnsentReply &unsent = slotAt(slot).unsent;
    if (unsent.releaseAtMicros == 0) {
        connectionTable.heldSlots += 1;
    }
    // Never 0, which means not held.
    unsent.releaseAtMicros = std::max<std::int64_t>(connectionTable.nowMicros + delayMicros, 1);
}

std::int64_t heldReplyRelease(int slot) {
    return slotAt(slot).unsent.releaseAtMicros;
}

bool applyFaultDelivery(int slot, const FaultDecision &decision) {
    if (!decision.hasDelivery) {
        return false;
    }
    switch (decision.delivery) {
    case FaultAction::delay:
        holdReplies(slot, std::int64_t{decision.delayMs} * 1000);
        return false;
    case FaultAction::noReply:
        return true;
    case FaultAction::close:
        platform::abortOnClose(slotAt(slot).socket);
        closeConnection(slot);
        return true;
    case FaultAction::itemCode:
    case FaultAction::headerError:
    case FaultAction::refuse:
        return false;
    }
    return false;
}

void flushUnsentReply(int slot) {
    ConnectionSlot &connection = slotAt(slot);
    UnsentReply &unsent = connection.unsent;
    if (unsent.releaseAtMicros != 0) {
        if (connectionTable.nowMicros < unsent.releaseAtMicros) {
            return;
        }
        unsent.releaseAtMicros = 0;
        connectionTable.heldSlots -= 1;
        // The capture shows the held replies when they leave, not when they were made.
        captureSent(connection.ends, std::span(unsent.bytes).subspan(unsent.offset, unsent.count));
    }
    if (unsent.count == 0) {
        return;
    }
    const platform::SendResult result = platform::sendBytes(
        connection.socket, std::span(unsent.bytes).subspan(unsent.offset, unsent.count));
    if (result.failed) {
        // The connection is broken; the next receive notices and closes it.
        unsent.offset = 0;
        unsent.count = 0;
        return;
    }
    unsent.offset += result.count;
    unsent.count -= result.count;
    if (unsent.count == 0) {
        unsent.offset = 0;
    }
}

ReplyResult sendReply(int slot, std::span<const std::uint8_t> frame) {
    ConnectionSlot &connection = slotAt(slot);
    UnsentReply &unsent = connection.unsent;
    std::size_t taken = 0;
    const bool held = unsent.releaseAtMicros != 0;
    if (unsent.count == 0 && !held) {
        const platform::SendResult result = platform::sendBytes(connection.socket, frame);
        if (result.failed) {
            return {true, result.errorCode};
        }
        taken = result.count;
    }
    const std::span<const std::uint8_t> rest = frame.subspan(taken);
    if (!rest.empty()) {
        // Frames are handled only while nothing is pending, so the rest always fits; still,
        // compact first and never write past the buffer.
        if (unsent.offset > 0) {
            std::memmove(unsent.bytes.data(), unsent.bytes.data() + unsent.offset, unsent.count);
            unsent.offset = 0;
        }
        const std::size_t room = unsent.bytes.size() - unsent.count;
        const std::size_t keep = std::min(room, rest.size());
        std::memcpy(unsent.bytes.data() + unsent.count, rest.data(), keep);
        unsent.count += keep;
    }
    connection.bytesOut += frame.size();
    if (!held) {
        captureSent(connection.ends, frame);
    }
    return {false, 0};
}
