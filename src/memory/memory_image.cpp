#include "memory/memory_image.h"

#include "base/bytes.h"
#include "base/text.h"
#include "memory/data_block_table.h"

#include <algorithm>

namespace {

constexpr std::array<std::uint8_t, 8> magic = {'P', 'L', 'C', 'D', 'M', 'E', 'M', 0x1A};
constexpr std::size_t versionOffset = 8;
constexpr std::size_t kindOffset = 10;
constexpr std::size_t numberOffset = 12;
constexpr std::size_t sizeOffset = 16;
constexpr std::size_t checksumOffset = 20;

constexpr std::string_view imageExtension = ".img";
constexpr std::string_view dataBlockPrefix = "db";

// What the header's kind byte says the image holds.
struct KindCode {
    std::uint8_t code;
    MemoryArea area;
};
constexpr std::array<KindCode, 6> kindCodes = {{
    {1, MemoryArea::dataBlock},
    {2, MemoryArea::inputs},
    {3, MemoryArea::outputs},
    {4, MemoryArea::flags},
    {5, MemoryArea::timers},
    {6, MemoryArea::counters},
}};

std::optional<MemoryArea> areaOfKind(std::uint8_t code) {
    for (const KindCode &kind : kindCodes) {
        if (kind.code == code) {
            return kind.area;
        }
    }
    return std::nullopt;
}

std::uint8_t kindOfArea(MemoryArea area) {
    for (const KindCode &kind : kindCodes) {
        if (kind.area == area) {
            return kind.code;
        }
    }
    return 0; // every area has a code
}

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

// The unit a header names, as text: "DB5", "inputs", or the raw kind when it is none.
std::string headerUnitText(std::uint8_t kind, std::uint16_t number) {
    const std::optional<MemoryArea> area = areaOfKind(kind);
    if (!area) {
        return "kind " + std::to_string(kind);
    }
    return unitText({*area, number});
}

} // namespace

ImageUnit dataBlockUnit(std::size_t dbNumber) {
    return {MemoryArea::dataBlock, static_cast<std::uint16_t>(dbNumber)};
}

ImageUnit areaUnit(MemoryArea area) {
    return {area, 0};
}

std::string unitText(ImageUnit unit) {
    if (unit.area == MemoryArea::dataBlock) {
        return "DB" + std::to_string(unit.number);
    }
    return std::string(areaWord(unit.area));
}

std::string imageFileName(ImageUnit unit) {
    if (unit.area == MemoryArea::dataBlock) {
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
    for (const MemoryArea area : fixedAreas) {
        if (stem == areaWord(area)) {
            return areaUnit(area);
        }
    }
    if (!stem.starts_with(dataBlockPrefix)) {
        return std::nullopt;
    }
    const std::string_view digits = stem.substr(dataBlockPrefix.size());
    const std::optional<std::uint64_t> number = parseWholeNumber(digits, 0, dataBlockCount - 1);
    // Only the name imageFileName makes: no leading zero, nothing behind the number.
    if (!number || (digits.size() > 1 && digits[0] == '0')) {
        return std::nullopt;
    }
    return dataBlockUnit(*number);
}

std::uint32_t crc32(std::uint32_t crc, std::span<const std::uint8_t> bytes) {
    const CrcTables &t = crcTables;
    crc = ~crc;
    // Eight bytes a step (a 64 KiB block in tens of microseconds), then the rest byte by byte.
    while (bytes.size() >= 8) {
        const std::uint32_t low = crc ^ readU32le(bytes, 0);
        const std::uint32_t high = readU32le(bytes, 4);
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
    writeU16le(header, versionOffset, imageFormatVersion);
    header[kindOffset] = kindOfArea(unit.area);
    writeU16le(header, numberOffset, unit.number);
    writeU32le(header, sizeOffset, content.size());
    const std::uint32_t checksum =
        crc32(crc32(0, std::span(header).first(checksumOffset)), content);
    writeU32le(header, checksumOffset, checksum);
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
    const std::uint16_t version = readU16le(file, versionOffset);
    if (version != imageFormatVersion) {
        return failed("format version " + std::to_string(version) +
                      ", this program reads version " + std::to_string(imageFormatVersion));
    }
    const std::uint8_t kind = file[kindOffset];
    const std::uint16_t number = readU16le(file, numberOffset);
    if (kind != kindOfArea(expected.area) || number != expected.number) {
        return failed("holds " + headerUnitText(kind, number) + ", not " + unitText(expected));
    }
    const std::size_t size = readU32le(file, sizeOffset);
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
    const std::uint32_t stored = readU32le(file, checksumOffset);
    const std::uint32_t computed = crc32(crc32(0, file.first(checksumOffset)), content);
    if (stored != computed) {
        return failed("checksum mismatch (stored " + hexNumber(stored, 8) + ", computed " +
                      hexNumber(computed, 8) + ")");
    }
    return {true, {}, content};
}
