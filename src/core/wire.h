// Big-endian field access on frames. Callers check that a field lies inside the view before
// reading it; the standard library's checked mode backs that up in debug builds.
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

inline std::uint16_t readU16be(ByteView view, std::size_t at) {
    return static_cast<std::uint16_t>((view[at] << 8) | view[at + 1]);
}

// A byte that may lie beyond the frame: absent bytes read as zero, never as stale data.
inline std::uint8_t readU8OrZero(ByteView view, std::size_t at) {
    return at < view.size() ? view[at] : 0;
}

inline void writeU16be(ByteBuffer out, std::size_t at, std::size_t value) {
    out[at] = static_cast<std::uint8_t>((value >> 8) & 0xFF);
    out[at + 1] = static_cast<std::uint8_t>(value & 0xFF);
}
