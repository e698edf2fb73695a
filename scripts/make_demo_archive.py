#!/usr/bin/env python3
"""Writes examples/damaged-demo.zip: a small archive with a damaged entry and a lost directory.

Five entries (four deflated, one stored) behind some junk; the second entry's header is wiped,
the third entry's data scribbled over, and the archive cut off in the middle of the last entry,
so the central directory is lost as well.
"""
import io
import pathlib
import zipfile

root = pathlib.Path(__file__).resolve().parent.parent
buffer = io.BytesIO()
with zipfile.ZipFile(buffer, "w", zipfile.ZIP_DEFLATED) as archive:
    archive.writestr("readme.txt", "This archive was damaged on purpose.\n" * 20)
    archive.writestr("notes/plan.txt", "1. find headers\n2. decode\n3. write again\n" * 40)
    archive.writestr("data/table.csv", "".join(f"{i},{i * i},{i * 7 % 13}\n" for i in range(400)))
    archive.writestr("data/empty.txt", "")
    archive.writestr("photo.jpg", bytes((i * 37) % 256 for i in range(3000)), zipfile.ZIP_STORED)
data = bytearray(buffer.getvalue())
# Junk in front (as left by a bad download), one local header wiped, and the archive cut in the
# middle of its last entry, taking the central directory with it.
wiped = data.find(b"PK\x03\x04", data.find(b"notes/plan.txt") - 30)
data[wiped:wiped + 4] = b"\0\0\0\0"
# Scribble over the middle of data/table.csv's compressed data.
table = data.find(b"data/table.csv") + 14
data[table + 400:table + 408] = b"\xff" * 8
cut = data.find(b"photo.jpg") + 9 + 2400
damaged = b"garbage before the archive " * 4 + bytes(data[:cut])
(root / "examples").mkdir(exist_ok=True)
(root / "examples" / "damaged-demo.zip").write_bytes(damaged)
