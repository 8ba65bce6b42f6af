#include "core/data_frame.h"

#include "core/connection_table.h"
#include "core/log.h"

void writeDataFrameHeader(ByteBuffer out) {
    // clang-format off
    out[0] = tpktVersion; out[1] = 0x00; // version, reserved
    out[2] = 0x00;        out[3] = 0x00; // length, written when the frame is sent
    out[4] = 0x02;                       // LI
    out[5] = 0xF0;                       // DT
    out[6] = 0x80;                       // TPDU 0, end of transmission
    // clang-format on
}

bool sendDataFrame(int slot, ByteBuffer frame, std::size_t length, SendFailureLine failureLine) {
    writeU16be(frame, frameTpktLengthOffset, length);
    const ReplyResult sent = sendReply(slot, ByteView(frame).first(length));
    if (!sent.failed) {
        return true;
    }
    switch (failureLine) {
    case SendFailureLine::plain:
        logMessage(attributeError, "Socket error sending DT %d", sent.errorCode);
        break;
    case SendFailureLine::timestamped:
        logMessage(attributeError, "%s Socket error sending DT 0x%08X", slotPrefix(slot).text(),
                   static_cast<unsigned>(sent.errorCode));
        break;
    case SendFailureLine::s5:
        logMessage(attributeSlot0, "Socket error sending DT %d", sent.errorCode);
        break;
    }
    return false;
}
