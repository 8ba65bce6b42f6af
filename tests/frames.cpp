#include "frames.h"

#include <gtest/gtest.h>

const char *const connectionRequestHex = "03 00 00 16 11 E0 00 00 00 01 00 C1 02 01 00 C2 02 01 02 "
                                         "C0 01 0A";
const char *const connectionConfirmSlot0Hex = "03 00 00 16 11 D0 00 01 01 00 00 C0 01 09 C1 02 4B "
                                              "54 C1 02 03 02";
const char *const connectionConfirmSlot1Hex = "03 00 00 16 11 D0 00 01 02 00 00 C0 01 09 C1 02 4B "
                                              "54 C1 02 03 02";
const char *const setupRequestHex = "03 00 00 19 02 F0 80 32 01 00 00 00 01 00 08 00 00 F0 00 00 "
                                    "01 00 01 01 E0";
const char *const setupReplyHex = "03 00 00 1B 02 F0 80 32 03 00 00 00 01 00 08 00 00 00 00 F0 00 "
                                  "00 01 00 01 01 E0";
const char *const disconnectRequestHex = "03 00 00 0B 06 80 01 00 00 05 00";
const char *const disconnectConfirmHex = "03 00 00 0B 06 C0 00 05 01 00 00";

Bytes hex(std::string_view text) {
    Bytes bytes;
    int high = -1;
    for (const char c : text) {
        int value = -1;
        if (c >= '0' && c <= '9') {
            value = c - '0';
        } else if (c >= 'a' && c <= 'f') {
            value = c - 'a' + 10;
        } else if (c >= 'A' && c <= 'F') {
            value = c - 'A' + 10;
        } else {
            continue;
        }
        if (high < 0) {
            high = value;
        } else {
            bytes.push_back(static_cast<std::uint8_t>(high * 16 + value));
            high = -1;
        }
    }
    EXPECT_EQ(high, -1) << "odd number of hex digits in " << text;
    return bytes;
}

std::string toHex(const Bytes &bytes) {
    static const char digits[] = "0123456789ABCDEF";
    std::string text;
    for (const std::uint8_t byte : bytes) {
        if (!text.empty()) {
            text += ' ';
        }
        text += digits[byte >> 4];
        text += digits[byte & 0x0F];
    }
    return text;
}

Bytes operator+(Bytes left, const Bytes &right) {
    left.insert(left.end(), right.begin(), right.end());
    return left;
}

Bytes be16(std::size_t value) {
    return {static_cast<std::uint8_t>((value >> 8) & 0xFF),
            static_cast<std::uint8_t>(value & 0xFF)};
}

Bytes be24(std::size_t value) {
    return {static_cast<std::uint8_t>((value >> 16) & 0xFF),
            static_cast<std::uint8_t>((value >> 8) & 0xFF),
            static_cast<std::uint8_t>(value & 0xFF)};
}

Bytes isoDataFrame(const Bytes &payload) {
    return hex("03 00") + be16(7 + payload.size()) + hex("02 F0 80") + payload;
}

Bytes s7Job(const std::string &parametersHex, const std::string &dataHex) {
    const Bytes parameters = hex(parametersHex);
    const Bytes data = hex(dataHex);
    return isoDataFrame(hex("32 01 00 00 00 01") + be16(parameters.size()) + be16(data.size()) +
                        parameters + data);
}

Bytes s7AckData(const std::string &parametersHex, const std::string &dataHex) {
    const Bytes parameters = hex(parametersHex);
    const Bytes data = hex(dataHex);
    return isoDataFrame(hex("32 03 00 00 00 01") + be16(parameters.size()) + be16(data.size()) +
                        hex("00 00") + parameters + data);
}

Bytes truncatedFrame(const Bytes &frame, std::size_t length) {
    Bytes cut(frame.begin(), frame.begin() + static_cast<std::ptrdiff_t>(length));
    const Bytes tpktLength = be16(length);
    cut[2] = tpktLength[0];
    cut[3] = tpktLength[1];
    return cut;
}

namespace {

Bytes byteItem(std::size_t db, std::size_t start, std::size_t length) {
    return hex("12 0A 10 02") + be16(length) + be16(db) + hex("84") + be24(start * 8);
}

std::uint8_t byteOf(std::size_t value) {
    return static_cast<std::uint8_t>(value & 0xFF);
}

Bytes s5Request(std::uint8_t opCode, std::size_t db, std::size_t start, std::size_t length,
                const Bytes &words) {
    return isoDataFrame(hex("53 35 10 01 03") + Bytes{opCode} + hex("03 08 01") +
                        Bytes{byteOf(db)} + be16(start) + be16(length) + hex("FF 02") + words);
}

} // namespace

Bytes readVarRequest(std::uint16_t reference, const std::vector<ReadItem> &items) {
    Bytes parameters = {0x04, byteOf(items.size())};
    for (const ReadItem &item : items) {
        parameters = parameters + byteItem(item.db, item.start, item.length);
    }
    return isoDataFrame(hex("32 01 00 00") + be16(reference) + be16(parameters.size()) +
                        hex("00 00") + parameters);
}

Bytes readVarRequest(std::uint16_t reference, std::size_t db, std::size_t start,
                     std::size_t length) {
    return readVarRequest(reference, {{db, start, length}});
}

Bytes readVarReply(std::uint16_t reference, const std::vector<Bytes> &itemData) {
    Bytes section;
    for (const Bytes &data : itemData) {
        if (section.size() % 2 == 1) {
            section.push_back(0x00);
        }
        section = section + hex("FF 04") + be16(data.size() * 8) + data;
    }
    return isoDataFrame(hex("32 03 00 00") + be16(reference) + hex("00 02") + be16(section.size()) +
                        hex("00 00 04") + Bytes{byteOf(itemData.size())} + section);
}

Bytes readVarReply(std::uint16_t reference, const Bytes &data) {
    return readVarReply(reference, std::vector<Bytes>{data});
}

Bytes writeVarRequest(std::uint16_t reference, std::size_t db, std::size_t start,
                      const Bytes &data) {
    return writeVarRequest(reference, db, start, data, data.size() * 8);
}

Bytes writeVarRequest(std::uint16_t reference, std::size_t db, std::size_t start, const Bytes &data,
                      std::size_t lengthBits) {
    return isoDataFrame(hex("32 01 00 00") + be16(reference) + hex("00 0E") +
                        be16(4 + data.size()) + hex("05 01") + byteItem(db, start, data.size()) +
                        hex("00 04") + be16(lengthBits) + data);
}

Bytes writeVarReply(std::uint16_t reference) {
    return isoDataFrame(hex("32 03 00 00") + be16(reference) + hex("00 02 00 01 00 00 05 01 FF"));
}

Bytes s5FetchRequest(std::size_t db, std::size_t start, std::size_t length) {
    return s5Request(0x05, db, start, length, {});
}

Bytes s5WriteRequest(std::size_t db, std::size_t start, const Bytes &words) {
    return s5Request(0x03, db, start, words.size() / 2, words);
}

Bytes s5FetchReply(std::size_t start, const Bytes &words) {
    return isoDataFrame(hex("53 35 10 01 03 06 08 00 00 FF 07") + Bytes{byteOf(start)} +
                        be16(words.size() / 2) + hex("00 00") + words);
}

Bytes s5WriteReply(std::size_t length) {
    return isoDataFrame(hex("53 35 10 01 03 04 08 00 00 FF 07") + Bytes{byteOf(length >> 8)} +
                        hex("00 00 00 00"));
}
