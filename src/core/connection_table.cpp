#include "core/connection_table.h"

#include "core/log.h"

#include <algorithm>
#include <cstring>

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
    slot.watched = platform::Interest::none;
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

// A slot's client speaks S5 once it sent an S5 request; before that, and for S7, S7.
TrafficProtocol slotProtocol(const ConnectionSlot &slot) {
    return slot.kind == ConnectionKind::s5 ? TrafficProtocol::s5 : TrafficProtocol::s7;
}

// What a closing slot leaves behind: its byte counts in the totals and its disconnect record.
void noteClosed(ConnectionTable &table, int slot) {
    if (table.traffic == nullptr) {
        return;
    }
    const ConnectionSlot &closing = slotAt(table, slot);
    table.traffic->counts.closedBytesIn += closing.bytesIn;
    table.traffic->counts.closedBytesOut += closing.bytesOut;
    recordExchange(*table.traffic,
                   slotExchange(table, slot, slotProtocol(closing), TrafficOperation::disconnect));
}

} // namespace

Exchange slotExchange(const ConnectionTable &table, int slot, TrafficProtocol protocol,
                      TrafficOperation operation) {
    const ConnectionEnds &ends = slotAt(table, slot).ends;
    return {protocol, operation, slot, ends.clientAddress, ends.clientPort, {}, 0, 0, false};
}

void setUpConnectionTable(ConnectionTable &table, int limit) {
    table.limit = std::clamp(limit, 1, maxConnections);
    // Left uninitialised: a slot is set up when it is first taken.
    table.slots =
        std::make_unique_for_overwrite<ConnectionSlot[]>(static_cast<std::size_t>(table.limit));
    table.slotsSetUp = 0;
    table.connectionCount = 0;
    table.heldSlots = 0;
    table.requestRate = {};
    table.s7CommPlusRefused = 0;
}

int takeSlot(ConnectionTable &table, platform::SocketHandle socket, const ConnectionEnds &ends) {
    if (table.connectionCount >= table.limit) {
        return -1;
    }
    const int slot = table.connectionCount;
    ConnectionSlot &taken = slotAt(table, slot);
    if (slot >= table.slotsSetUp) {
        freeSlot(taken);
        table.slotsSetUp = slot + 1;
    }
    taken.socket = socket;
    taken.ends = ends;
    taken.lastActivityMicros = table.nowMicros;
    if (table.waitSet != nullptr) {
        taken.watched = platform::Interest::read;
        platform::watchSocket(*table.waitSet, socket, table.waitTag + static_cast<unsigned>(slot),
                              taken.watched);
    }
    table.connectionCount += 1;
    return slot;
}

bool slotStillHeld(const ConnectionTable &table, int slot) {
    return slot < table.slotsSetUp && slotAt(table, slot).socket != platform::invalidSocket;
}

void closeConnection(ConnectionTable &table, int slot) {
    ConnectionSlot &closing = slotAt(table, slot);
    if (closing.unsent.count > 0) {
        // The frame sent just before the close (a disconnect confirm, a refusal) found the
        // socket full; there is no later pass to send its rest, so the OS takes it now and
        // delivers it after the close.
        platform::reserveSendRoom(closing.socket, closing.unsent.count);
        flushUnsentReply(table, slot);
    }
    if (closing.unsent.releaseAtMicros != 0) {
        table.heldSlots -= 1; // its held replies go with it
    }
    if (table.waitSet != nullptr) {
        platform::unwatchSocket(*table.waitSet, closing.socket);
    }
    platform::closeSocket(closing.socket);
    captureClosed(table.capture, closing.ends);
    noteClosed(table, slot);
    table.connectionCount -= 1;
    // Slot numbers are positions: every connection above moves down one.
    for (int above = slot; above < table.connectionCount; ++above) {
        ConnectionSlot &moved = slotAt(table, above);
        moved = slotAt(table, above + 1);
        if (table.waitSet != nullptr) {
            platform::changeWatch(*table.waitSet, moved.socket,
                                  table.waitTag + static_cast<unsigned>(above), moved.watched);
        }
    }
    freeSlot(slotAt(table, table.connectionCount));
    logMessage(attributeSlot0, "%s TCP Dis-conn %d", slotPrefix(slot).text(),
               table.connectionCount);
}

void closeAllConnections(ConnectionTable &table) {
    for (int slot = 0; slot < table.connectionCount; ++slot) {
        if (table.waitSet != nullptr) {
            platform::unwatchSocket(*table.waitSet, slotAt(table, slot).socket);
        }
        platform::closeSocket(slotAt(table, slot).socket);
        captureClosed(table.capture, slotAt(table, slot).ends);
        noteClosed(table, slot);
        freeSlot(slotAt(table, slot));
    }
    table.connectionCount = 0;
    table.heldSlots = 0;
}

void countRequest(ConnectionTable &table, int slot, ConnectionKind kind) {
    ConnectionSlot &connection = slotAt(table, slot);
    connection.kind = kind;
    connection.requests += 1;
    table.requestRate.counts[table.requestRate.current] += 1;
}

void advanceRequestRate(RequestRate &rate, std::int64_t nowMicros) {
    constexpr std::int64_t secondMicros = 1'000'000;
    if (rate.secondEndMicros == 0) {
        rate.secondEndMicros = nowMicros + secondMicros;
        return;
    }
    // A loop that stood still for longer than the ring zeroes it once, not once per second.
    for (std::size_t step = 0; nowMicros >= rate.secondEndMicros && step < requestRateSeconds;
         ++step) {
        rate.current = (rate.current + 1) % requestRateSeconds;
        rate.counts[rate.current] = 0;
        rate.secondEndMicros += secondMicros;
    }
    if (nowMicros >= rate.secondEndMicros) {
        rate.secondEndMicros = nowMicros + secondMicros;
    }
}

std::array<std::uint32_t, requestRateSeconds> requestsPerSecond(const RequestRate &rate) {
    std::array<std::uint32_t, requestRateSeconds> ordered{};
    for (std::size_t age = 0; age < requestRateSeconds; ++age) {
        ordered[requestRateSeconds - 1 - age] =
            rate.counts[(rate.current + requestRateSeconds - age) % requestRateSeconds];
    }
    return ordered;
}

bool hasUnsentReply(const ConnectionTable &table, int slot) {
    const UnsentReply &unsent = slotAt(table, slot).unsent;
    return unsent.count > 0 || unsent.releaseAtMicros != 0;
}

platform::Interest wantedInterest(const ConnectionTable &table, int slot) {
    if (!hasUnsentReply(table, slot)) {
        return platform::Interest::read;
    }
    return heldReplyRelease(table, slot) != 0 ? platform::Interest::none
                                              : platform::Interest::write;
}

void updateWatches(ConnectionTable &table) {
    if (table.waitSet == nullptr) {
        return;
    }
    for (int slot = 0; slot < table.connectionCount; ++slot) {
        ConnectionSlot &connection = slotAt(table, slot);
        const platform::Interest wanted = wantedInterest(table, slot);
        if (connection.watched != wanted) {
            connection.watched = wanted;
            platform::changeWatch(*table.waitSet, connection.socket,
                                  table.waitTag + static_cast<unsigned>(slot), wanted);
        }
    }
}

void holdReplies(ConnectionTable &table, int slot, std::int64_t delayMicros) {
    UnsentReply &unsent = slotAt(table, slot).unsent;
    if (unsent.releaseAtMicros == 0) {
        table.heldSlots += 1;
    }
    // Never 0, which means not held.
    unsent.releaseAtMicros = std::max<std::int64_t>(table.nowMicros + delayMicros, 1);
}

std::int64_t heldReplyRelease(const ConnectionTable &table, int slot) {
    return slotAt(table, slot).unsent.releaseAtMicros;
}

bool applyFaultDelivery(ConnectionTable &table, int slot, const FaultDecision &decision) {
    if (!decision.hasDelivery) {
        return false;
    }
    if (decision.delivery == FaultAction::noReply || decision.delivery == FaultAction::close) {
        // Before a close, which moves the slots: the request is refused, unanswered. A close
        // before the connection carried anything drops the connection itself.
        const ConnectionSlot &connection = slotAt(table, slot);
        Exchange refused =
            slotExchange(table, slot, slotProtocol(connection), TrafficOperation::refused);
        refused.faultRule = decision.rule;
        refused.connectionRefused =
            decision.delivery == FaultAction::close && connection.kind == ConnectionKind::iso;
        recordOnTable(table, refused);
    }
    switch (decision.delivery) {
    case FaultAction::delay:
        holdReplies(table, slot, std::int64_t{decision.delayMs} * 1000);
        return false;
    case FaultAction::noReply:
        return true;
    case FaultAction::close:
        platform::abortOnClose(slotAt(table, slot).socket);
        closeConnection(table, slot);
        return true;
    case FaultAction::itemCode:
    case FaultAction::headerError:
    case FaultAction::refuse:
        return false;
    }
    return false;
}

void flushUnsentReply(ConnectionTable &table, int slot) {
    ConnectionSlot &connection = slotAt(table, slot);
    UnsentReply &unsent = connection.unsent;
    if (unsent.releaseAtMicros != 0) {
        if (table.nowMicros < unsent.releaseAtMicros) {
            return;
        }
        unsent.releaseAtMicros = 0;
        table.heldSlots -= 1;
        // The capture shows the held replies when they leave, not when they were made.
        captureSent(table.capture, connection.ends,
                    std::span(unsent.bytes).subspan(unsent.offset, unsent.count));
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

ReplyResult sendReply(ConnectionTable &table, int slot, std::span<const std::uint8_t> frame) {
    ConnectionSlot &connection = slotAt(table, slot);
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
        captureSent(table.capture, connection.ends, frame);
    }
    return {false, 0};
}
