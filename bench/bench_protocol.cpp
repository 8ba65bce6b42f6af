#include "bench_protocol.h"

namespace bench {

namespace {

constexpr std::uint8_t cotpDataCode = 0xF0;
constexpr std::uint8_t cotpLastDataUnit = 0x80;
constexpr std::uint8_t cotpConnectConfirm = 0xD0;
constexpr std::uint8_t cotpCodeMask = 0xF0;
constexpr std::uint8_t s7ProtocolId = 0x32;
constexpr std::uint8_t rosctrJob = 0x01;
constexpr std::uint8_t rosctrAckData = 0x03;
constexpr std::uint8_t functionSetup = 0xF0;
constexpr std::uint8_t functionRead = 0x04;
constexpr std::uint8_t functionWrite = 0x05;
constexpr std::uint8_t itemVariableAddress = 0x12;
constexpr std::uint8_t itemAddressLength = 0x0A; // bytes after this one in the item address
constexpr std::uint8_t syntaxAny = 0x10;
constexpr std::uint8_t transportByte = 0x02; // item element type: bytes
constexpr std::uint8_t areaDataBlock = 0x84;
constexpr std::uint8_t dataTransportBytes = 0x04; // data item sizes given in bits
constexpr std::uint8_t dataItemReserved = 0x00;
constexpr std::uint8_t fillByte = 0x00;
constexpr std::size_t functionHeaderSize = 2; // function code and item count
constexpr std::size_t bitsPerByte = 8;
constexpr std::size_t setupParameterSize = 8;
constexpr std::size_t setupPduSizeOffset = 6; // within the setup parameter
constexpr std::size_t ackErrorOffset = 10;    // error class and code within the ack header

// Connection request: destination reference 0, source reference 1, class 0; calling TSAP
// 01 00, called TSAP 01 02 (rack 0, slot 2, patched for other slots); largest TPDU 1024 bytes
// (code 0A).
constexpr std::uint8_t connectionRequest[] = {0x03, 0x00, 0x00, 0x16, 0x11, 0xE0, 0x00, 0x00,
                                              0x00, 0x01, 0x00, 0xC1, 0x02, 0x01, 0x00, 0xC2,
                                              0x02, 0x01, 0x02, 0xC0, 0x01, 0x0A};
// The called TSAP's second byte: rack in the upper 3 bits, slot in the lower 5.
constexpr std::size_t connectionRequestRackSlotOffset = 18;
constexpr std::uint8_t slotMask = 0x1F;

void put16(std::vector<std::uint8_t> &out, std::size_t value) {
    out.push_back(static_cast<std::uint8_t>((value >> 8) & 0xFF));
    out.push_back(static_cast<std::uint8_t>(value & 0xFF));
}

void put24(std::vector<std::uint8_t> &out, std::size_t value) {
    out.push_back(static_cast<std::uint8_t>((value >> 16) & 0xFF));
    put16(out, value & 0xFFFF);
}

std::size_t get16(std::span<const std::uint8_t> bytes, std::size_t at) {
    return static_cast<std::size_t>(bytes[at] << 8 | bytes[at + 1]);
}

// Starts a data frame: TPKT header with the length left open, then the COTP data header.
std::size_t beginFrame(std::vector<std::uint8_t> &out) {
    const std::size_t start = out.size();
    out.insert(out.end(), {tpktVersion, 0x00, 0x00, 0x00, 0x02, cotpDataCode, cotpLastDataUnit});
    return start;
}

void endFrame(std::vector<std::uint8_t> &out, std::size_t start) {
    const std::size_t length = out.size() - start;
    out[start + 2] = static_cast<std::uint8_t>((length >> 8) & 0xFF);
    out[start + 3] = static_cast<std::uint8_t>(length & 0xFF);
}

void putJobHeader(std::vector<std::uint8_t> &out, std::uint16_t pduReference,
                  std::size_t parameterLength, std::size_t dataLength) {
    out.insert(out.end(), {s7ProtocolId, rosctrJob, 0x00, 0x00});
    put16(out, pduReference);
    put16(out, parameterLength);
    put16(out, dataLength);
}

void putAckHeader(std::vector<std::uint8_t> &out, std::uint16_t pduReference,
                  std::size_t parameterLength, std::size_t dataLength) {
    out.insert(out.end(), {s7ProtocolId, rosctrAckData, 0x00, 0x00});
    put16(out, pduReference);
    put16(out, parameterLength);
    put16(out, dataLength);
    out.insert(out.end(), {0x00, 0x00}); // no error
}

void putItemAddresses(std::vector<std::uint8_t> &out, std::span<const Item> items) {
    for (const Item &item : items) {
        out.insert(out.end(), {itemVariableAddress, itemAddressLength, syntaxAny, transportByte});
        put16(out, item.byteCount);
        put16(out, item.dbNumber);
        out.push_back(areaDataBlock);
        put24(out, static_cast<std::size_t>(item.byteOffset) * bitsPerByte);
    }
}

// The data section shared by Write Var jobs and Read Var replies: per item a 4-byte header and
// its bytes, with a fill byte keeping every following item at an even position.
void putDataSection(std::vector<std::uint8_t> &out, std::uint8_t firstHeaderByte,
                    std::span<const Item> items, std::span<const std::uint8_t> data) {
    std::size_t consumed = 0;
    for (std::size_t index = 0; index < items.size(); ++index) {
        const std::size_t count = items[index].byteCount;
        out.insert(out.end(), {firstHeaderByte, dataTransportBytes});
        put16(out, count * bitsPerByte);
        const auto bytes = data.subspan(consumed, count);
        out.insert(out.end(), bytes.begin(), bytes.end());
        consumed += count;
        if (count % 2 != 0 && index + 1 < items.size()) {
            out.push_back(fillByte);
        }
    }
}

std::size_t dataSectionSize(std::span<const Item> items) {
    std::size_t size = 0;
    for (std::size_t index = 0; index < items.size(); ++index) {
        const std::size_t count = items[index].byteCount;
        size += dataItemHeaderSize + count;
        if (count % 2 != 0 && index + 1 < items.size()) {
            ++size;
        }
    }
    return size;
}

} // namespace

void appendConnectionRequest(std::vector<std::uint8_t> &out, std::uint8_t slot) {
    const std::size_t start = out.size();
    out.insert(out.end(), std::begin(connectionRequest), std::end(connectionRequest));
    out[start + connectionRequestRackSlotOffset] = slot & slotMask; // rack 0
}

void appendSetupCommunicationJob(std::vector<std::uint8_t> &out, std::uint16_t pduReference,
                                 std::uint16_t pduSize) {
    const std::size_t start = beginFrame(out);
    putJobHeader(out, pduReference, setupParameterSize, 0);
    // Function, reserved, one parallel job each way, the PDU size asked for.
    out.insert(out.end(), {functionSetup, 0x00, 0x00, 0x01, 0x00, 0x01});
    put16(out, pduSize);
    endFrame(out, start);
}

void appendReadVarJob(std::vector<std::uint8_t> &out, std::uint16_t pduReference,
                      std::span<const Item> items) {
    const std::size_t start = beginFrame(out);
    putJobHeader(out, pduReference, functionHeaderSize + itemAddressSize * items.size(), 0);
    out.push_back(functionRead);
    out.push_back(static_cast<std::uint8_t>(items.size()));
    putItemAddresses(out, items);
    endFrame(out, start);
}

void appendWriteVarJob(std::vector<std::uint8_t> &out, std::uint16_t pduReference,
                       std::span<const Item> items, std::span<const std::uint8_t> data) {
    const std::size_t start = beginFrame(out);
    putJobHeader(out, pduReference, functionHeaderSize + itemAddressSize * items.size(),
                 dataSectionSize(items));
    out.push_back(functionWrite);
    out.push_back(static_cast<std::uint8_t>(items.size()));
    putItemAddresses(out, items);
    putDataSection(out, dataItemReserved, items, data);
    endFrame(out, start);
}

void appendReadVarReply(std::vector<std::uint8_t> &out, std::uint16_t pduReference,
                        std::span<const Item> items, std::span<const std::uint8_t> data) {
    const std::size_t start = beginFrame(out);
    putAckHeader(out, pduReference, functionHeaderSize, dataSectionSize(items));
    out.push_back(functionRead);
    out.push_back(static_cast<std::uint8_t>(items.size()));
    putDataSection(out, returnCodeSuccess, items, data);
    endFrame(out, start);
}

void appendWriteVarReply(std::vector<std::uint8_t> &out, std::uint16_t pduReference,
                         std::size_t itemCount) {
    const std::size_t start = beginFrame(out);
    putAckHeader(out, pduReference, functionHeaderSize, itemCount);
    out.push_back(functionWrite);
    out.push_back(static_cast<std::uint8_t>(itemCount));
    out.insert(out.end(), itemCount, returnCodeSuccess);
    endFrame(out, start);
}

void setPduReference(std::span<std::uint8_t> frame, std::uint16_t pduReference) {
    frame[pduReferenceOffset] = static_cast<std::uint8_t>(pduReference >> 8);
    frame[pduReferenceOffset + 1] = static_cast<std::uint8_t>(pduReference & 0xFF);
}

void markBaselineReply(std::span<std::uint8_t> job, std::size_t replySize) {
    job[baselineReplySizeOffset] = static_cast<std::uint8_t>((replySize >> 8) & 0xFF);
    job[baselineReplySizeOffset + 1] = static_cast<std::uint8_t>(replySize & 0xFF);
}

std::size_t tpktLength(std::span<const std::uint8_t> header) {
    if (header.size() < tpktHeaderSize || header[0] != tpktVersion || header[1] != 0x00) {
        return 0;
    }
    return get16(header, 2);
}

void fillPattern(std::span<std::uint8_t> out, std::uint32_t seed) {
    std::uint32_t state = seed * 2654435761u + 1u; // Knuth's multiplicative hash spreads seeds
    for (std::uint8_t &byte : out) {
        state = state * 1103515245u + 12345u;
        byte = static_cast<std::uint8_t>(state >> 24);
    }
}

SetupReply parseSetupReply(std::span<const std::uint8_t> frame, std::uint16_t pduReference) {
    const std::size_t parameterStart = s7Start + s7AckHeaderSize;
    if (frame.size() < parameterStart + setupParameterSize || tpktLength(frame) != frame.size() ||
        frame[s7Start] != s7ProtocolId || frame[s7Start + 1] != rosctrAckData ||
        get16(frame, pduReferenceOffset) != pduReference ||
        get16(frame, s7Start + ackErrorOffset) != 0 || frame[parameterStart] != functionSetup) {
        return {false, 0};
    }
    return {true, static_cast<std::uint16_t>(get16(frame, parameterStart + setupPduSizeOffset))};
}

bool isConnectionConfirm(std::span<const std::uint8_t> frame) {
    constexpr std::size_t codeOffset = tpktHeaderSize + 1; // after the COTP length byte
    return frame.size() > codeOffset && tpktLength(frame) == frame.size() &&
           (frame[codeOffset] & cotpCodeMask) == cotpConnectConfirm;
}

} // namespace bench
