// Frames in tests: hex text to bytes and back, big-endian fields, the standard frames of a
// session, and builders for the requests and replies that tests compute from numbers (a shadow
// copy of the data, a reference that counts up). Exchanges whose exact bytes are the point of a
// test stay written out in full in that test.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

using Bytes = std::vector<std::uint8_t>;

// "03 00 00 16" -> bytes. Spaces are ignored.
Bytes hex(std::string_view text);
std::string toHex(const Bytes &bytes);

// Concatenation and big-endian fields.
Bytes operator+(Bytes left, const Bytes &right);
Bytes be16(std::size_t value);
Bytes be24(std::size_t value);
// An ISO data frame (TPKT header with the frame's real length, COTP DT) around a payload.
Bytes isoDataFrame(const Bytes &payload);
// The first length bytes of a frame, with the TPKT length saying so.
Bytes truncatedFrame(const Bytes &frame, std::size_t length);
// An S7 job with reference 00 01 from its parameters and data, and the ack-data reply that
// echoes the reference with no error.
Bytes s7Job(const std::string &parametersHex, const std::string &dataHex = "");
Bytes s7AckData(const std::string &parametersHex, const std::string &dataHex = "");

// The standard frames of a session: connection request and confirm (the confirm's own reference
// is the slot number plus one), setup communication, disconnect request and confirm.
extern const char *const connectionRequestHex;
extern const char *const connectionConfirmSlot0Hex;
extern const char *const connectionConfirmSlot1Hex;
extern const char *const setupRequestHex;
extern const char *const setupReplyHex;
extern const char *const disconnectRequestHex;
extern const char *const disconnectConfirmHex;

// S7 Read Var and Write Var of data block bytes: one item each of area 84, transport size 02,
// start a byte offset, length a count of bytes.
struct ReadItem {
    std::size_t db;
    std::size_t start;
    std::size_t length;
};
Bytes readVarRequest(std::uint16_t reference, const std::vector<ReadItem> &items);
Bytes readVarRequest(std::uint16_t reference, std::size_t db, std::size_t start,
                     std::size_t length);
// The reply that serves every item: its data behind FF 04 and its length in bits, with a fill
// byte before an item that would start at an odd position.
Bytes readVarReply(std::uint16_t reference, const std::vector<Bytes> &itemData);
Bytes readVarReply(std::uint16_t reference, const Bytes &data);
// The data item carries transport size 04 and a length field of lengthBits (data.size() * 8
// unless given).
Bytes writeVarRequest(std::uint16_t reference, std::size_t db, std::size_t start,
                      const Bytes &data);
Bytes writeVarRequest(std::uint16_t reference, std::size_t db, std::size_t start, const Bytes &data,
                      std::size_t lengthBits);
// The reply to a one-item write that was stored.
Bytes writeVarReply(std::uint16_t reference);

// S5 fetch and write of data block words: db 0-255, start and length count words, words travel
// most significant byte first.
Bytes s5FetchRequest(std::size_t db, std::size_t start, std::size_t length);
Bytes s5WriteRequest(std::size_t db, std::size_t start, const Bytes &words);
// Served replies: the fetch echoes the start's low byte and the length; the write ack echoes
// only the length's high byte.
Bytes s5FetchReply(std::size_t start, const Bytes &words);
Bytes s5WriteReply(std::size_t length);
