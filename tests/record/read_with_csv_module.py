"""A record written by record_writer, read with Python's csv module: one byte-order mark, the
header, and each row's columns. usage: read_with_csv_module.py RECORD_WRITER FOLDER"""
import csv, pathlib, subprocess, sys

folder = pathlib.Path(sys.argv[2])
folder.mkdir(parents=True, exist_ok=True)
path = folder / "record.csv"
path.unlink(missing_ok=True)
subprocess.run([sys.argv[1], str(path), "4", "/dev/ttyUSB0"], check=True)

assert path.read_bytes().startswith(b"\xef\xbb\xbftime,port,")
assert path.read_bytes().count(b"\xef\xbb\xbf") == 1
with path.open(encoding="utf-8-sig", newline="") as f:
    rows = list(csv.reader(f))
assert rows[0] == ["time", "port", "address", "operation", "result", "value", "unit", "again",
                   "sent", "reply"], rows[0]
assert len(rows) == 5, rows
for i, row in enumerate(rows[1:]):
    measured = ["voltage", "answered", "220", "V"] if i % 2 == 0 else \
               ["resistance", "answered", "34.5", "\u03a9"]
    assert row[1:8] == ["/dev/ttyUSB0", str(i + 1)] + measured + [""], row
    assert len(row[8].split(" ")) == 8 and row[9] == f"{i >> 8:02X} {i & 255:02X}", row
    assert len(row[0]) == len("2026-12-07T18:04:06.123+08:00"), row[0]
