#include "memory/memory_image.h"

#include "memory/data_block_table.h"

#include <algorithm>
#include <charconv>
#include <cstdio>

namespace {

constexpr std::array<std::uint8_t, 8> magic = {'P', 'L', 'C', 'D', 'M', 'E', 'M', 0x1A};
constexpr std::size_t versionOffset = 8;
constexpr std::size_t kindOffset = 10;
constexpr std::size_t numberOffset = 12;
constexpr std::size_t sizeOffset = 16;
constexpr std::size_t checksumOffset = 20;

constexpr std::string_view imageExtension = ".img";
constexpr std::string_view dataBlockPrefix = "db";

// The areas' names in files and messages, in the order of ImageKind from inputs on.
constexpr std::array<std::string_view, 5> areaNames = {"inputs", "outputs", "flags", "timers",
                                                       "counters"};

// CRC-32 eight bytes at a step ("slicing by 8"): table 0 is the classic one entry per byte
// value of the reflected polynomial; table k advances a byte's remainder by k more zero bytes.
constexpr std::uint32_t crcPolynomial = 0xEDB88320u;
using CrcTables = std::array<std::array<std::uint32_t, 256>, 8>;
constexpr CrcTables crcTables = [] {
    CrcTables tables{};
    for (std::uint32_t value = 0; value < 256; ++value) {
        std::uint32_t crc = value;
        for (int bit = 0; bit < 8; ++bit) {
            crc = (crc & 1u) != 0 ? (crc >> 1) ^ crcPolynomial : crc >> 1;
        }
        tables[0][value] = crc;
    }
    for (std::size_t table = 1; table < tables.size(); ++table) {
        for (std::size_t value = 0; value < 256; ++value) {
            const std::uint32_t previous = tables[table - 1][value];
            tables[table][value] = (previous >> 8) ^ tables[0][previous & 0xFFu];
        }
    }
    return tables;
}();

std::uint32_t littleEndianWord(const std::uint8_t *bytes) {
    return static_cast<std::uint32_t>(bytes[0]) | static_cast<std::uint32_t>(bytes[1]) << 8 |
           static_cast<std::uint32_t>(bytes[2]) << 16 | static_cast<std::uint32_t>(bytes[3]) << 24;
}

void putU16(std::span<std::uint8_t> out, std::size_t at, std::uint16_t value) {
    out[at] = static_cast<std::uint8_t>(value & 0xFF);
    out[at + 1] = static_cast<std::uint8_t>(value >> 8);
}

void putU32(std::span<std::uint8_t> out, std::size_t at, std::uint32_t value) {
    for (std::size_t i = 0; i < 4; ++i) {
        out[at + i] = static_cast<std::uint8_t>(value >> (8 * i));
    }
}

std::uint16_t getU16(std::span<const std::uint8_t> in, std::size_t at) {
    return static_cast<std::uint16_t>(in[at] | (in[at + 1] << 8));
}

std::uint32_t getU32(std::span<const std::uint8_t> in, std::size_t at) {
    std::uint32_t value = 0;
    for (std::size_t i = 0; i < 4; ++i) {
        value |= static_cast<std::uint32_t>(in[at + i]) << (8 * i);
    }
    return value;
}

bool validKind(std::uint8_t kind) {
    return kind >= static_cast<std::uint8_t>(ImageKind::dataBlock) &&
           kind <= static_cast<std::uint8_t>(ImageKind::counters);
}

std::string hex32(std::uint32_t value) {
    std::array<char, 16> text{};
    std::snprintf(text.data(), text.size(), "0x%08X", static_cast<unsigned>(value));
    return text.data();
}

// The unit a header names, as text: "DB5", "inputs", or the raw kind when it is none.
std::string headerUnitText(std::uint8_t kind, std::uint16_t number) {
    if (!validKind(kind)) {
        return "kind " + std::to_string(kind);
    }
    return unitText({static_cast<ImageKind>(kind), number});
}

} // namespace

ImageUnit dataBlockUnit(std::size_t dbNumber) {
    return {ImageKind::dataBlock, static_cast<std::uint16_t>(dbNumber)};
}

ImageUnit areaUnit(ProcessArea area) {
    return {static_cast<ImageKind>(static_cast<int>(area) + 2), 0};
}

ProcessArea unitArea(ImageUnit unit) {
    return static_cast<ProcessArea>(static_cast<int>(unit.kind) - 2);
}

std::string unitText(ImageUnit unit) {
    if (unit.kind == ImageKind::dataBlock) {
        return "DB" + std::to_string(unit.number);
    }
    return std::string(areaNames.at(static_cast<std::size_t>(unit.kind) - 2));
}

std::string imageFileName(ImageUnit unit) {
    if (unit.kind == ImageKind::dataBlock) {
        return std::string(dataBlockPrefix) + std::to_string(unit.number) +
               std::string(imageExtension);
    }
    return unitText(unit) + std::string(imageExtension);
}

std::optional<ImageUnit> imageUnitFromName(std::string_view name) {
    if (!name.ends_with(imageExtension)) {
        return std::nullopt;
    }
    const std::string_view stem = name.substr(0, name.size() - imageExtension.size());
    for (std::size_t i = 0; i < areaNames.size(); ++i) {
        if (stem == areaNames[i]) {
            return ImageUnit{static_cast<ImageKind>(i + 2), 0};
        }
    }
    if (!stem.starts_with(dataBlockPrefix)) {
        return std::nullopt;
    }
    const std::string_view digits = stem.substr(dataBlockPrefix.size());
    unsigned number = 0;
    const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), number);
    // Only the name imageFileName makes: no sign, no leading zero, nothing behind the number.
    if (error != std::errc{} || end != digits.data() + digits.size() || number >= dataBlockCount ||
        (digits.size() > 1 && digits[0] == '0')) {
        return std::nullopt;
    }
    return dataBlockUnit(number);
}

std::uint32_t crc32(std::uint32_t crc, std::span<const std::uint8_t> bytes) {
    const CrcTables &t = crcTables;
    crc = ~crc;
    // Eight bytes a step (a 64 KiB block in tens of microseconds), then the rest byte by byte.
    while (bytes.size() >= 8) {
        const std::uint32_t low = crc ^ littleEndianWord(bytes.data());
        const std::uint32_t high = littleEndianWord(bytes.data() + 4);
        crc = t[7][low & 0xFFu] ^ t[6][(low >> 8) & 0xFFu] ^ t[5][(low >> 16) & 0xFFu] ^
              t[4][low >> 24] ^ t[3][high & 0xFFu] ^ t[2][(high >> 8) & 0xFFu] ^
              t[1][(high >> 16) & 0xFFu] ^ t[0][high >> 24];
        bytes = bytes.subspan(8);
    }
    for (const std::uint8_t byte : bytes) {
        crc = t[0][(crc ^ byte) & 0xFFu] ^ (crc >> 8);
    }
    return ~crc;
}

std::array<std::uint8_t, imageHeaderSize> imageHeader(ImageUnit unit,
                                                      std::span<const std::uint8_t> content) {
    std::array<std::uint8_t, imageHeaderSize> header{};
    std::copy(magic.begin(), magic.end(), header.begin());
    putU16(header, versionOffset, imageFormatVersion);
    header[kindOffset] = static_cast<std::uint8_t>(unit.kind);
    putU16(header, numberOffset, unit.number);
    putU32(header, sizeOffset, static_cast<std::uint32_t>(content.size()));
    const std::uint32_t checksum =
        crc32(crc32(0, std::span(header).first(checksumOffset)), content);
    putU32(header, checksumOffset, checksum);
    return header;
}

ImageCheck checkImage(std::span<const std::uint8_t> file, ImageUnit expected) {
    const auto failed = [](std::string error) { return ImageCheck{false, std::move(error), {}}; };
    if (file.size() < imageHeaderSize) {
        return failed("truncated: " + std::to_string(file.size()) + " bytes, shorter than the " +
                      std::to_string(imageHeaderSize) + "-byte header");
    }
    if (!std::equal(magic.begin(), magic.end(), file.begin())) {
        return failed("not a plcdouble memory image");
    }
    const std::uint16_t version = getU16(file, versionOffset);
    if (version != imageFormatVersion) {
        return failed("format version " + std::to_string(version) +
                      ", this program reads version " + std::to_string(imageFormatVersion));
    }
    const std::uint8_t kind = file[kindOffset];
    const std::uint16_t number = getU16(file, numberOffset);
    if (kind != static_cast<std::uint8_t>(expected.kind) || number != expected.number) {
        return failed("holds " + headerUnitText(kind, number) + ", not " + unitText(expected));
    }
    const std::size_t size = getU32(file, sizeOffset);
    const std::size_t held = file.size() - imageHeaderSize;
    if (held < size) {
        return failed("truncated: " + std::to_string(held) + " of " + std::to_string(size) +
                      " bytes");
    }
    if (held > size) {
        return failed(std::to_string(held) + " bytes behind the header, which announces " +
                      std::to_string(size));
    }
    const std::span<const std::uint8_t> content = file.subspan(imageHeaderSize);
    const std::uint32_t stored = getU32(file, checksumOffset);
    const std::uint32_t computed = crc32(crc32(0, file.first(checksumOffset)), content);
    if (stored != computed) {
        return failed("checksum mismatch (stored " + hex32(stored) + ", computed " +
                      hex32(computed) + ")");
    }
    return {true, {}, content};
}
