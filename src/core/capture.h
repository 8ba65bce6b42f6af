// The capture file (--pcap): every frame received and sent, with its time, in the classic
// libpcap format that Wireshark, tshark and tcpdump open as they are.
//
// Each connection is written as a TCP stream of its own between the client's real address and
// port and the server's address, with synthesised IPv4 and TCP headers (link type raw IPv4):
// SYN, SYN-ACK and ACK when it is accepted, one segment per frame received or reply sent with
// consistent sequence and acknowledgement numbers, and the FIN (or the client's reset) when it
// ends. Records collect in memory and reach the file once per pass (flushCapture); a file that
// stops taking them ends the capture with one log line while the server goes on serving.
#pragma once

#include "core/connection_table.h"
#include "core/wire.h"
#include "platform/platform.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// The server's port in the capture, whatever port it listens on: Wireshark decodes TCP as TPKT
// only on port 102 unless it is told otherwise, and the capture must decode as it is.
inline constexpr std::uint16_t captureServerPort = 102;

struct CaptureOpenResult {
    bool ok;
    std::string error; // why the file cannot be written, when not ok
};

// Creates (or empties) the capture file and starts capturing. The file header waits in memory
// with everything else until the first flush.
CaptureOpenResult openCapture(std::string_view path);

// True from openCapture until closeCapture or a failed write.
bool captureRunning();

// A connection was accepted: records the client's SYN, the SYN-ACK and the client's ACK and sets
// where both directions' sequence numbers start. ends holds the addresses and port already.
void captureAccepted(ConnectionEnds &ends);

// A whole frame from the client, when it is handed to the transport.
void captureReceived(ConnectionEnds &ends, ByteView frame);

// Bytes the server sends (one reply, or the DT frames of a split reply).
void captureSent(ConnectionEnds &ends, ByteView bytes);

// The client ended its side: a FIN, or a reset when the connection was lost.
void captureClientEnded(ConnectionEnds &ends, bool reset);

// The server closes the connection: its FIN, unless the client's reset came first.
void captureClosed(ConnectionEnds &ends);

// Hands what the records collected since the last flush to the OS in one write. On a failed
// write it logs "Capture stopped: <reason>" and captures nothing more.
void flushCapture();

// Flushes and closes the file.
void closeCapture();

// The pure parts, exposed for tests.

// The 24-byte file header: microsecond time stamps, link type raw IPv4.
void appendCaptureFileHeader(std::vector<std::uint8_t> &out);

inline constexpr std::uint8_t tcpFin = 0x01;
inline constexpr std::uint8_t tcpSyn = 0x02;
inline constexpr std::uint8_t tcpReset = 0x04;
inline constexpr std::uint8_t tcpPush = 0x08;
inline constexpr std::uint8_t tcpAck = 0x10;

struct CaptureSegment {
    platform::Ipv4Address sourceAddress;
    std::uint16_t sourcePort;
    platform::Ipv4Address destinationAddress;
    std::uint16_t destinationPort;
    std::uint32_t sequence;
    std::uint32_t acknowledgement;
    std::uint8_t flags;
    std::uint16_t ipIdentification;
};

// The largest payload one record carries (an IPv4 packet's length field limits it).
inline constexpr std::size_t largestCapturePayload = 65535 - 40;

// One record: its 16-byte header, then the IPv4 and TCP headers (checksums filled in) and the
// payload (at most largestCapturePayload bytes).
void appendCaptureRecord(std::vector<std::uint8_t> &out, std::int64_t timeMicros,
                         const CaptureSegment &segment, ByteView payload);
