#!/usr/bin/env python3
"""Writes the seed corpus of the fuzz targets into fuzz/corpus/<target>/.

The seeds of fuzz_receive are the detector's replies of the worked examples, each played
through the operation that awaits it, in the action format that fuzz_receive.cpp describes.
The seeds of fuzz_address_text are address box texts; those of fuzz_record_text record
texts, whole and damaged. Run it again after changing either
format; the files it writes are kept in the repository.
"""

import pathlib

HERE = pathlib.Path(__file__).resolve().parent

# Action opcodes of fuzz_receive (high three bits), its buttons (action 2, the operations in
# the order of kOperations) and the engine's deadlines (action 3: an operation and whether its
# delay or its time-out).
RECEIVE, SILENCE, PRESS, DEADLINE, TEXT, CANNED_TEXT, RECEIVE_WITH_CRC, LINE = range(8)
SET_ADDRESS, QUERY_ADDRESS, QUERY_RESISTANCE, QUERY_VOLTAGE = range(4)
SET_TIMEOUT, SET_DELAY = (SET_ADDRESS, 0), (SET_ADDRESS, 1)
ADDRESS_TIMEOUT = (QUERY_ADDRESS, 0)
RESISTANCE_TIMEOUT, MEASURE_DELAY = (QUERY_RESISTANCE, 0), (QUERY_RESISTANCE, 1)
VOLTAGE_TIMEOUT = (QUERY_VOLTAGE, 0)


def op(action, arg=0):
    assert 0 <= arg < 32
    return bytes([action << 5 | arg])


def receive(data):
    data = bytes(data)
    if len(data) < 31:
        return op(RECEIVE, len(data)) + data
    assert len(data) < 256
    return op(RECEIVE, 31) + bytes([len(data)]) + data


def press(button):
    return op(PRESS, button)


def run_out(deadline):
    """The deadline runs out now."""
    operation, delay = deadline
    return op(DEADLINE, operation << 1 | delay)


def seconds(deadline, count):
    """`count` seconds of the deadline pass, in actions of up to three seconds."""
    operation, delay = deadline
    out = b""
    while count > 0:
        n = min(count, 3)
        out += op(DEADLINE, n << 3 | operation << 1 | delay)
        count -= n
    return out


def text(t):
    t = t.encode()
    return op(TEXT, len(t)) + t


def hexbytes(s):
    return bytes.fromhex(s)


def query_address(reply):
    return press(QUERY_ADDRESS) + receive(reply)


def query_voltage(address, reply):
    return text(address) + press(QUERY_VOLTAGE) + receive(reply)


def start_measurement(address):
    # The start, the 18 seconds the progress counts and the end of the delay that sends the read.
    return (text(address) + press(QUERY_RESISTANCE) + seconds(MEASURE_DELAY, 18) +
            run_out(MEASURE_DELAY))


def query_resistance(address, reply):
    return start_measurement(address) + receive(reply)


def confirm_address(address):
    # The broadcast and the end of the delay that sends the confirmation.
    return text(address) + press(SET_ADDRESS) + run_out(SET_DELAY)


def set_address(address, reply):
    return confirm_address(address) + receive(reply)


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
    voltage = hexbytes("01 03 02 00 DC B9 DD")
    echo5 = hexbytes("05 06 00 12 00 05 E8 48")
    seeds["query_address_5"] = query_address(addr)
    seeds["query_address_split"] = (press(QUERY_ADDRESS) + receive(addr[:2]) + op(SILENCE) +
                                    receive(addr[2:]))
    seeds["query_address_pieces"] = press(QUERY_ADDRESS) + b"".join(
        receive(addr[i:i + 1]) for i in range(7))
    seeds["query_address_mismatch"] = query_address(hexbytes("05 03 02 00 06 48 46"))
    seeds["query_address_short"] = press(QUERY_ADDRESS) + receive(addr[:5]) + op(SILENCE)
    seeds["query_address_bad_crc"] = query_address(addr[:5] + b"\x00\x00")
    seeds["query_address_twice"] = query_address(addr) + receive(addr)
    seeds["query_address_timeout"] = (press(QUERY_ADDRESS) + run_out(ADDRESS_TIMEOUT) +
                                      receive(addr))
    seeds["query_address_own_copy"] = query_address(
        hexbytes("00 03 00 12 00 01 25 DE") + addr)
    for i, line in enumerate(VOLTAGE_REPLIES.split("\n")[1:-1]):
        seeds[f"query_voltage_{i}"] = query_voltage("1", hexbytes(line))
    seeds["query_voltage_other_slave"] = query_voltage("5", hexbytes("06 03 02 00 DC") + b"\x00\x00")
    seeds["query_voltage_exception"] = text("1") + press(QUERY_VOLTAGE) + op(
        RECEIVE_WITH_CRC, 3) + hexbytes("01 83 02")
    seeds["query_voltage_noise_then_reply"] = (
        text("1") + press(QUERY_VOLTAGE) + receive(b"\x01") + op(SILENCE) + receive(voltage))
    # A stray byte in front and the reply in two reads, at address 200.
    seeds["query_voltage_200_stray_split"] = (
        text("200") + press(QUERY_VOLTAGE) + receive(hexbytes("00 C8 03 02 00")) +
        receive(hexbytes("DC 65 CD")))
    # Noise after a good reply, then the gap.
    seeds["query_voltage_noise_after"] = (query_voltage("1", voltage) +
                                          receive(hexbytes("A5 A5 A5")) + op(SILENCE))
    seeds["query_voltage_head_after"] = (query_voltage("1", voltage) +
                                         receive(hexbytes("01 03 02")) + op(SILENCE))
    # A pause longer than the gap inside the reply.
    seeds["query_voltage_pause_inside"] = (text("1") + press(QUERY_VOLTAGE) +
                                           receive(voltage[:3]) + op(SILENCE) + op(SILENCE) +
                                           receive(voltage[3:]))
    # Replies built by the fuzzer for the pending step: the reply, the refusal, another slave.
    seeds["query_voltage_made"] = (text("7") + press(QUERY_VOLTAGE) + op(LINE, 3) +
                                   b"\x01\x2C\x00\x00" + op(LINE, 4) + b"\x07\x02\x00\x00" +
                                   op(LINE, 5) + b"\x08\x00\x10\x00")
    for i, line in enumerate(RESISTANCE_REPLIES.split("\n")[1:-1]):
        seeds[f"query_resistance_{i}"] = query_resistance("1", hexbytes(line))
    seeds["query_resistance_start_echo"] = (
        text("1") + press(QUERY_RESISTANCE) + receive(hexbytes("01 06 00 11 00 01 18 0F")) +
        run_out(MEASURE_DELAY) + receive(hexbytes("01 03 04 01 59 00 01 EA 1C")))
    # The address box changed to 2 during the measurement: the read still goes to slave 1.
    seeds["query_resistance_box_edited"] = (
        text("1") + press(QUERY_RESISTANCE) + seconds(MEASURE_DELAY, 10) + text("2") +
        seconds(MEASURE_DELAY, 8) + run_out(MEASURE_DELAY) +
        receive(hexbytes("01 03 04 01 59 00 01 EA 1C")))
    # A voltage query that times out while the measurement waits out its delay, then the read.
    seeds["query_resistance_voltage_timeout"] = (
        text("1") + press(QUERY_RESISTANCE) + press(QUERY_VOLTAGE) + run_out(VOLTAGE_TIMEOUT) +
        run_out(MEASURE_DELAY) + receive(hexbytes("01 03 04 01 59 00 01 EA 1C")))
    seeds["query_resistance_made"] = start_measurement("3") + op(LINE, 6) + b"\x01\x59\x00\x02"
    seeds["set_address_5"] = set_address("5", echo5)
    seeds["set_address_5_stray"] = set_address("5", b"\x00" + echo5)
    seeds["set_address_5_bytewise_stray"] = confirm_address("5") + receive(b"\x00") + b"".join(
        receive(echo5[i:i + 1]) for i in range(8))
    seeds["set_address_5_bad_crc"] = set_address("5", hexbytes("05 06 00 12 00 05 00 00"))
    seeds["set_address_200"] = text("200") + press(SET_ADDRESS) + run_out(SET_DELAY) + op(
        RECEIVE_WITH_CRC, 6) + hexbytes("C8 06 00 12 00 C8")
    seeds["set_address_5.4"] = set_address("5.4", echo5)
    seeds["set_address_plus5"] = set_address("+5", echo5)
    seeds["set_address_12abc"] = set_address("12abc", hexbytes("0C 06 00 12 00 0C") + b"\x00\x00")
    # A line that hears itself: the broadcast comes back, then the confirmation's own copy, with
    # and without the detector's echo behind it.
    seeds["set_address_echoing_alone"] = (
        text("5") + press(SET_ADDRESS) + op(LINE, 1) + run_out(SET_DELAY) + op(LINE, 1) +
        op(SILENCE) + run_out(SET_TIMEOUT))
    seeds["set_address_echoing_detector"] = (
        text("5") + press(SET_ADDRESS) + op(LINE, 1) + run_out(SET_DELAY) + op(LINE, 1) +
        receive(echo5))
    seeds["noise_pieces"] = text("1") + press(QUERY_VOLTAGE) + b"".join(
        receive(bytes([0x41 + i % 7] * 40)) for i in range(3)) + op(SILENCE) + receive(voltage)
    # Two bursts that overflow the receive buffer, then the reply after the silence.
    seeds["noise_burst"] = (press(QUERY_ADDRESS) + op(LINE, 31) + b"\x41" + op(LINE, 16) +
                            b"\x41" + receive(addr) + op(SILENCE) + receive(addr))
    seeds["line_pulled"] = press(QUERY_ADDRESS) + receive(addr[:3]) + op(LINE, 0) + receive(addr)
    seeds["line_pulled_measuring"] = (text("1") + press(QUERY_RESISTANCE) +
                                      seconds(MEASURE_DELAY, 5) + op(LINE, 0) +
                                      press(QUERY_VOLTAGE) + receive(voltage))
    # Two operations in flight when the line is lost: each fails.
    seeds["line_pulled_two_in_flight"] = (text("1") + press(QUERY_RESISTANCE) +
                                          seconds(MEASURE_DELAY, 2) + press(QUERY_VOLTAGE) +
                                          op(LINE, 0))
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
    "plus": "+5",
    "point_after": "5.",
    "two_lines": "5\n7",
    "leading_zeros": "0005",
    "zero": "0",
    "whole_256": "256",
}


# Record texts for fuzz_record_text: the first two bytes name where the stream is cut, the rest
# is a file's text (rows as the record writes them, and damage of each kind the reader meets).
BOM_HEADER = "\ufefftime,port,address,operation,result,value,unit,again,sent,reply\r\n"
AT = "2026-12-07T18:04:06.123+08:00"
VOLTAGE = AT + ",COM1,5,voltage,answered,220,V,,05 03 00 0F 00 01 B5 8D,05 03 02 00 DC 48 1D\r\n"
RESISTANCE = (AT + ",/dev/ttyUSB0,5,resistance,answered,34.5,\u03a9,,05 06 00 11 00 01 19 8B | "
              "05 03 00 0D 00 02 54 4C,05 03 04 01 59 00 01 AF DC\r\n")
RECORD_SEEDS = {
    "rows": BOM_HEADER + VOLTAGE + RESISTANCE,
    "alarm": BOM_HEADER + AT + ",COM1,5,alarm,raised,34.5,\u03a9,,,\r\n",
    "no_reply": BOM_HEADER + AT + ",COM1,5,voltage,no-reply,,,,05 03 00 0F 00 01 B5 8D,\r\n",
    "query_address": AT + ",COM1,0,query-address,answered,7,,,00 03 00 12 00 01 25 DE,"
                          "07 03 02 00 07 71 86\r\n",
    "cut_row": BOM_HEADER + AT + ",COM1,5,volt" + VOLTAGE,
    "open_quote": AT + ",\"COM1\r\n" + VOLTAGE + AT + ",\"a,b\",5,voltage,no-reply,,,,,\r\n",
    "quoted_port": AT + ",\"/dev/a\r\n" + AT + "\",5,voltage,no-reply,,,,,\r\n",
    "tampered": AT + ",=cmd,999,voltage,answered,-5,V,,,\r\n" + VOLTAGE.replace("220", "1e309"),
    "qt_time": "2026-12-07T18:04:06Z,COM1,5,voltage,no-reply,,,yes,,\r\n",
    "last_line_cut": VOLTAGE + VOLTAGE[:50],
    "no_answer_set_aside": BOM_HEADER + AT + ",COM1,5,no-answer,raised,,,,,\r\n"
    + AT + ",COM1,5,set-aside,begun,,,,,\r\n" + AT + ",COM1,5,set-aside,ended,,,,,\r\n"
    + AT + ",COM1,5,no-answer,cleared,,,,,\r\n" + AT + ",COM1,5,set-aside,over,,,,,\r\n",
}


def mbap(transaction, unit, pdu):
    """A Modbus TCP frame: the header, the unit id and the PDU."""
    return bytes([transaction >> 8, transaction & 0xFF, 0, 0, 0, len(pdu) + 1, unit]) + pdu


def read(function, unit, start, count, transaction=1):
    return mbap(transaction, unit, bytes([function, start >> 8, start & 0xFF, 0, count]))


# fuzz_scada_request: the site (line open, broker used and connected; four detectors, each
# quantity answered with a good value, or failed after one), the pieces' seed, then requests.
SCADA_SITE = bytes([0x07, 0x08, 0x22, 0x08, 0xDC, 0x0A, 0x10, 0x09, 0xDC,
                    0x88, 0x40, 0x0F, 0xFF, 0x02, 0x01, 0x07, 0x00, 0x05])
SCADA_SEEDS = {
    "quality_block": SCADA_SITE + read(3, 1, 0x0100, 18),
    "own_registers": SCADA_SITE + read(4, 2, 0x000D, 3) + read(3, 2, 0x0012, 1, 2),
    "gateway_unit": SCADA_SITE + read(3, 0, 0, 10),
    "write_refused": SCADA_SITE + mbap(1, 1, bytes([6, 0, 0x11, 0, 1])),
    "count_126": SCADA_SITE + read(3, 1, 0x0100, 126),
    "unit_not_read": SCADA_SITE + read(3, 9, 0x0100, 1),
    "three_in_one": SCADA_SITE + read(3, 1, 0x0100, 1) + read(3, 3, 0x0105, 4, 2)
    + read(4, 0, 4, 2, 3),
    "bad_protocol_after_one": SCADA_SITE + read(3, 1, 0x000F, 1) + bytes([0, 2, 0, 1, 0, 6]),
    "longest_length": SCADA_SITE + bytes([0, 1, 0, 0, 0, 254, 1, 3]) + bytes(252),
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
    write("fuzz_record_text",
          {k: bytes([i * 37 % 256, i * 11 % 256]) + v.encode() for i, (k, v) in
           enumerate(RECORD_SEEDS.items())})
    write("fuzz_scada_request", SCADA_SEEDS)


if __name__ == "__main__":
    main()
