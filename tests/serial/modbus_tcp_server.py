"""A Modbus TCP server written elsewhere (pymodbus), for the tool's Modbus TCP line to talk to.

Usage: modbus_tcp_server.py PORT UNIT REGISTER=VALUE...
Serves holding registers of unit UNIT on 127.0.0.1:PORT, numbered from 0, and prints "ready"
once it listens.
"""

import asyncio
import sys

from pymodbus.datastore import ModbusSequentialDataBlock, ModbusServerContext, ModbusSlaveContext
from pymodbus.server import StartAsyncTcpServer


async def main():
    port, unit = int(sys.argv[1]), int(sys.argv[2])
    block = ModbusSequentialDataBlock(0, [0] * 64)
    for item in sys.argv[3:]:
        register, value = item.split("=")
        block.setValues(int(register), [int(value)])
    units = {unit: ModbusSlaveContext(hr=block, zero_mode=True)}
    server = await StartAsyncTcpServer(
        context=ModbusServerContext(slaves=units, single=False),
        address=("127.0.0.1", port),
        defer_start=True,
    )
    serving = asyncio.create_task(server.serve_forever())
    while server.server is None and not serving.done():
        await asyncio.sleep(0.01)
    print("ready", flush=True)
    await serving


asyncio.run(main())
