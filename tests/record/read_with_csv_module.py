"""Reads a record written by record_writer with Python's csv module: the byte-order mark, the
header, and each row's columns, the Chinese-ready UTF-8 units included.

usage: read_with_csv_module.py RECORD_WRITER FOLDER"""
import csv
import pathlib
import subprocess
import sys

writer, folder = sys.argv[1], pathlib.Path(sys.argv[2])
folder.mkdir(parents=True, exist_ok=True)
path = folder / "record.csv"
path.unlink(missing_ok=True)
subprocess.run([writer, str(path), "4", "/dev/ttyUSB0"], check=True)

raw = path.read_bytes()
assert raw.startswith(b"\xef\xbb\xbftime,port,"), raw[:20]
assert raw.count(b"\xef\xbb\xbf") == 1
with path.open(encoding="utf-8-sig", newline="") as f:
    rows = list(csv.DictReader(f))
expected_columns = ["time", "port", "address", "operation", "result", "value", "unit", "again",
                    "sent", "reply"]
assert list(rows[0].keys()) == expected_columns, rows[0].keys()
assert len(rows) == 4, rows
for i, row in enumerate(rows):
    voltage = i % 2 == 0
    assert row["port"] == "/dev/ttyUSB0"
    assert row["address"] == str(i + 1)
    assert row["operation"] == ("voltage" if voltage else "resistance")
    assert row["result"] == "answered"
    assert (row["value"], row["unit"]) == (("220", "V") if voltage else ("34.5", "\u03a9")), row
    assert row["again"] == ""
    assert len(row["sent"].split(" ")) == 8, row["sent"]
    assert row["reply"] == f"/dev/ttyUSB0 {i}"
    # Local time with milliseconds and the offset from UTC.
    assert len(row["time"]) == len("2026-12-07T18:04:06.123+08:00"), row["time"]
print("4 rows read with the csv module")
