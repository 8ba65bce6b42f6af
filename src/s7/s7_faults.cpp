#include "s7/s7_faults.h"

#include "s7/item_access.h"
#include "s7/s7_pdu.h"
#include "s7/userdata.h"

#include <array>

namespace {

FaultOn jobKind(std::uint8_t function) {
    switch (function) {
    case functionReadVar:
        return FaultOn::read;
    case functionWriteVar:
        return FaultOn::write;
    case functionSetupCommunication:
        return FaultOn::setup;
    default:
        return FaultOn::any; // a control job: only on=any names it
    }
}

} // namespace

bool applyS7Faults(Plc &plc, int slot, ByteView pdu, FaultDecision &decision) {
    if (!faultRulesActive(plc.faults) || pdu.size() < pduHeaderSize) {
        return false;
    }
    const std::uint8_t messageType = readU8(pdu, pduMessageTypeOffset);
    const bool job = messageType == messageTypeJob;
    if (!job && messageType != messageTypeUserData) {
        return false; // not a request
    }
    FaultOn kind = FaultOn::any;
    std::array<FaultItem, largestFaultItemCount> items{};
    std::size_t itemCount = 0;
    if (job) {
        kind = jobKind(readU8OrZero(pdu, pduFunctionOffset));
        if (kind == FaultOn::read || kind == FaultOn::write) {
            // Items past the end of the job are not there to match.
            const std::size_t declared = readU8OrZero(pdu, pduItemCountOffset);
            for (std::size_t i = 0; i < declared; ++i) {
                const std::size_t at = pduFirstItemOffset + requestItemSize * i;
                if (!fits(pdu, at, requestItemSize)) {
                    break;
                }
                items[itemCount++] = faultItemOf(pdu.subspan(at, requestItemSize));
            }
        }
    } else if (isReadSzlRequest(pdu)) {
        kind = FaultOn::szl;
    }
    const FaultRequest request{kind, slotAt(plc.connections, slot).ends.clientAddress,
                               std::span(items).first(itemCount)};
    decision = decideFaults(plc.faults, request);
    if (applyFaultDelivery(plc.connections, slot, decision)) {
        return true;
    }
    if (decision.headerError != 0) {
        const auto errorClass = static_cast<std::uint8_t>(decision.headerError >> 8);
        const auto errorCode = static_cast<std::uint8_t>(decision.headerError & 0xFF);
        if (job) {
            sendHeaderError(plc, slot, pdu, {errorClass, errorCode}, decision.rule);
        } else {
            refuseUserData(plc, slot, pdu, decision.headerError, decision.rule);
        }
        return true;
    }
    return false;
}
