"""A raw S7 client in literal frames, as an HMI sends them."""

import socket

# Connection request, called TSAP 01 02 (rack 0, slot 2) or 01 01 (slot 1).
CONNECT = {
    2: "03 00 00 16 11 E0 00 00 00 01 00 C1 02 01 00 C2 02 01 02 C0 01 0A",
    1: "03 00 00 16 11 E0 00 00 00 01 00 C1 02 01 00 C2 02 01 01 C0 01 0A",
}
SETUP = "03 00 00 19 02 F0 80 32 01 00 00 00 01 00 08 00 00 F0 00 00 01 00 01 01 E0"
SETUP_REPLY = "03 00 00 1B 02 F0 80 32 03 00 00 00 01 00 08 00 00 00 00 F0 00 00 01 00 01 01 E0"
# Write Var: DB3, byte 4 (bit address 0x20), two bytes 12 34.
WRITE_DB3_DBW4 = ("03 00 00 25 02 F0 80 32 01 00 00 00 02 00 0E 00 06 05 01 12 0A 10 02 00 02 "
                  "00 03 84 00 00 20 00 04 00 10 12 34")
WRITE_REPLY = "03 00 00 16 02 F0 80 32 03 00 00 00 02 00 02 00 01 00 00 05 01 FF"


def receive(sock, count):
    data = b""
    while len(data) < count:
        chunk = sock.recv(count - len(data))
        if not chunk:
            raise ConnectionError(f"closed after {len(data)} of {count} bytes")
        data += chunk
    return data


def exchange(sock, request):
    """Sends one frame, returns the reply frame (its TPKT header says how long it is)."""
    sock.sendall(bytes.fromhex(request))
    header = receive(sock, 4)
    return header + receive(sock, int.from_bytes(header[2:4], "big") - 4)


def connect(host, port, slot):
    """A connected, set-up S7 session."""
    sock = socket.create_connection((host, port), timeout=5)
    confirm = exchange(sock, CONNECT[slot])
    assert confirm[5] == 0xD0, f"connect to slot {slot} refused: {confirm.hex(' ')}"
    assert exchange(sock, SETUP) == bytes.fromhex(SETUP_REPLY)
    return sock
