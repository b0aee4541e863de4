"""A Modbus TCP client written elsewhere (pymodbus), for the watch's server.

Usage: scada_client.py PORT REQUEST...
Each REQUEST is h:UNIT:ADDRESS:COUNT (read holding registers, function 3), i:UNIT:ADDRESS:COUNT
(input registers, function 4) or w:UNIT:ADDRESS:VALUE (write one register, function 6), sent to
127.0.0.1:PORT in turn over one connection. Prints a line for each: "ok" and the registers
read (or written), or "exception" and its code, or "failed" and why.
"""

import sys

from pymodbus.client import ModbusTcpClient
from pymodbus.pdu import ExceptionResponse


def main():
    client = ModbusTcpClient("127.0.0.1", port=int(sys.argv[1]), timeout=3, retries=0)
    if not client.connect():
        print("failed to connect")
        return 1
    for request in sys.argv[2:]:
        kind, unit, address, number = request.split(":")
        unit, address, number = int(unit), int(address, 0), int(number)
        try:
            if kind == "h":
                reply = client.read_holding_registers(address, number, slave=unit)
            elif kind == "i":
                reply = client.read_input_registers(address, number, slave=unit)
            else:
                reply = client.write_register(address, number, slave=unit)
        except Exception as error:  # a client's own refusal is a line too
            print("failed", type(error).__name__)
            continue
        if isinstance(reply, ExceptionResponse):
            print("exception", reply.exception_code)
        elif reply.isError():
            print("failed", reply)
        elif kind == "w":
            print("ok", reply.value)
        else:
            print("ok", *reply.registers)
    client.close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
