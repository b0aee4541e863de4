#!/usr/bin/env python3
"""Writes the seed corpus of the fuzz targets into fuzz/corpus/<target>/.

The seeds of fuzz_receive are the detector's replies of the worked examples, each played
through the operation that awaits it, in the action format that fuzz_receive.cpp describes.
The seeds of fuzz_address_text are address box texts. Run it again after changing either
format; the files it writes are kept in the repository.
"""

import pathlib

HERE = pathlib.Path(__file__).resolve().parent

# Action opcodes of fuzz_receive (high three bits) and the command codes of action 2.
RECEIVE, SILENCE, SEND, TICK, TEXT, CANNED_TEXT, RECEIVE_WITH_CRC, LINE = range(8)
CODES = [1, 11, 2, 3, 33, 4, 0, 5]


def op(action, arg=0):
    assert 0 <= arg < 32
    return bytes([action << 5 | arg])


def receive(data):
    data = bytes(data)
    if len(data) < 31:
        return op(RECEIVE, len(data)) + data
    assert len(data) < 256
    return op(RECEIVE, 31) + bytes([len(data)]) + data


def send(code):
    return op(SEND, CODES.index(code))


def ticks(timer, count):
    """`count` ticks of Timer<timer>, in actions of as many ticks as the argument holds."""
    out = b""
    most = (31 - (timer - 1)) // 6 + 1
    while count > 0:
        n = min(count, most)
        out += op(TICK, (timer - 1) + 6 * (n - 1))
        count -= n
    return out


def text(t):
    t = t.encode()
    return op(TEXT, len(t)) + t


def hexbytes(s):
    return bytes.fromhex(s)


def query_address(reply):
    return send(2) + receive(reply)


def query_voltage(address, reply):
    return text(address) + send(4) + receive(reply)


def query_resistance(address, reply):
    # The start, the 19 ticks of the measurement wait that send the read, then the reply.
    return text(address) + send(3) + ticks(6, 19) + receive(reply)


def set_address(address, reply):
    # The broadcast, the 3 ticks of the delay that send the confirmation, then the echo.
    return text(address) + send(1) + ticks(4, 3) + receive(reply)


RESISTANCE_REPLIES = """
01 03 04 01 59 00 00 2B DC
01 03 04 00 00 00 00 FA 33
01 03 04 00 05 00 01 2B F2
01 03 04 00 00 00 01 3B F3
01 03 04 00 0A 00 01 1B F1
01 03 04 01 59 00 01 EA 1C
01 03 04 00 05 00 02 6B F3
01 03 04 00 00 00 02 7B F2
01 03 04 00 0A 00 02 5B F0
01 03 04 00 63 00 02 8B EC
01 03 04 00 64 00 02 3A 2D
01 03 04 01 59 00 02 AA 1D
01 03 04 FF FF 00 02 7B D6
01 03 04 01 59 00 03 6B DD
01 03 04 00 00 00 FF BA 73
01 03 04 01 59 7F 01 CA 2C
"""

VOLTAGE_REPLIES = """
01 03 02 00 DC B9 DD
01 03 02 00 00 B8 44
01 03 02 01 2C B8 09
01 03 02 FF FF B9 F4
"""


def receive_seeds():
    seeds = {}
    addr = hexbytes("05 03 02 00 05 89 87")
    seeds["query_address_5"] = query_address(addr)
    seeds["query_address_split"] = send(2) + receive(addr[:2]) + op(SILENCE) + receive(addr[2:])
    seeds["query_address_pieces"] = send(2) + b"".join(receive(addr[i:i + 1]) for i in range(7))
    seeds["query_address_mismatch"] = query_address(hexbytes("05 03 02 00 06 48 46"))
    seeds["query_address_short"] = send(2) + receive(addr[:5]) + op(SILENCE)
    seeds["query_address_bad_crc"] = query_address(addr[:5] + b"\x00\x00")
    seeds["query_address_twice"] = query_address(addr) + receive(addr)
    seeds["query_address_timeout"] = send(2) + ticks(2, 13) + receive(addr)
    for i, line in enumerate(VOLTAGE_REPLIES.split("\n")[1:-1]):
        seeds[f"query_voltage_{i}"] = query_voltage("1", hexbytes(line))
    seeds["query_voltage_other_slave"] = query_voltage("5", hexbytes("06 03 02 00 DC") + b"\x00\x00")
    seeds["query_voltage_exception"] = text("1") + send(4) + op(RECEIVE_WITH_CRC, 3) + hexbytes(
        "01 83 02")
    seeds["query_voltage_noise_then_reply"] = (
        text("1") + send(4) + receive(b"\x01") + op(SILENCE) + receive(hexbytes(
            "01 03 02 00 DC B9 DD")))
    for i, line in enumerate(RESISTANCE_REPLIES.split("\n")[1:-1]):
        seeds[f"query_resistance_{i}"] = query_resistance("1", hexbytes(line))
    seeds["query_resistance_start_echo"] = (
        text("1") + send(3) + receive(hexbytes("01 06 00 11 00 01 18 0F")) + ticks(6, 19) +
        receive(hexbytes("01 03 04 01 59 00 01 EA 1C")))
    seeds["set_address_5"] = set_address("5", hexbytes("05 06 00 12 00 05 E8 48"))
    seeds["set_address_5_bad_crc"] = set_address("5", hexbytes("05 06 00 12 00 05 00 00"))
    seeds["set_address_200"] = text("200") + send(1) + ticks(4, 3) + op(
        RECEIVE_WITH_CRC, 6) + hexbytes("C8 06 00 12 00 C8")
    seeds["set_address_5.4"] = set_address("5.4", hexbytes("05 06 00 12 00 05 E8 48"))
    seeds["set_address_12abc"] = set_address("12abc", hexbytes("0C 06 00 12 00 0C") + b"\x00\x00")
    seeds["noise_pieces"] = text("1") + send(4) + b"".join(
        receive(bytes([0x41 + i % 7] * 40)) for i in range(3)) + op(SILENCE) + receive(
            hexbytes("01 03 02 00 DC B9 DD"))
    # Two bursts that overflow the receive buffer, then the reply after the silence.
    seeds["noise_burst"] = (send(2) + op(LINE, 31) + b"\x41" + op(LINE, 16) + b"\x41" +
                            receive(addr) + op(SILENCE) + receive(addr))
    seeds["line_fails"] = send(2) + receive(addr[:3]) + op(LINE, 0) + receive(addr)
    return seeds


TEXT_SEEDS = {
    "five": "5",
    "placeholder": "(1-255)",
    "letters_after": "12abc",
    "half_above": "255.5",
    "half_below": "-0.5",
    "long_digits": "9" * 400,
    "long_fraction": "0." + "0" * 400 + "1",
    "blanks": " \t12 \r\n",
    "fraction": "0.4",
    "half_even": "4.5",
    "half_odd": "5.5",
    "above": "300",
    "negative": "-5",
    "empty": "",
    "sign_only": "+",
    "point_only": ".",
    "exponent": "1e3",
    "hex": "0x05",
}


def write(target, seeds):
    folder = HERE / "corpus" / target
    folder.mkdir(parents=True, exist_ok=True)
    for old in folder.iterdir():
        old.unlink()
    for name, data in seeds.items():
        (folder / name).write_bytes(data)


def main():
    write("fuzz_receive", receive_seeds())
    write("fuzz_address_text", {k: v.encode() for k, v in TEXT_SEEDS.items()})


if __name__ == "__main__":
    main()
