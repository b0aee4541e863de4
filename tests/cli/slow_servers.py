"""Servers on 127.0.0.1 that the detector's tool meets in the field, for karvello-cli to talk to.

Usage:
  slow_servers.py late MS      a serial server whose detectors answer every read MS late, each
                               answer's register one more than the last (1, 2, 3, ...), from
                               whichever slave was asked
  slow_servers.py gateway CODE a Modbus TCP gateway with no detector behind it: every request
                               gets exception CODE (10: path unavailable, 11: target device
                               failed to respond)

Each listens on a free port and prints "port N" once it listens, and serves until it is stopped.
The gateway closes a connection whose bytes are no MBAP frame (a protocol id other than 0).
"""

import asyncio
import struct
import sys


def crc16(data):
    crc = 0xFFFF
    for byte in data:
        crc ^= byte
        for _ in range(8):
            crc = (crc >> 1) ^ 0xA001 if crc & 1 else crc >> 1
    return bytes([crc & 0xFF, crc >> 8])


async def serve(reader, writer, take):
    """Hands take() what has come and not yet been taken, after each read, until the client
    leaves; take returns what it leaves for later, or None to close the connection."""
    pending = b""
    while pending is not None:
        data = await reader.read(256)
        if not data:
            break
        pending = take(pending + data)
    writer.close()


async def late(delay, reader, writer):
    counter = 0

    # Every request the tool sends is 8 bytes: slave, function, register, value, CRC.
    def take(pending):
        nonlocal counter
        while len(pending) >= 8:
            request, pending = pending[:8], pending[8:]
            if crc16(request[:6]) != request[6:8] or request[1] != 3:
                continue
            counter += 1
            count = struct.unpack(">H", request[4:6])[0]
            body = bytes([request[0], 3, 2 * count]) + struct.pack(">H", counter) * count
            asyncio.get_running_loop().call_later(
                delay, lambda reply=body + crc16(body): writer.write(reply))
        return pending

    await serve(reader, writer, take)


async def gateway(code, reader, writer):
    def take(pending):
        while len(pending) >= 6:
            length = struct.unpack(">H", pending[4:6])[0]
            if pending[2:4] != b"\0\0" or length < 2:
                return None
            if len(pending) < 6 + length:
                break
            frame, pending = pending[:6 + length], pending[6 + length:]
            writer.write(frame[:4] + struct.pack(">H", 3) + bytes([frame[6], frame[7] | 0x80, code]))
        return pending

    await serve(reader, writer, take)


async def main():
    kind, number = sys.argv[1], int(sys.argv[2])
    if kind == "late":
        serve = lambda r, w: late(number / 1000.0, r, w)
    else:
        serve = lambda r, w: gateway(number, r, w)
    server = await asyncio.start_server(serve, "127.0.0.1", 0)
    print("port", server.sockets[0].getsockname()[1], flush=True)
    async with server:
        await server.serve_forever()


asyncio.run(main())
