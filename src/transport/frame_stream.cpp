#include "transport/frame_stream.h"

#include "core/data_frame.h"
#include "core/log.h"
#include "transport/transport.h"

#include <algorithm>
#include <cstring>

namespace {

struct DeliveryOutcome {
    std::size_t consumed;
    bool connectionGone; // the slot's connection was closed; its state must not be touched
};

// The largest frame handled: classic's 1024 bytes, or in a profile a whole TPDU of the largest
// size its confirm agrees behind its TPKT header.
std::size_t largestFrame(const Plc &plc) {
    return answersAsCpu(plc.cpu) ? largestRequestFrame : receiveBufferSize;
}

void logBadHeader(int slot, ByteView header) {
    logMessage(attributeError, "%s Bad TPKT header version=%d length=%d, closing",
               slotPrefix(slot).text(), readU8(header, frameTpktVersionOffset),
               readU16be(header, frameTpktLengthOffset));
}

void logOversizedFrame(int slot, std::size_t length) {
    logMessage(attributeError, "%s Frame of %d bytes is too large, skipped",
               slotPrefix(slot).text(), static_cast<int>(length));
}

// Handles the whole frames at the start of bytes. Stops at an incomplete frame, when a reply
// is left pending, or when the connection closes (a refused connection, a disconnect, or a
// header that cannot be resynchronised).
DeliveryOutcome handleWholeFrames(Plc &plc, int slot, ByteView bytes) {
    ConnectionTable &connections = plc.connections;
    const platform::SocketHandle socket = slotAt(connections, slot).socket;
    std::size_t at = 0;
    while (at < bytes.size() && !hasUnsentReply(connections, slot)) {
        FrameAssembly &assembly = slotAt(connections, slot).assembly;
        const ByteView rest = bytes.subspan(at);
        if (assembly.skipRemaining > 0) {
            const std::size_t drop = std::min(assembly.skipRemaining, rest.size());
            assembly.skipRemaining -= drop;
            at += drop;
            continue;
        }
        if (rest.size() < tpktHeaderSize) {
            break;
        }
        const std::size_t length = readU16be(rest, frameTpktLengthOffset);
        if (readU8(rest, frameTpktVersionOffset) != tpktVersion || length < smallestFrame) {
            logBadHeader(slot, rest);
            closeConnection(connections, slot);
            return {at, true};
        }
        if (length > largestFrame(plc)) {
            logOversizedFrame(slot, length);
            assembly.skipRemaining = length;
            continue;
        }
        if (rest.size() < length) {
            break;
        }
        captureReceived(connections.capture, slotAt(connections, slot).ends, rest.first(length));
        handleFrame(plc, slot, rest.first(length));
        at += length;
        if (slotAt(connections, slot).socket != socket) {
            return {at, true};
        }
    }
    return {at, false};
}

void keepUnhandled(FrameAssembly &assembly, ByteView bytes) {
    std::memmove(assembly.bytes.data(), bytes.data(), bytes.size());
    assembly.count = bytes.size();
}

} // namespace

std::size_t receiveRoom(Plc &plc, int slot) {
    return largestFrame(plc) - slotAt(plc.connections, slot).assembly.count;
}

void deliverHeldFrames(Plc &plc, int slot) {
    FrameAssembly &assembly = slotAt(plc.connections, slot).assembly;
    if (assembly.count == 0) {
        return;
    }
    const ByteView held(assembly.bytes.data(), assembly.count);
    const DeliveryOutcome outcome = handleWholeFrames(plc, slot, held);
    if (!outcome.connectionGone) {
        keepUnhandled(assembly, held.subspan(outcome.consumed));
    }
}

void deliverReceivedBytes(Plc &plc, int slot, ByteView received) {
    FrameAssembly &assembly = slotAt(plc.connections, slot).assembly;
    if (assembly.count == 0) {
        // The usual case: whole frames are handled where the receive put them.
        const DeliveryOutcome outcome = handleWholeFrames(plc, slot, received);
        if (!outcome.connectionGone) {
            keepUnhandled(assembly, received.subspan(outcome.consumed));
        }
        return;
    }
    // receiveRoom kept the receive small enough to fit behind what is held.
    const std::size_t take = std::min(received.size(), assembly.bytes.size() - assembly.count);
    std::memcpy(assembly.bytes.data() + assembly.count, received.data(), take);
    assembly.count += take;
    deliverHeldFrames(plc, slot);
}
