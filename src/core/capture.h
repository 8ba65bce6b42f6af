// The capture file (--pcap): every frame received and sent, with its time, in the classic
// libpcap format that Wireshark, tshark and tcpdump open as they are.
//
// Each connection is written as a TCP stream of its own between the client's real address and
// port and the server's address, with synthesised IPv4 and TCP headers (link type raw IPv4):
// SYN, SYN-ACK and ACK when it is accepted, one segment per frame received or reply sent with
// consistent sequence and acknowledgement numbers, and the FIN (or the client's reset) when it
// ends. Records collect in memory and reach the file once per pass (flushCapture); a file that
// stops taking them ends the capture with one log line while the server goes on serving.
//
// One capture serves the whole process; each PLC's connection table holds a pointer to it (none
// when nothing is captured), and every call below takes that pointer.
#pragma once

#include "base/bytes.h"
#include "platform/platform.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// The server's port in the capture, whatever port it listens on: Wireshark decodes TCP as TPKT
// only on port 102 unless it is told otherwise, and the capture must decode as it is.
inline constexpr std::uint16_t captureServerPort = 102;

// The connection's two ends, as accepted, and where the capture file's synthesised TCP stream
// stands in each direction: the sequence number of the next byte, and how the client's end is
// written (a FIN, or a reset after which the server writes nothing more).
struct ConnectionEnds {
    Ipv4Address clientAddress;
    std::uint16_t clientPort;
    Ipv4Address serverAddress;
    // The server's port as the capture shows it: captureServerPort, or the port listened on
    // where that alone tells two PLCs on one address apart.
    std::uint16_t serverPort;
    std::uint32_t clientSequence;
    std::uint32_t serverSequence;
    bool clientEnded;
    bool clientReset;
};

// What the capture holds while it runs.
struct Capture {
    platform::FileHandle file = platform::invalidFile;
    std::vector<std::uint8_t> pending; // records not yet handed to the OS
    // Record times: the wall clock at open, moved on by the monotonic clock, so they never run
    // backwards when the system clock is set.
    std::int64_t wallAtOpen = 0;
    std::int64_t monotonicAtOpen = 0;
    std::uint32_t connections = 0; // accepted so far; sets each stream's initial sequence numbers
    std::uint16_t ipIdentification = 0;
};

struct CaptureOpenResult {
    bool ok;
    std::string error; // why the file cannot be written, when not ok
};

// Creates (or empties) the capture file and starts capturing. The file header waits in memory
// with everything else until the first flush.
CaptureOpenResult openCapture(Capture &capture, std::string_view path);

// True from openCapture until closeCapture or a failed write.
bool captureRunning(const Capture *capture);

// A connection was accepted: records the client's SYN, the SYN-ACK and the client's ACK and sets
// where both directions' sequence numbers start. ends holds the addresses and port already.
void captureAccepted(Capture *capture, ConnectionEnds &ends);

// A whole frame from the client, when it is handed to the transport.
void captureReceived(Capture *capture, ConnectionEnds &ends, ByteView frame);

// Bytes the server sends (one reply, or the DT frames of a split reply).
void captureSent(Capture *capture, ConnectionEnds &ends, ByteView bytes);

// The client ended its side: a FIN, or a reset when the connection was lost.
void captureClientEnded(Capture *capture, ConnectionEnds &ends, bool reset);

// The server closes the connection: its FIN, unless the client's reset came first.
void captureClosed(Capture *capture, ConnectionEnds &ends);

// Hands what the records collected since the last flush to the OS in one write. On a failed
// write it logs "Capture stopped: <reason>" and captures nothing more.
void flushCapture(Capture &capture);

// Flushes and closes the file.
void closeCapture(Capture &capture);

// The pure parts, exposed for tests.

// The 24-byte file header: microsecond time stamps, link type raw IPv4.
void appendCaptureFileHeader(std::vector<std::uint8_t> &out);

inline constexpr std::uint8_t tcpFin = 0x01;
inline constexpr std::uint8_t tcpSyn = 0x02;
inline constexpr std::uint8_t tcpReset = 0x04;
inline constexpr std::uint8_t tcpPush = 0x08;
inline constexpr std::uint8_t tcpAck = 0x10;

struct CaptureSegment {
    Ipv4Address sourceAddress;
    std::uint16_t sourcePort;
    Ipv4Address destinationAddress;
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
