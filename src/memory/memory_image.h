// The file that keeps one data block or one area of the controller's memory between runs: a
// small header that says what it holds, then the bytes. Pure logic: building, naming and
// checking images; reading and writing files is the caller's.
//
//   0..7   magic "PLCDMEM" 0x1A
//   8..9   format version, 1
//   10     what it holds: 1 data block, 2 inputs, 3 outputs, 4 flags, 5 timers, 6 counters
//   11     0
//   12..13 the DB number (data blocks; 0 for the areas)
//   14..15 0
//   16..19 the content's size in bytes
//   20..23 CRC-32 (as zlib's crc32) of bytes 0..19 followed by the content
//   24..   the content
//
// Every field is little-endian.
#pragma once

#include "base/memory_area.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

// What one image holds: a data block by number, or one of the fixed areas (number 0).
struct ImageUnit {
    MemoryArea area;
    std::uint16_t number;

    bool operator==(const ImageUnit &) const = default;
};

inline constexpr std::size_t imageHeaderSize = 24;
inline constexpr std::uint16_t imageFormatVersion = 1;
// The largest file an image can be: the header and 65535 bytes (an area's largest size).
inline constexpr std::size_t largestImageFile = imageHeaderSize + 65535;
// A save writes NAME.tmp first and renames it over NAME once it is on the disk.
inline constexpr std::string_view temporarySuffix = ".tmp";

ImageUnit dataBlockUnit(std::size_t dbNumber);
ImageUnit areaUnit(MemoryArea area);

// "db5.img", "inputs.img".
std::string imageFileName(ImageUnit unit);
// The unit a file name belongs to: only the names imageFileName makes ("db05.img" is none).
std::optional<ImageUnit> imageUnitFromName(std::string_view name);
// "DB5", "inputs", for messages.
std::string unitText(ImageUnit unit);

// CRC-32 with the polynomial, reflection and final inversion of zlib's crc32 (and of gzip, PNG,
// Ethernet): crc32(crc32(0, a), b) == crc32(0, a + b).
std::uint32_t crc32(std::uint32_t crc, std::span<const std::uint8_t> bytes);

// The header for an image of unit holding content.
std::array<std::uint8_t, imageHeaderSize> imageHeader(ImageUnit unit,
                                                      std::span<const std::uint8_t> content);

struct ImageCheck {
    bool ok;
    std::string error; // when not ok: what is wrong, one line, without the file's name
    std::span<const std::uint8_t> content; // when ok: the content inside file
};

// Whether file is a whole, intact image of expected.
ImageCheck checkImage(std::span<const std::uint8_t> file, ImageUnit expected);
