#!/usr/bin/env python3
"""Writes the seed inputs of the stream fuzzer into fuzz/corpus/.

Each seed is: an options byte, a cut-point count, the cut points (16-bit), then a byte stream
of valid frames: connection request, setup communication, Read Var, Write Var, S5 fetch and
write, disconnect. See fuzz/stream_fuzzer.cpp for the layout.
"""
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))

CR = bytes.fromhex("0300001611E00000000100C1020100C2020102C0010A")
SETUP = bytes.fromhex("0300001902F08032010000000100080000F0000001000101E0")
DR = bytes.fromhex("0300000B0680010000050000"[:22])


def tpkt_dt(payload):
    return struct.pack(">BBH", 3, 0, 7 + len(payload)) + b"\x02\xF0\x80" + payload


def s7_item(count, db, byte_offset):
    return bytes([0x12, 0x0A, 0x10, 0x02]) + struct.pack(">HHB", count, db, 0x84) + \
        (byte_offset * 8).to_bytes(3, "big")


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
