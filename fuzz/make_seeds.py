#!/usr/bin/env python3
"""Writes the seed inputs of every fuzz target into fuzz/regressions/<target>/seed-*.

Archives come from Python's zipfile and the machine's zip (plain and with -P); the older methods
from small encoders below (LZW shrinking, reducing with copies, imploding with equal-length
trees). Decoder seeds carry the 7-byte parameter header that decoder_targets.cpp reads.
Run it again after changing a target's input layout; it only adds or replaces seed-* files.
"""
import bz2
import io
import lzma
import os
import shutil
import struct
import subprocess
import sys
import tempfile
import zipfile
import zlib

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "regressions")
PASSWORD = b"salvage"  # the whole-run target offers this password


def text(size, seed=1):
    words = [b"salvage", b"archive", b"entry", b"header", b"window", b"copy", b"the", b"of"]
    out = bytearray()
    state = seed
    while len(out) < size:
        state = (state * 1103515245 + 12345) & 0x7FFFFFFF
        out += words[state % len(words)] + (b"\n" if state % 11 == 0 else b" ")
    return bytes(out[:size])


def noise(size, seed=7):
    out = bytearray()
    state = seed
    for _ in range(size):
        state = (state * 6364136223846793005 + 1442695040888963407) & (2**64 - 1)
        out.append(state >> 56)
    return bytes(out)


def raw_deflate(data, level=6):
    packer = zlib.compressobj(level, zlib.DEFLATED, -15)
    return packer.compress(data) + packer.flush()


class BitWriter:
    """Least significant bit first, as every Zip method reads its stream."""

    def __init__(self):
        self.out = bytearray()
        self.count = 0

    def put(self, value, bits):
        for bit in range(bits):
            if self.count % 8 == 0:
                self.out.append(0)
            if (value >> bit) & 1:
                self.out[-1] |= 1 << (self.count % 8)
            self.count += 1

    def data(self):
        return bytes(self.out)


def shrink(data):
    """LZW with 9-bit codes only: codes from 512 on are added by both sides but never used."""
    table = {bytes([value]): value for value in range(256)}
    next_code = 257
    writer = BitWriter()
    current = b""
    for value in data:
        candidate = current + bytes([value])
        if candidate in table:
            current = candidate
            continue
        writer.put(table[current], 9)
        if next_code < 512:
            table[candidate] = next_code
        next_code += 1
        current = bytes([value])
    if current:
        writer.put(table[current], 9)
    return writer.data()


def reduce_stream(data, factor):
    """Empty follower sets, literals, and copies of 3 or more bytes introduced by 0x90."""
    length_mask = 0xFF >> factor
    writer = BitWriter()
    for _ in range(256):
        writer.put(0, 6)
    position = 0
    while position < len(data):
        best_length, best_distance = 0, 0
        for distance in range(1, min(position, 255) + 1):
            length = 0
            while (position + length < len(data) and length < length_mask + 2
                   and data[position + length - distance] == data[position + length]):
                length += 1
            if length > best_length:
                best_length, best_distance = length, distance
        if best_length >= 3:
            writer.put(0x90, 8)
            writer.put(best_length - 3, 8)  # below the mask: no length byte; distance < 256
            writer.put(best_distance - 1, 8)
            position += best_length
            continue
        writer.put(data[position], 8)
        if data[position] == 0x90:
            writer.put(0, 8)
        position += 1
    return writer.data()


def implode(data, literal_tree):
    """Equal-length trees (8-bit literals, 6-bit lengths and distances), literals only."""
    out = bytearray()
    if literal_tree:
        out += bytes([15]) + bytes([0xF7] * 16)  # 256 literals of 8 bits
    out += bytes([3, 0xF5, 0xF5, 0xF5, 0xF5]) * 2  # 64 lengths, 64 distances of 6 bits
    writer = BitWriter()
    for value in data:
        writer.put(1, 1)  # a literal follows
        if literal_tree:
            # Imploding sends its codes complemented; equal-length canonical codes give symbol s
            # the code s, whose first bit goes first.
            writer.put(int(format(255 - value, "08b")[::-1], 2), 8)
        else:
            writer.put(value, 8)
    return bytes(out) + writer.data()


def local_record(name, data, method, size, flags=0, crc=None):
    crc = zlib.crc32(data) if crc is None else crc
    header = struct.pack("<IHHHHHIIIHH", 0x04034B50, 20, flags, method, 0x6A21, 0x5987, crc,
                         len(data), size, len(name), 0)
    return header + name + data


def zipfile_archive(entries, compression):
    buffer = io.BytesIO()
    with zipfile.ZipFile(buffer, "w", compression) as archive:
        for name, data in entries:
            info = zipfile.ZipInfo(name, date_time=(2020, 1, 2, 3, 4, 6))
            info.compress_type = compression
            archive.writestr(info, data)
    return buffer.getvalue()


def run_machine_zip(files, options, output):
    """Runs the machine's zip over `files` written into a scratch folder, its archive going to
    `output` ("-" for standard output); returns the archive, or None when zip is not installed."""
    if shutil.which("zip") is None:
        return None
    with tempfile.TemporaryDirectory() as folder:
        for name, data in files:
            with open(os.path.join(folder, name), "wb") as handle:
                handle.write(data)
            os.utime(os.path.join(folder, name), (1577934246, 1577934246))
        result = subprocess.run(["zip", "-q", "-X"] + options + [output] +
                                [name for name, _ in files], cwd=folder, check=True,
                                stdout=subprocess.PIPE)
        if output == "-":
            return result.stdout
        with open(os.path.join(folder, output), "rb") as handle:
            return handle.read()


def machine_zip(files, options):
    """An archive from the machine's zip, or None when it is not installed."""
    return run_machine_zip(files, options, "out.zip")


def streamed_record(name, data, method, content, signature=True, wide=False, flags=0x0008):
    """A streamed entry: flag bit 3, CRC-32 and sizes 0 in the local header, then the data and
    a data descriptor (APPNOTE 4.3.9) with or without its signature, 4- or 8-byte sizes."""
    header = struct.pack("<IHHHHHIIIHH", 0x04034B50, 20, flags, method, 0x6A21, 0x5987, 0, 0, 0,
                         len(name), 0)
    size_format = "<QQ" if wide else "<II"
    descriptor = (struct.pack("<I", 0x08074B50) if signature else b"") + \
        struct.pack("<I", zlib.crc32(content)) + struct.pack(size_format, len(data), len(content))
    return header + name + data + descriptor


class Unseekable(io.RawIOBase):
    """A write-only stream without tell or seek, so that zipfile writes data descriptors."""
    def __init__(self):
        super().__init__()
        self.buffer = bytearray()

    def writable(self):
        return True

    def write(self, data):
        self.buffer += data
        return len(data)


def zipfile_streamed(entries):
    """zipfile on an unseekable stream: stored and deflated entries, each with a descriptor."""
    target = Unseekable()
    with zipfile.ZipFile(target, "w") as archive:
        for name, data, compression in entries:
            info = zipfile.ZipInfo(name, date_time=(2020, 1, 2, 3, 4, 6))
            info.compress_type = compression
            with archive.open(info, "w") as handle:
                handle.write(data)
    return bytes(target.buffer)


def machine_zip_piped(files, options):
    """The machine's zip writing to a pipe (streamed entries), or None without zip."""
    return run_machine_zip(files, options, "-")


def streamed_seeds():
    sample = text(2000, 8)
    streamed = zipfile_streamed([("notes.txt", text(3000, 1), zipfile.ZIP_DEFLATED),
                                 ("photo.jpg", noise(400), zipfile.ZIP_STORED),
                                 ("empty", b"", zipfile.ZIP_STORED),
                                 ("tiny.txt", b"short entry", zipfile.ZIP_DEFLATED)])
    write("whole_run", "streamed-zipfile.zip", streamed)
    write("whole_run", "streamed-cut.zip", streamed[:len(streamed) * 2 // 3])
    hand = streamed_record(b"bare-stored.txt", sample, 0, sample, signature=False)
    hand += streamed_record(b"wide-deflated.txt", raw_deflate(sample), 8, sample, wide=True)
    hand += streamed_record(b"shrunk.txt", shrink(sample[:600]), 1, sample[:600])
    hand += streamed_record(b"bare-empty", b"", 0, b"", signature=False)
    write("whole_run", "streamed-hand-made.zip", hand)
    for options, name in (([], "streamed-zip.zip"), (["-0"], "streamed-zip-stored.zip"),
                          (["-P", PASSWORD.decode()], "streamed-zip-encrypted.zip"),
                          (["-0", "-P", PASSWORD.decode()], "streamed-zip-encrypted-stored.zip")):
        archive = machine_zip_piped([("a.txt", text(2500, 5)), ("b.bin", noise(150, 9))], options)
        if archive is not None:
            write("whole_run", name, archive)
    # An ordinary archive whose first entry, a folder, claims 64 KiB: the entries it swallows
    # are found by scanning its bytes again.
    folder = bytearray(zipfile_archive([("folder/", b""), ("a.txt", text(900, 2)),
                                        ("b.txt", text(700, 3))], zipfile.ZIP_DEFLATED))
    folder[20] = 0x01
    write("whole_run", "size-field-changed.zip", bytes(folder))


def decoder_seed(stream, recorded, mode=0, delta=0, available=0):
    return bytes([mode]) + struct.pack("<I", recorded)[:3] + bytes([delta]) + \
        struct.pack("<H", available) + stream


def write(target, name, data):
    folder = os.path.join(ROOT, target)
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, "seed-" + name), "wb") as handle:
        handle.write(data)


def whole_run_seeds():
    small = [("notes.txt", text(3000, 1)), ("tiny.txt", b"short entry"),
             ("photo.jpg", noise(400)), ("empty", b"")]
    stored = zipfile_archive(small, zipfile.ZIP_STORED)
    deflated = zipfile_archive(small, zipfile.ZIP_DEFLATED)
    write("whole_run", "zipfile-stored.zip", stored)
    write("whole_run", "zipfile-deflated.zip", deflated)
    write("whole_run", "cut-in-second-entry.zip", deflated[:len(deflated) // 2])
    write("whole_run", "two-archives.zip", stored + deflated)
    write("whole_run", "junk-around.zip", noise(37) + deflated + noise(19, 3))
    for options, name in (([], "zip-default.zip"), (["-P", PASSWORD.decode()], "zip-encrypted.zip"),
                          (["-0", "-P", PASSWORD.decode()], "zip-encrypted-stored.zip"),
                          (["-P", "wrong-one"], "zip-other-password.zip")):
        archive = machine_zip([("a.txt", text(2500, 5)), ("b.bin", noise(150, 9))], options)
        if archive is not None:
            write("whole_run", name, archive)
    legacy = bytearray()
    sample = text(600, 3)
    legacy += local_record(b"shrunk.txt", shrink(sample), 1, len(sample))
    for factor in range(1, 5):
        legacy += local_record(b"reduced%d.txt" % factor, reduce_stream(sample, factor),
                               1 + factor, len(sample))
    legacy += local_record(b"imploded.txt", implode(sample[:200], False), 6, 200, flags=0)
    legacy += local_record(b"imploded-tree.txt", implode(sample[:200], True), 6, 200, flags=6)
    legacy += local_record(b"deflated.txt", raw_deflate(sample), 8, len(sample))
    legacy += local_record(b"method7", b"xxxx", 7, 4)
    legacy += local_record(b"method12", b"", 12, 500)
    write("whole_run", "every-method.zip", bytes(legacy))
    write("whole_run", "names-and-witness.zip", names_and_witness())


def names_and_witness():
    """UTF-8 names, kept extra fields, modes and comments in the directory, an archive comment,
    and entries in methods that are copied as they were (bzip2, LZMA)."""
    buffer = io.BytesIO()
    timestamp = struct.pack("<HHBI", 0x5455, 5, 1, 1577934246)
    with zipfile.ZipFile(buffer, "w") as archive:
        for name, data, compression, mode in (
                ("R\u00e9sum\u00e9.txt", text(700, 2), zipfile.ZIP_DEFLATED, 0o100644),
                ("run.sh", b"#!/bin/sh\necho hi\n", zipfile.ZIP_STORED, 0o100755),
                ("latest", b"run.sh", zipfile.ZIP_STORED, 0o120777),
                ("notes.bz2.txt", text(900, 4), zipfile.ZIP_BZIP2, 0o100600),
                ("notes.lzma.txt", text(900, 6), zipfile.ZIP_LZMA, 0o100644)):
            info = zipfile.ZipInfo(name, date_time=(2020, 1, 2, 3, 4, 6))
            info.compress_type = compression
            info.create_system = 3
            info.external_attr = mode << 16
            info.extra = timestamp
            info.comment = b"comment of " + name.encode("utf-8")
            archive.writestr(info, data)
        archive.comment = b"the archive's own comment"
    return buffer.getvalue()


def decoder_seeds():
    sample = text(2000, 11)
    for level in (0, 1, 6, 9):
        stream = raw_deflate(sample, level)
        write("inflate", "level%d" % level, decoder_seed(stream, len(sample)))
    write("inflate", "binary", decoder_seed(raw_deflate(noise(700) + bytes(300)), 1000))
    stream = raw_deflate(sample)
    write("inflate", "truncated", decoder_seed(stream, len(sample), mode=0x04,
                                               available=len(stream) // 2))
    write("unshrink", "text", decoder_seed(shrink(sample), len(sample)))
    write("unshrink", "repeats", decoder_seed(shrink(b"ab" * 300 + b"abc" * 200), 1200))
    write("unshrink", "huge-size", decoder_seed(shrink(sample[:500]), 0, mode=0x08))
    for factor in range(1, 5):
        write("unreduce", "factor%d" % factor,
              decoder_seed(reduce_stream(sample[:800], factor), 800, mode=factor - 1))
    write("unreduce", "truncated", decoder_seed(reduce_stream(sample[:800], 2), 800, mode=0x05,
                                                available=150))
    for flags in (0, 1, 2, 3):
        data = sample[:300]
        write("explode", "flags%d" % flags,
              decoder_seed(implode(data, bool(flags & 2)), len(data), mode=flags))
    write("explode", "huge-size", decoder_seed(implode(sample[:100], True), 0, mode=0x0A))
    library_seeds(sample)
    aes_seeds(sample)
    bzip2_damaged_seed()


def library_seeds(sample):
    """The library methods: each stream whole, cut in half, and with its recorded size short."""
    streams = {"bzip2": [("stream", bz2.compress(sample, 1), 0)],
               "lzma": [("xz", lzma.compress(sample, lzma.FORMAT_XZ), 2),
                        ("lzma-end-marker", lzma_zip(sample), 1)]}
    zstd = shutil.which("zstd")
    if zstd:
        packed = subprocess.run([zstd, "-q", "-c"], input=sample, capture_output=True).stdout
        streams["zstd"] = [("frame", packed, 0)]
    for target, cases in streams.items():
        for name, stream, variant in cases:
            write(target, name, decoder_seed(stream, len(sample), mode=variant))
            write(target, name + "-cut", decoder_seed(stream, len(sample), mode=variant | 0x04,
                                                      available=len(stream) // 2))
            write(target, name + "-small-size", decoder_seed(stream, len(sample) // 3,
                                                             mode=variant))


def bzip2_damaged_seed():
    """Three 100k bzip2 blocks, the middle one with a byte changed: the search for the blocks
    behind a damaged one."""
    words = [text(7, seed) for seed in range(300)]
    data = b" ".join(words[(index * 7919) % 300] for index in range(36000))[:250000]
    stream = bytearray(bz2.compress(data, 1))
    stream[len(stream) // 2] ^= 0x55
    write("bzip2", "damaged-block", decoder_seed(bytes(stream), len(data)))


def aes_seeds(sample):
    """WinZip AES entries of 7z (password "fuzz"): deflated AES-256 and AES-128, stored AES-256,
    whole and cut. Left out where 7z is missing."""
    seven = shutil.which("7z")
    if not seven:
        return
    for name, options, variant in (("aes256-deflate", ["-mem=AES256"], 0),
                                   ("aes128-deflate", ["-mem=AES128"], 1),
                                   ("aes256-stored", ["-mem=AES256", "-mm=Copy"], 2)):
        with tempfile.TemporaryDirectory() as folder:
            open(os.path.join(folder, "sample"), "wb").write(sample)
            subprocess.run([seven, "a", "-tzip", "-pfuzz"] + options + ["a.zip", "sample"],
                           cwd=folder, capture_output=True, check=True)
            archive = open(os.path.join(folder, "a.zip"), "rb").read()
        name_length, extra_length = struct.unpack_from("<HH", archive, 26)
        start = 30 + name_length + extra_length
        stream = archive[start:start + struct.unpack_from("<I", archive, 18)[0]]
        write("aes", name, decoder_seed(stream, len(sample), mode=variant))
        write("aes", name + "-cut", decoder_seed(stream, len(sample), mode=variant | 0x04,
                                                 available=len(stream) // 2))


def lzma_zip(data):
    """Method 14's data (APPNOTE 5.8.8): version, properties size, properties, LZMA with the end
    marker."""
    alone = lzma.compress(data, lzma.FORMAT_ALONE)
    return bytes([9, 20]) + struct.pack("<H", 5) + alone[:5] + alone[13:]


def table_seed(lengths, alphabet, requested, failing=0):
    return struct.pack("<H", len(lengths)) + bytes([alphabet, requested, failing]) + bytes(lengths)


def table_seeds():
    fixed = [8] * 144 + [9] * 112 + [7] * 24 + [8] * 8
    write("huff_tables", "fixed-litlen", table_seed(fixed, 1, 7))
    write("huff_tables", "fixed-distance", table_seed([5] * 30, 2, 5))
    write("huff_tables", "code-lengths", table_seed([2, 3, 3, 3, 4, 4, 5, 5, 6, 6, 0, 0, 7, 7, 7,
                                                     7, 7, 7, 7], 0, 7))
    skewed = [min(length, 15) for length in range(1, 17)] + [15]
    write("huff_tables", "skewed", table_seed(skewed, 0, 9))
    write("huff_tables", "incomplete", table_seed([1, 0, 3, 3], 0, 2))
    write("huff_tables", "implode-lengths", table_seed([6] * 64, 3, 7))
    write("huff_tables", "no-memory", table_seed(skewed, 0, 4, failing=2))


def entry_bytes_seed(flags, compressed, available, password, header, calls, archive):
    return bytes([flags]) + struct.pack("<IH", compressed & 0xFFFFFFFF, available) + \
        bytes([len(password)]) + password + header + bytes([len(calls)]) + bytes(calls) + archive


def entry_bytes_seeds():
    archive = noise(3000, 5)
    calls = [0, 0, 0x85, 0, 0xFF, 0xFF, 0, 0x90]
    write("entry_bytes", "plain-3000", entry_bytes_seed(0, 3000, 0, b"", bytes(12), calls, archive))
    write("entry_bytes", "encrypted", entry_bytes_seed(1, 1500, 0, PASSWORD, noise(12, 2),
                                                       calls, archive))
    write("entry_bytes", "encrypted-size-5", entry_bytes_seed(1, 5, 0, b"pw", noise(12, 4),
                                                              [0] * 12, archive[:40]))
    write("entry_bytes", "truncated", entry_bytes_seed(2, 2500, 1800, b"", bytes(12), calls,
                                                       archive))


def inflate_resync_seeds():
    """A damaged valid stream: mode (bit 0 long, bit 1 Deflate64, bits 2-3 the damage), its
    place and length (16 bits each), the fill byte, then the generator's choices."""
    for kind, name in enumerate(["zeros", "repeated", "input-bytes", "flipped-bit"]):
        for long_stream in (0, 1):
            mode = long_stream | kind << 2
            write("inflate_resync", name + ("-long" if long_stream else "-short"),
                  bytes([mode, 0x00, 0x80, 0x40, 0x00, 0x55]) + noise(64, 40 + mode))
    write("inflate_resync", "deflate64-zeros", bytes([3, 0x00, 0x60, 0x00, 0x02, 0]) + noise(64, 60))


def generated_stream_seeds():
    # A mode byte (bit 0: a long stream, past the window's size; bit 1: Deflate64) and the
    # generator's choices;
    # choices past the input's end continue from a sequence seeded by the input.
    write("generated_stream", "short", bytes([0]) + noise(64, 3))
    write("generated_stream", "long", bytes([1]) + noise(64, 4))
    write("generated_stream", "long-few-choices", bytes([1, 9]))
    write("generated_stream", "deflate64-short", bytes([2]) + noise(64, 5))
    write("generated_stream", "deflate64-long", bytes([3]) + noise(64, 6))


def text_transfer_seeds():
    # A mode byte (bits 0-1: 0 none, 1 every LF to CR LF, 2 lone LFs to CR LF, 3 CR LF to LF;
    # bit 2: one entry's search instead of the archive; bit 3: convert the rest first).
    lines = b"".join(b"line %d of the notes\r\n" % number for number in range(120))
    entries = [("notes.txt", text(3000, 1)), ("crlf.txt", lines), ("data.bin", noise(2000, 5)),
               ("empty", b"")]
    for compression, label in ((zipfile.ZIP_DEFLATED, "deflated"), (zipfile.ZIP_STORED, "stored")):
        archive = zipfile_archive(entries, compression)
        write("text_transfer", label + "-intact.zip", bytes([0]) + archive)
        for change, name in ((1, "every-lf"), (2, "lone-lf"), (3, "crlf")):
            write("text_transfer", "%s-%s.zip" % (label, name), bytes([8 | change]) + archive)
    machine = machine_zip([("notes.txt", text(4000, 2)), ("data.bin", noise(3000, 6))], [])
    if machine:
        write("text_transfer", "machine-zip-lone-lf.zip", bytes([8 | 2]) + machine)
    # One entry: method, flags, compressed size, uncompressed size / 16, CRC-32, the count of
    # CRs the layout gives (255: none), then the data (converted by the target).
    for method, label in ((1, "deflated"), (0, "stored")):
        content = text(4096, 3) + noise(2048, 7)
        data = raw_deflate(content) if method == 1 else content
        for change, name in ((2, "lone-lf"), (3, "crlf")):
            fields = bytes([method, 0]) + struct.pack("<HHI", len(data), len(content) // 16,
                                                      zlib.crc32(content)) + bytes([255])
            write("text_transfer", "entry-%s-%s" % (label, name),
                  bytes([8 | 4 | change]) + fields + data + b"PK\x03\x04")


def main():
    text_transfer_seeds()
    whole_run_seeds()
    streamed_seeds()
    generated_stream_seeds()
    inflate_resync_seeds()
    decoder_seeds()
    table_seeds()
    entry_bytes_seeds()
    return 0


if __name__ == "__main__":
    sys.exit(main())
