#!/usr/bin/env python3
"""Writes the seed inputs of the stream fuzzer into fuzz/corpus/.

Each seed is: an options byte, a cut-point count, the cut points (16-bit), then a byte stream
of valid frames: connection request, setup communication, Read Var, Write Var, S5 fetch and
write, disconnect; and, with the options' profile bits set, what the real-CPU profiles answer:
TSAPs and TPDU sizes, requests in several DT frames, every area and element type, bit writes,
SZL reads (one in parts), the clock, block lists, CPU stop and start, refused functions. See
fuzz/stream_fuzzer.cpp for the layout.
"""
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))

CR = bytes.fromhex("0300001611E00000000100C1020100C2020102C0010A")
SETUP = bytes.fromhex("0300001902F08032010000000100080000F0000001000101E0")
DR = bytes.fromhex("0300000B0680010000050000"[:22])


def tpkt_dt(payload):
    return struct.pack(">BBH", 3, 0, 7 + len(payload)) + b"\x02\xF0\x80" + payload


def s7_item(count, db, byte_offset, ts=0x02, area=0x84, bit=0):
    return bytes([0x12, 0x0A, 0x10, ts]) + struct.pack(">HHB", count, db, area) + \
        (byte_offset * 8 + bit).to_bytes(3, "big")


def read_var(items, ref=6):
    params = bytes([0x04, len(items)]) + b"".join(s7_item(*i) for i in items)
    return tpkt_dt(struct.pack(">BBHHHH", 0x32, 1, 0, ref, len(params), 0) + params)


def write_var(items, ref=7):
    """items: (db, byte_offset, data, transport size)"""
    params = bytes([0x05, len(items)]) + b"".join(
        s7_item(len(d), db, off) for db, off, d, _ in items)
    data = b""
    for n, (_, _, d, ts) in enumerate(items):
        bits = len(d) if ts in (0x07, 0x09) else len(d) * 8
        data += bytes([0, ts]) + struct.pack(">H", bits) + d
        if len(d) % 2 and n + 1 < len(items):
            data += b"\x00"
    return tpkt_dt(struct.pack(">BBHHHH", 0x32, 1, 0, ref, len(params), len(data)) + params + data)


def s5(op, db, start, words=b"", count=None):
    n = len(words) // 2 if count is None else count
    return tpkt_dt(b"S5" + bytes([0x10, 0x01, 0x03, op, 0x03, 0x08, 0x01, db]) +
                   struct.pack(">HH", start, n) + b"\xFF\x02" + words)


def seed(name, stream, options=0, cuts=()):
    data = bytes([options, len(cuts)]) + b"".join(struct.pack(">H", c) for c in cuts) + stream
    with open(os.path.join(HERE, "corpus", name), "wb") as f:
        f.write(data)


session = CR + SETUP
read10 = read_var([(4, 10, 8)])
write10 = write_var([(10, 8, b"\x01\x02\x03\x04", 0x04)])
seed("connection-request", CR)
seed("setup", session)
seed("read-var", session + read10)
seed("write-then-read", session + write10 + read10)
seed("read-multi-odd-sizes", session + read_var([(3, 10, 0), (2, 11, 5), (1, 2999, 1), (7, 3000, 0)]))
seed("read-demo-blocks", session + read_var([(64, 1, 0), (34, 15, 128)]))
seed("write-bit-real-byte", session + write_var(
    [(20, 0, b"\x01", 0x03), (20, 4, b"\x40\x49\x0f\xdb", 0x07), (20, 8, b"\xAA\xBB\xCC", 0x04)]))
seed("write-large", session + write_var([(30, 100, bytes(range(200)) * 2, 0x04)]))
seed("read-top-of-range", session + read_var([(70, 40, 65400), (71, 41, 65400)]))
seed("s5-fetch", CR + s5(5, 20, 0, count=3))
seed("s5-write-fetch", CR + s5(3, 7, 5, b"\x12\x34") + s5(5, 7, 5, count=1))
seed("disconnect", session + DR)
seed("cut-byte-by-byte", session + read10, cuts=tuple(range(1, 16)))
seed("cut-inside-headers", session + write10 + read10, cuts=(2, 5, 23, 30, 50, 70, 90))
seed("two-clients", session + write10 + session + read10, options=1, cuts=(47, 57, 96))
seed("two-clients-first-hangs-up", session + session + write10 + read10, options=9,
     cuts=(22, 47, 69, 94, 133))
seed("lazy-reader", session + read_var([(200, 50, 0)] * 2) * 12, options=2, cuts=(100, 400, 900))
seed("ticks", session + read_var([(4, 1, 0)]) * 3, options=4, cuts=(47, 78, 109))
oversized = struct.pack(">BBH", 3, 0, 1500) + bytes(1496)
seed("oversized-then-setup", oversized + SETUP, cuts=(700, 1400))


# The real-CPU profiles, picked by bits 4 and 5 of the options byte.
S7_1500 = 0x10
S7_300 = 0x20
S7_1200 = 0x30


def cr(slot, tpdu_code=0x0A, calling=b"\x01\x00", rack=0):
    params = b"\xC1" + bytes([len(calling)]) + calling + \
        bytes([0xC2, 2, 0x01, rack << 5 | slot]) + bytes([0xC0, 1, tpdu_code])
    body = bytes([0xE0, 0, 0, 0, 1, 0]) + params
    return struct.pack(">BBH", 3, 0, 5 + len(body)) + bytes([len(body)]) + body


def setup(pdu, jobs=8, ref=1):
    params = struct.pack(">BBHHH", 0xF0, 0, jobs, jobs, pdu)
    return tpkt_dt(struct.pack(">BBHHHH", 0x32, 1, 0, ref, len(params), 0) + params)


def job(params, data=b"", ref=9):
    return tpkt_dt(struct.pack(">BBHHHH", 0x32, 1, 0, ref, len(params), len(data)) + params + data)


def items_job(function, items, data=b"", ref=9):
    """items: raw 12-byte item addresses"""
    return job(bytes([function, len(items)]) + b"".join(items), data, ref)


def data_item(ts, length, payload, fill=False):
    return bytes([0, ts]) + struct.pack(">H", length) + payload + (b"\x00" if fill else b"")


def userdata(params_hex, data, ref=5):
    params = bytes.fromhex(params_hex)
    return tpkt_dt(struct.pack(">BBHHHH", 0x32, 7, 0, ref, len(params), len(data)) + params + data)


def szl(szl_id, index):
    return userdata("00 01 12 04 11 44 01 00", bytes.fromhex("FF 09 00 04") +
                    struct.pack(">HH", szl_id, index))


def follow_up(group_sub, sequence):
    return userdata("00 01 12 08 12 %s %02X 00 00 00 00" % (group_sub, sequence),
                    bytes.fromhex("0A 00 00 00"))


def dt_pieces(frame, sizes):
    """The payload of one DT frame in several DT frames, end of transmission on the last."""
    payload = frame[7:]
    out = b""
    at = 0
    for n, size in enumerate(sizes + [len(payload)]):
        piece = payload[at:at + size] if n < len(sizes) else payload[at:]
        at += len(piece)
        last = n == len(sizes)
        out += struct.pack(">BBH", 3, 0, 7 + len(piece)) + b"\x02\xF0" + \
            bytes([0x80 if last else 0x00]) + piece
        if last:
            break
    return out


P_PROGRAM = b"\x09P_PROGRAM"
STOP = job(bytes.fromhex("29 00 00 00 00 00") + P_PROGRAM)
HOT_START = job(bytes.fromhex("28 00 00 00 00 00 00 FD 00 00") + P_PROGRAM)
COLD_START = job(bytes.fromhex("28 00 00 00 00 00 00 FD 00 02 43 20") + P_PROGRAM)
CLOCK_READ = userdata("00 01 12 04 11 47 01 00", bytes.fromhex("0A 00 00 00"))
CLOCK_SET = userdata("00 01 12 04 11 47 02 00",
                     bytes.fromhex("FF 09 00 0A 00 19 31 05 17 10 20 30 00 03"))
BLOCK_COUNTS = userdata("00 01 12 04 11 43 01 00", bytes.fromhex("0A 00 00 00"))
BLOCKS_OF_TYPE_DB = userdata("00 01 12 04 11 43 02 00", bytes.fromhex("FF 09 00 02 30 41"))

s1500 = cr(1) + setup(960)
s300 = cr(2) + setup(240)
s1200 = cr(0) + setup(480, jobs=3)
every_type = [s7_item(1, 0, 0, ts=t, area=0x83) for t in (0x02, 0x03, 0x04, 0x05, 0x06, 0x07,
                                                           0x08)]
seed("profile-connect-tsaps", cr(1, calling=b"\x10\x02\x4B\x54") + setup(960) +
     cr(0, tpdu_code=0x07) + read10, options=S7_1500, cuts=(9, 30, 60))
seed("profile-connect-other-slot", cr(3) + setup(960), options=S7_1500, cuts=(5,))
seed("profile-setup-negotiates", cr(2) + setup(100, jobs=0) + setup(2000, jobs=99, ref=2) +
     read_var([(16, 1, 0)]), options=S7_300, cuts=(22, 47, 72))
seed("profile-szl-reads", s1500 + b"".join(szl(i, x) for i, x in (
    (0x0000, 0), (0x0011, 0), (0x001C, 0), (0x0131, 1), (0x0131, 0), (0x0232, 4), (0x0232, 0),
    (0x0424, 0), (0x0999, 0), (0x0011, 5))), options=S7_1500, cuts=(40, 80, 200))
# 10 records of 34 bytes do not fit a 240-byte PDU: the client asks for the second part.
seed("profile-szl-paged", s300 + szl(0x001C, 0) + follow_up("44 01", 1) + follow_up("44 01", 1),
     options=S7_300, cuts=(47, 80, 110))
seed("profile-multi-dt", s1500 + dt_pieces(read_var([(16, 1, 0), (8, 15, 2), (1, 3, 5)]),
                                           [5, 11]) +
     dt_pieces(write_var([(40, 3, bytes(range(50)), 0x04)]), [30, 30]),
     options=S7_1500, cuts=(50, 60, 75, 100))
# A request whose DT frames outgrow the 960-byte PDU is dropped; the next one is served.
seed("profile-multi-dt-too-long", s1500 + dt_pieces(write_var([(42, 0, bytes(1000), 0x04)]),
                                                    [300, 300, 300]) + read_var([(4, 1, 0)]),
     options=S7_1500, cuts=(47, 400, 900))
# A 128-byte TPDU: a 200-byte reply leaves as two DT frames.
seed("profile-small-tpdu", cr(2, tpdu_code=0x07) + setup(240) +
     write_var([(41, 0, bytes(range(200)), 0x04)]) + read_var([(200, 41, 0)]),
     options=S7_300 | 0x02, cuts=(22, 200))
seed("profile-bit-writes", s1500 + items_job(0x05, [
    s7_item(1, 0, 2, ts=0x01, area=0x83, bit=3), s7_item(1, 9, 0, ts=0x01, area=0x84, bit=7),
    s7_item(1, 0, 1, ts=0x01, area=0x82, bit=0)],
    data_item(0x03, 1, b"\x01", fill=True) + data_item(0x03, 1, b"\x01", fill=True) +
    data_item(0x03, 1, b"\x00")) +
    items_job(0x04, [s7_item(1, 0, 2, ts=0x01, area=0x83, bit=3),
                     s7_item(1, 9, 0, ts=0x02, area=0x84)]),
    options=S7_1500, cuts=(47, 70))
seed("profile-every-type-and-area", s1500 + items_job(0x04, every_type) + items_job(0x04, [
    s7_item(2, 0, 0, area=0x80), s7_item(2, 0, 32766, area=0x81), s7_item(4, 0, 0, area=0x82),
    s7_item(2, 7, 0, area=0x85), s7_item(3, 0, 5, ts=0x1D, area=0x1D),
    s7_item(2, 0, 1, ts=0x1C, area=0x1C), s7_item(1, 0, 0, area=0x1D), s7_item(1, 0, 0, area=0x86),
    s7_item(1, 0, 0, ts=0x0B, area=0x83), s7_item(2, 0, 0, ts=0x01, area=0x83),
    s7_item(1, 0, 0, area=0x84)]), options=S7_1500, cuts=(47, 100, 150))
seed("profile-no-timers", s1200 + items_job(0x04, [
    s7_item(1, 0, 0, ts=0x1D, area=0x1D), s7_item(1, 0, 0, ts=0x1C, area=0x1C),
    s7_item(4, 0, 1022, area=0x81)]), options=S7_1200, cuts=(30, 60))
seed("profile-write-transport-sizes", s1500 + items_job(0x05, [
    s7_item(1, 0, 10, area=0x83), s7_item(1, 0, 12, ts=0x05, area=0x83),
    s7_item(1, 0, 16, ts=0x08, area=0x83), s7_item(3, 0, 20, ts=0x03, area=0x83),
    s7_item(1, 0, 30, ts=0x1D, area=0x1D), s7_item(1, 0, 40, ts=0x04, area=0x83)],
    data_item(0x04, 8, b"\x11", fill=True) + data_item(0x05, 16, b"\x22\x33") +
    data_item(0x07, 4, b"\x40\x49\x0F\xDB") + data_item(0x09, 3, b"abc", fill=True) +
    data_item(0x09, 2, b"\x12\x34") + data_item(0x04, 8, b"\x55", fill=True)) +
    # Missing the fill byte between items: the whole job is refused.
    items_job(0x05, [s7_item(1, 0, 50, area=0x83), s7_item(1, 0, 52, area=0x83)],
              data_item(0x04, 8, b"\x01") + data_item(0x04, 8, b"\x02")) +
    # A length in bytes where bits belong, and a data transport size no write takes.
    items_job(0x05, [s7_item(2, 0, 60, area=0x83), s7_item(1, 0, 62, area=0x83)],
              data_item(0x04, 2, b"\x01", fill=True) + data_item(0x06, 1, b"\x03")),
    options=S7_1500, cuts=(47, 150, 250))
seed("profile-pdu-limits", s300 + read_var([(1, 2, i) for i in range(20)]) +
     read_var([(200, 2, 0), (200, 3, 0)]) + write_var([(4, 0, bytes(230), 0x04)]),
     options=S7_300, cuts=(47, 300, 400))
seed("profile-stop-start", s1500 + STOP + STOP + szl(0x0424, 0) + HOT_START + HOT_START + STOP +
     COLD_START + szl(0x0424, 0), options=S7_1500, cuts=(47, 90, 180))
seed("profile-clock", s1500 + CLOCK_READ + CLOCK_SET + CLOCK_READ + szl(0x0424, 0),
     options=S7_1500, cuts=(47, 80, 120))
seed("profile-block-lists", s300 + write_var([(7, 0, b"\xAB", 0x04)]) + BLOCK_COUNTS +
     BLOCKS_OF_TYPE_DB + follow_up("43 02", 3) + userdata("00 01 12 04 11 43 02 00",
                                                           bytes.fromhex("FF 09 00 02 30 38")),
     options=S7_300, cuts=(47, 100))
# Reads create the blocks they touch: with DB1, DB15 and 57 more, the list of DBs outgrows a
# 240-byte PDU (53 entries) and comes in two parts.
seed("profile-block-list-in-parts", s300 + b"".join(
    read_var([(1, 100 + 19 * j + i, 0) for i in range(19)]) for j in range(3)) +
    BLOCKS_OF_TYPE_DB + follow_up("43 02", 4) + BLOCK_COUNTS, options=S7_300, cuts=(47, 500))
seed("profile-refused-functions", s1500 + job(bytes.fromhex("1D 00 00 00 00 00 00 00 09") +
                                               b"_0A00001P") + job(b"\x00") + job(b"\x04") +
     userdata("00 01 12 04 11 45 01 00", b"") + follow_up("44 01", 7),
     options=S7_1500, cuts=(47, 70))
# Chunks alternate between the clients: each connects, one stops the CPU, the other reads the
# state in parts, the first starts it again.
seed("profile-two-clients", s1500 + cr(0) + setup(240) + STOP + szl(0x001C, 0) + HOT_START,
     options=S7_1500 | 0x01, cuts=(47, 94, 127, 160))
seed("profile-lazy-reader", cr(2, tpdu_code=0x08) + setup(240) +
     (read_var([(200, 50, 0)]) + szl(0x0011, 0)) * 8, options=S7_300 | 0x02, cuts=(100, 400))


# Bit 6 puts fault rules in force: item codes on DB1, header errors on writes and SZL reads,
# delays, unanswered requests, dropped and refused connections.
FAULTS = 0x40
seed("faults-classic", session + read_var([(4, 1, 0), (2, 10, 0)]) * 6 + write10 * 4 + read10 * 8 +
     s5(5, 1, 0, count=2), options=FAULTS, cuts=(47, 200, 400))
seed("faults-profile", s1500 + (read_var([(4, 1, 0)]) + szl(0x0011, 0) + write_var(
    [(10, 8, b"\x01\x02", 0x04)])) * 6, options=FAULTS | S7_1500, cuts=(47, 300))
seed("faults-two-clients", session + session + read10 * 10 + cr(0) + read10 * 4,
     options=FAULTS | 0x01, cuts=(22, 47, 69, 94, 300))
