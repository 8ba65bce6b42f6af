// Integers in byte buffers, in both byte orders. The wire is big-endian (TPKT, COTP, S7, S5, the
// capture's IPv4 and TCP headers); files of our own and pcap headers are little-endian. Callers
// check that a field lies inside the view before reading it (fits); the standard library's
// checked mode backs that up in debug builds.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

using ByteView = std::span<const std::uint8_t>;
using ByteBuffer = std::span<std::uint8_t>;

// True when width bytes starting at offset lie inside the view.
inline bool fits(ByteView view, std::size_t offset, std::size_t width) {
    return offset <= view.size() && width <= view.size() - offset;
}

inline std::uint8_t readU8(ByteView view, std::size_t at) {
    return view[at];
}

// A byte that may lie beyond the frame: absent bytes read as zero, never as stale data.
inline std::uint8_t readU8OrZero(ByteView view, std::size_t at) {
    return at < view.size() ? view[at] : 0;
}

// The bytes as one unsigned number, most significant first (at most 8 of them).
inline std::uint64_t readBigEndian(ByteView bytes) {
    std::uint64_t value = 0;
    for (const std::uint8_t byte : bytes) {
        value = (value << 8) | byte;
    }
    return value;
}

// The bytes as one unsigned number, least significant first (at most 8 of them).
inline std::uint64_t readLittleEndian(ByteView bytes) {
    std::uint64_t value = 0;
    for (std::size_t i = bytes.size(); i-- > 0;) {
        value = (value << 8) | bytes[i];
    }
    return value;
}

// The low out.size() bytes of value, most significant first.
inline void writeBigEndian(ByteBuffer out, std::uint64_t value) {
    for (std::size_t i = out.size(); i-- > 0;) {
        out[i] = static_cast<std::uint8_t>(value & 0xFF);
        value >>= 8;
    }
}

// The low out.size() bytes of value, least significant first.
inline void writeLittleEndian(ByteBuffer out, std::uint64_t value) {
    for (std::uint8_t &byte : out) {
        byte = static_cast<std::uint8_t>(value & 0xFF);
        value >>= 8;
    }
}

inline std::uint16_t readU16be(ByteView view, std::size_t at) {
    return static_cast<std::uint16_t>((view[at] << 8) | view[at + 1]);
}

inline std::uint32_t readU24be(ByteView view, std::size_t at) {
    return static_cast<std::uint32_t>(readBigEndian(view.subspan(at, 3)));
}

inline std::uint32_t readU32be(ByteView view, std::size_t at) {
    return static_cast<std::uint32_t>(readBigEndian(view.subspan(at, 4)));
}

inline std::uint16_t readU16le(ByteView view, std::size_t at) {
    return static_cast<std::uint16_t>(view[at] | (view[at + 1] << 8));
}

inline std::uint32_t readU32le(ByteView view, std::size_t at) {
    return static_cast<std::uint32_t>(readLittleEndian(view.subspan(at, 4)));
}

// Writers take the value as it comes (sizes, counts) and keep its low bytes.
inline void writeU16be(ByteBuffer out, std::size_t at, std::uint64_t value) {
    out[at] = static_cast<std::uint8_t>((value >> 8) & 0xFF);
    out[at + 1] = static_cast<std::uint8_t>(value & 0xFF);
}

inline void writeU32be(ByteBuffer out, std::size_t at, std::uint64_t value) {
    writeBigEndian(out.subspan(at, 4), value);
}

inline void writeU16le(ByteBuffer out, std::size_t at, std::uint64_t value) {
    out[at] = static_cast<std::uint8_t>(value & 0xFF);
    out[at + 1] = static_cast<std::uint8_t>((value >> 8) & 0xFF);
}

inline void writeU32le(ByteBuffer out, std::size_t at, std::uint64_t value) {
    writeLittleEndian(out.subspan(at, 4), value);
}
