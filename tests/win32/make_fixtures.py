#!/usr/bin/env python3
"""Builds the archives the wizard tests work on, one folder per scenario (each name holds a
space, so the command line is quoted as Explorer quotes it). Usage: make_fixtures.py ROOT

Prints the wrong password for the encrypted scenario: one that fails the password test of
a.txt (any given wrong password passes that one-byte test now and then); then the number of
entries in each archive of the two-runs scenario."""
import binascii
import os
import random
import struct
import subprocess
import sys
import zipfile


def zip_files(folder, archive, files, options=()):
    for name, data in files.items():
        with open(os.path.join(folder, name), "wb") as out:
            out.write(data)
    subprocess.run(["zip", "-q", *options, archive, *files], cwd=folder, check=True)
    for name in files:
        os.remove(os.path.join(folder, name))


class TraditionalCipher:
    """The traditional PKWARE encryption of APPNOTE 6.1, to encrypt a fixture's entry."""

    def __init__(self, password):
        self.keys = [0x12345678, 0x23456789, 0x34567890]
        for byte in password:
            self.update(byte)

    @staticmethod
    def crc_step(crc, byte):
        return binascii.crc32(bytes([byte]), crc ^ 0xFFFFFFFF) ^ 0xFFFFFFFF

    def update(self, byte):
        self.keys[0] = self.crc_step(self.keys[0], byte)
        self.keys[1] = ((self.keys[1] + (self.keys[0] & 0xFF)) * 134775813 + 1) & 0xFFFFFFFF
        self.keys[2] = self.crc_step(self.keys[2], self.keys[1] >> 24)

    def encrypt(self, data):
        out = bytearray()
        for byte in data:
            temp = (self.keys[2] | 2) & 0xFFFF
            out.append(byte ^ (((temp * (temp ^ 1)) >> 8) & 0xFF))
            self.update(byte)
        return bytes(out)


def write_encrypted_zip(path, name, data, password, flags):
    """One stored, encrypted entry with the given flag word (bit 0 is added)."""
    crc = binascii.crc32(data)
    header = bytes(random.Random(11).randrange(256) for _ in range(11)) + bytes([crc >> 24])
    body = TraditionalCipher(password).encrypt(header + data)
    flags |= 1
    local = struct.pack("<IHHHHHIIIHH", 0x04034B50, 20, flags, 0, 0, 0, crc, len(body), len(data),
                        len(name), 0) + name + body
    central = struct.pack("<IHHHHHHIIIHHHHHII", 0x02014B50, 20, 20, flags, 0, 0, 0, crc, len(body),
                          len(data), len(name), 0, 0, 0, 0, 0, 0) + name
    end = struct.pack("<IHHHHIIH", 0x06054B50, 0, 0, 1, 1, len(central), len(local), 0)
    with open(path, "wb") as out:
        out.write(local + central + end)


def write_zip(path, files, compression=zipfile.ZIP_DEFLATED):
    with zipfile.ZipFile(path, "w", compression) as archive:
        for name, data in files.items():
            archive.writestr(name, data)


def main():
    root = sys.argv[1]
    names = ("complete run", "first page", "closed run", "cancel run", "password run",
             "two runs", "unicode", "password escape", "write failure", "long path",
             "long password", "no zip data", "output folder",
             "high dpi")
    folders = {name: os.path.join(root, name) for name in names}
    # Latin, Cyrillic and CJK in one folder name: none of one ANSI code page holds them all.
    folders["unicode"] = os.path.join(root, "Gr\u00fc\u00dfe \u041e\u0440\u0434\u0435\u0440 \u6587\u4ef6\u5939")
    # Three folders of 90 characters: the path passes MAX_PATH (260) on any test machine.
    folders["long path"] = os.path.join(root, "long path", *(f"{level}" * 90 for level in "abc"))
    for folder in folders.values():
        os.makedirs(folder, exist_ok=True)

    # Two archives for two wizards at once, each long enough that the runs overlap.
    generator = random.Random(3)
    for sub, archive in (("one", "first.zip"), ("two", "second.zip")):
        os.makedirs(os.path.join(folders["two runs"], sub), exist_ok=True)
        write_zip(os.path.join(folders["two runs"], sub, archive),
                  {f"entry{index:04d}.txt": (f"{index} " * 2000).encode() + generator.randbytes(2000)
                   for index in range(TWO_RUNS_ENTRIES)})

    # Python's zipfile sets flag bit 11 for names that are not ASCII.
    write_zip(os.path.join(folders["unicode"], "\u0444\u0430\u0439\u043b.zip"),
              {"\u041f\u0440\u0438\u0432\u0435\u0442.txt": b"hello\n",
               "\u65e5\u672c\u8a9e/\u540d\u524d.txt": b"world\n"}, zipfile.ZIP_STORED)
    write_zip(os.path.join(folders["long path"], "good.zip"), {"one.txt": b"hello\n"},
              zipfile.ZIP_STORED)
    write_encrypted_zip(os.path.join(folders["password escape"], "secret.zip"),
                        "\u041a\u043b\u044e\u0447/\u043f\u0430\u0440\u043e\u043b\u044c.txt".encode(),
                        b"secret\n", b"right", 1 << 11)
    write_encrypted_zip(os.path.join(folders["long password"], "secret.zip"), b"long.txt",
                        b"opened\n", LONG_PASSWORD.encode(), 0)
    # Random data that does not compress: the output passes the script's file-size limit
    # (1 MiB) while every temporary file stays below it.
    write_zip(os.path.join(folders["write failure"], "big.zip"),
              {f"part{part}.bin": generator.randbytes(192 << 10) for part in range(12)},
              zipfile.ZIP_STORED)

    # Bytes without a single "PK" in them: no signature to start an entry at.
    noise = generator.randbytes(200 << 10).replace(b"PK", b"pk")
    with open(os.path.join(folders["no zip data"], "noise.zip"), "wb") as out:
        out.write(noise)

    two = "".join(f"{line}\n" for line in range(1, 2001)).encode()
    zip_files(folders["complete run"], "good.zip", {"one.txt": b"hello\n", "two.txt": two}, ["-0"])
    # A name in the OEM code page (CP437 0x81 is u-umlaut), as DOS-era archivers stored them:
    # zip keeps a name that is not UTF-8 as its raw bytes.
    oem_name = os.path.join(os.fsencode(folders["complete run"]), b"gr\x81n.txt")
    with open(oem_name, "wb") as out:
        out.write(b"gruen\n")
    subprocess.run([b"zip", b"-q", b"-0", b"good.zip", b"gr\x81n.txt"],
                   cwd=folders["complete run"], check=True)
    os.remove(oem_name)
    zip_files(folders["first page"], "good.zip", {"one.txt": b"hello\n"}, ["-0"])
    # More entries than the log shows at once, so its keys have something to scroll.
    zip_files(folders["high dpi"], "good.zip", {"one.txt": b"hello\n"}, ["-0"])
    zip_files(folders["output folder"], "good.zip", {"one.txt": b"hello\n"}, ["-0"])
    os.makedirs(os.path.join(folders["output folder"], "out"))
    zip_files(folders["closed run"], "good.zip",
              {"one.txt": b"hello\n", **{f"line{index:02d}.txt": b"line\n" for index in range(30)}},
              ["-0"])
    with open(os.path.join(folders["first page"], "Salvaged.zip"), "wb") as out:
        out.write(b"an older Salvaged.zip that must survive")

    # Long enough that Cancel lands in the middle of the run.
    generator = random.Random(7)
    with zipfile.ZipFile(os.path.join(folders["cancel run"], "long.zip"), "w") as archive:
        for part in range(64):
            archive.writestr(f"part{part:03d}.bin", generator.randbytes(1 << 20))

    # a.txt and b.txt share a password; c.txt has another, so it prompts again and is skipped.
    # The program accepts a password whose decrypted check byte matches the CRC's high byte, or,
    # with flag bit 3, the time's high byte: a wrong password passes 1 or 2 times in 256, so the
    # random encryption headers are drawn again until "right" fails c.txt.
    password = folders["password run"]
    archive_path = os.path.join(password, "secret.zip")
    zip_files(password, "secret.zip", {"a.txt": b"alpha\n", "b.txt": b"bravo\n"}, ["-0", "-P", "right"])
    for attempt in range(100):
        zip_files(password, "secret.zip", {"c.txt": b"charlie\n"}, ["-0", "-P", "other"])
        if not passes(archive_path, "c.txt", "right"):
            break
        subprocess.run(["zip", "-q", "-d", archive_path, "c.txt"], check=True)
    else:
        sys.exit("c.txt keeps accepting the password of a.txt")
    for attempt in range(1000):
        wrong = f"wrong{attempt}"
        if not passes(archive_path, "a.txt", wrong):
            print(wrong)
            print(TWO_RUNS_ENTRIES)
            return
    sys.exit("no wrong password found")


TWO_RUNS_ENTRIES = 600
# Longer than the 39 characters the dialog once kept, as a pass phrase may be.
LONG_PASSWORD = "correct horse battery staple " * 7


def passes(archive_path, name, password):
    """The program's password test for one entry (traditional PKWARE encryption)."""
    with zipfile.ZipFile(archive_path) as archive:
        info = archive.getinfo(name)
    with open(archive_path, "rb") as raw:
        raw.seek(info.header_offset)
        local = raw.read(30)
        name_length, extra_length = struct.unpack("<HH", local[26:30])
        raw.seek(info.header_offset + 30 + name_length + extra_length)
        header = raw.read(12)
    check = zipfile._ZipDecrypter(password.encode())(header)[11]
    if check == info.CRC >> 24:
        return True
    return bool(info.flag_bits & 0x8) and check == (info._raw_time >> 8) & 0xFF


if __name__ == "__main__":
    main()
