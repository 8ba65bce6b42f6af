#include "core/capture.h"

#include "core/log.h"

#include <algorithm>
#include <array>

namespace {

// The file header, little-endian like every pcap header field (readers take either order):
//
//   offset  0..3        4..5   6..7   8..11     12..15    16..19     20..23
//         +-----------+------+------+---------+---------+----------+----------+
//         | magic     | 2    | 4    | zone 0  | sigfigs | snaplen  | link     |
//         | A1B2C3D4  | major| minor|         | 0       | 65535    | 101 raw  |
//         +-----------+------+------+---------+---------+----------+----------+
constexpr std::size_t fileHeaderSize = 24;
constexpr std::size_t fileMagicOffset = 0;
constexpr std::size_t fileMajorOffset = 4;
constexpr std::size_t fileMinorOffset = 6;
constexpr std::size_t fileSnapLengthOffset = 16;
constexpr std::size_t fileLinkTypeOffset = 20;
constexpr std::uint32_t pcapMagicMicros = 0xA1B2C3D4;
constexpr std::uint32_t snapLength = 65535;
// Raw IP: the packet starts with its IPv4 header; no link header to invent.
constexpr std::uint32_t linkTypeRawIp = 101;

// One record: record header (little-endian), IPv4 header and TCP header (big-endian), payload.
//
//   record  0..3 seconds  4..7 microseconds  8..11 captured length  12..15 length on the wire
//   IPv4   +16 45  +17 00  +18..19 total length  +20..21 identification  +22..23 4000 (DF)
//          +24 TTL 40  +25 protocol 06 TCP  +26..27 header checksum  +28..31 source
//          +32..35 destination
//   TCP    +36..37 source port  +38..39 destination port  +40..43 sequence  +44..47 ack
//          +48 data offset 50  +49 flags  +50..51 window  +52..53 checksum  +54..55 urgent 0
//          +56.. payload
constexpr std::size_t recordHeaderSize = 16;
constexpr std::size_t recordSecondsOffset = 0;
constexpr std::size_t recordMicrosOffset = 4;
constexpr std::size_t recordCapturedOffset = 8;
constexpr std::size_t recordWireOffset = 12;

constexpr std::size_t ipOffset = recordHeaderSize;
constexpr std::size_t ipHeaderSize = 20;
constexpr std::size_t ipTotalLengthOffset = ipOffset + 2;
constexpr std::size_t ipIdentificationOffset = ipOffset + 4;
constexpr std::size_t ipFragmentOffset = ipOffset + 6;
constexpr std::size_t ipTtlOffset = ipOffset + 8;
constexpr std::size_t ipProtocolOffset = ipOffset + 9;
constexpr std::size_t ipChecksumOffset = ipOffset + 10;
constexpr std::size_t ipSourceOffset = ipOffset + 12;
constexpr std::size_t ipDestinationOffset = ipOffset + 16;

constexpr std::size_t tcpOffset = ipOffset + ipHeaderSize;
constexpr std::size_t tcpHeaderSize = 20;
constexpr std::size_t tcpSourcePortOffset = tcpOffset + 0;
constexpr std::size_t tcpDestinationPortOffset = tcpOffset + 2;
constexpr std::size_t tcpSequenceOffset = tcpOffset + 4;
constexpr std::size_t tcpAckOffset = tcpOffset + 8;
constexpr std::size_t tcpDataOffsetOffset = tcpOffset + 12;
constexpr std::size_t tcpFlagsOffset = tcpOffset + 13;
constexpr std::size_t tcpWindowOffset = tcpOffset + 14;
constexpr std::size_t tcpChecksumOffset = tcpOffset + 16;

constexpr std::size_t recordPrefixSize = tcpOffset + tcpHeaderSize;
using RecordPrefix = std::array<std::uint8_t, recordPrefixSize>;

void writeAddress(ByteBuffer out, std::size_t at, const Ipv4Address &address) {
    std::copy(address.begin(), address.end(), out.begin() + static_cast<std::ptrdiff_t>(at));
}

// The Internet checksum's running sum of 16-bit big-endian words (an odd last byte is padded).
std::uint32_t sumWords(ByteView bytes, std::uint32_t sum) {
    std::size_t at = 0;
    for (; at + 1 < bytes.size(); at += 2) {
        sum += readU16be(bytes, at);
    }
    if (at < bytes.size()) {
        sum += static_cast<std::uint32_t>(bytes[at] << 8);
    }
    return sum;
}

std::uint16_t foldChecksum(std::uint32_t sum) {
    while (sum > 0xFFFF) {
        sum = (sum & 0xFFFF) + (sum >> 16);
    }
    return static_cast<std::uint16_t>(~sum & 0xFFFF);
}

// A pass rarely collects more; a busy pass grows it, and it keeps that size.
constexpr std::size_t pendingReserve = std::size_t{64} * 1024;

std::int64_t captureTime(const Capture &capture) {
    return capture.wallAtOpen + (platform::monotonicMicros() - capture.monotonicAtOpen);
}

enum class Sender { client, server };

// One segment of the stream, with its sequence number taken and moved on: by the payload, and
// by one for a SYN or a FIN. Acknowledges everything the other side has sent.
void recordSegment(Capture &capture, ConnectionEnds &ends, Sender sender, std::uint8_t flags,
                   ByteView payload, std::int64_t time) {
    const bool fromClient = sender == Sender::client;
    std::uint32_t &sequence = fromClient ? ends.clientSequence : ends.serverSequence;
    const std::uint32_t otherSequence = fromClient ? ends.serverSequence : ends.clientSequence;
    CaptureSegment segment{};
    segment.sourceAddress = fromClient ? ends.clientAddress : ends.serverAddress;
    segment.sourcePort = fromClient ? ends.clientPort : ends.serverPort;
    segment.destinationAddress = fromClient ? ends.serverAddress : ends.clientAddress;
    segment.destinationPort = fromClient ? ends.serverPort : ends.clientPort;
    segment.sequence = sequence;
    segment.acknowledgement = (flags & tcpAck) != 0 ? otherSequence : 0;
    segment.flags = flags;
    segment.ipIdentification = capture.ipIdentification++;
    appendCaptureRecord(capture.pending, time, segment, payload);
    sequence += static_cast<std::uint32_t>(payload.size());
    if ((flags & (tcpSyn | tcpFin)) != 0) {
        sequence += 1;
    }
}

void recordData(Capture *capture, ConnectionEnds &ends, Sender sender, ByteView bytes) {
    if (!captureRunning(capture)) {
        return;
    }
    const std::int64_t time = captureTime(*capture);
    // Larger than any frame the server handles; cut rather than write a packet IPv4 cannot hold.
    while (!bytes.empty()) {
        const ByteView piece = bytes.first(std::min(bytes.size(), largestCapturePayload));
        recordSegment(*capture, ends, sender, tcpPush | tcpAck, piece, time);
        bytes = bytes.subspan(piece.size());
    }
}

} // namespace

void appendCaptureFileHeader(std::vector<std::uint8_t> &out) {
    std::array<std::uint8_t, fileHeaderSize> header{};
    writeU32le(header, fileMagicOffset, pcapMagicMicros);
    writeU16le(header, fileMajorOffset, 2);
    writeU16le(header, fileMinorOffset, 4);
    writeU32le(header, fileSnapLengthOffset, snapLength);
    writeU32le(header, fileLinkTypeOffset, linkTypeRawIp);
    out.insert(out.end(), header.begin(), header.end());
}

void appendCaptureRecord(std::vector<std::uint8_t> &out, std::int64_t timeMicros,
                         const CaptureSegment &segment, ByteView payload) {
    payload = payload.first(std::min(payload.size(), largestCapturePayload));
    const std::size_t packetSize = ipHeaderSize + tcpHeaderSize + payload.size();
    RecordPrefix prefix{};
    const std::int64_t time = std::max<std::int64_t>(timeMicros, 0);
    writeU32le(prefix, recordSecondsOffset, static_cast<std::uint32_t>(time / 1'000'000));
    writeU32le(prefix, recordMicrosOffset, static_cast<std::uint32_t>(time % 1'000'000));
    writeU32le(prefix, recordCapturedOffset, static_cast<std::uint32_t>(packetSize));
    writeU32le(prefix, recordWireOffset, static_cast<std::uint32_t>(packetSize));

    // clang-format off
    prefix[ipOffset] = 0x45;             // version 4, header of 5 words
    writeU16be(prefix, ipTotalLengthOffset, packetSize);
    writeU16be(prefix, ipIdentificationOffset, segment.ipIdentification);
    writeU16be(prefix, ipFragmentOffset, 0x4000); // don't fragment
    prefix[ipTtlOffset] = 64;
    prefix[ipProtocolOffset] = 6;        // TCP
    writeAddress(prefix, ipSourceOffset, segment.sourceAddress);
    writeAddress(prefix, ipDestinationOffset, segment.destinationAddress);
    writeU16be(prefix, ipChecksumOffset,
               foldChecksum(sumWords(ByteView(prefix).subspan(ipOffset, ipHeaderSize), 0)));

    writeU16be(prefix, tcpSourcePortOffset, segment.sourcePort);
    writeU16be(prefix, tcpDestinationPortOffset, segment.destinationPort);
    writeU32be(prefix, tcpSequenceOffset, segment.sequence);
    writeU32be(prefix, tcpAckOffset, segment.acknowledgement);
    prefix[tcpDataOffsetOffset] = 0x50;  // header of 5 words, no options
    prefix[tcpFlagsOffset] = segment.flags;
    writeU16be(prefix, tcpWindowOffset, 0xFFFF);
    // clang-format on

    // The TCP checksum covers a pseudo header (addresses, protocol, TCP length), the TCP header
    // and the payload.
    const std::size_t tcpLength = tcpHeaderSize + payload.size();
    std::uint32_t sum = sumWords(ByteView(prefix).subspan(ipSourceOffset, 8), 0);
    sum += 6 + static_cast<std::uint32_t>(tcpLength);
    sum = sumWords(ByteView(prefix).subspan(tcpOffset, tcpHeaderSize), sum);
    sum = sumWords(payload, sum);
    writeU16be(prefix, tcpChecksumOffset, foldChecksum(sum));

    out.insert(out.end(), prefix.begin(), prefix.end());
    out.insert(out.end(), payload.begin(), payload.end());
}

CaptureOpenResult openCapture(Capture &capture, std::string_view path) {
    closeCapture(capture);
    const platform::FileResult opened = platform::createFile(path);
    if (opened.file == platform::invalidFile) {
        return {false, platform::describeError(opened.errorCode)};
    }
    capture.file = opened.file;
    capture.pending.clear();
    capture.pending.reserve(pendingReserve);
    appendCaptureFileHeader(capture.pending);
    capture.wallAtOpen = platform::wallClockMicros();
    capture.monotonicAtOpen = platform::monotonicMicros();
    capture.connections = 0;
    capture.ipIdentification = 0;
    return {true, {}};
}

bool captureRunning(const Capture *capture) {
    return capture != nullptr && capture->file != platform::invalidFile;
}

void captureAccepted(Capture *capture, ConnectionEnds &ends) {
    if (!captureRunning(capture)) {
        return;
    }
    // Each stream starts at its own place, so a client that reuses its port later does not look
    // like a retransmission of the earlier stream.
    capture->connections += 1;
    ends.clientSequence = capture->connections * 0x01000000u;
    ends.serverSequence = ends.clientSequence + 0x00800000u;
    ends.clientEnded = false;
    ends.clientReset = false;
    const std::int64_t time = captureTime(*capture);
    recordSegment(*capture, ends, Sender::client, tcpSyn, {}, time);
    recordSegment(*capture, ends, Sender::server, tcpSyn | tcpAck, {}, time);
    recordSegment(*capture, ends, Sender::client, tcpAck, {}, time);
}

void captureReceived(Capture *capture, ConnectionEnds &ends, ByteView frame) {
    recordData(capture, ends, Sender::client, frame);
}

void captureSent(Capture *capture, ConnectionEnds &ends, ByteView bytes) {
    recordData(capture, ends, Sender::server, bytes);
}

void captureClientEnded(Capture *capture, ConnectionEnds &ends, bool reset) {
    if (!captureRunning(capture) || ends.clientEnded) {
        return;
    }
    recordSegment(*capture, ends, Sender::client, reset ? tcpReset | tcpAck : tcpFin | tcpAck, {},
                  captureTime(*capture));
    ends.clientEnded = true;
    ends.clientReset = reset;
}

void captureClosed(Capture *capture, ConnectionEnds &ends) {
    if (!captureRunning(capture) || ends.clientReset) {
        return;
    }
    recordSegment(*capture, ends, Sender::server, tcpFin | tcpAck, {}, captureTime(*capture));
}

void flushCapture(Capture &capture) {
    if (!captureRunning(&capture) || capture.pending.empty()) {
        return;
    }
    const platform::FileWriteResult written = platform::writeFile(capture.file, capture.pending);
    capture.pending.clear();
    if (written.failed) {
        logMessage(attributeError, "Capture stopped: %s",
                   platform::describeError(written.errorCode).c_str());
        platform::closeFile(capture.file);
        capture.file = platform::invalidFile;
    }
}

void closeCapture(Capture &capture) {
    flushCapture(capture);
    platform::closeFile(capture.file);
    capture.file = platform::invalidFile;
    capture.pending.clear();
}
