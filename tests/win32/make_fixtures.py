#!/usr/bin/env python3
"""Builds the archives the wizard tests work on, one folder per scenario (each name holds a
space, so the command line is quoted as Explorer quotes it). Usage: make_fixtures.py ROOT

Prints the wrong password for the encrypted scenario: one that fails the password test of
a.txt (any given wrong password passes that one-byte test now and then)."""
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


def main():
    root = sys.argv[1]
    folders = {name: os.path.join(root, name) for name in
               ("complete run", "first page", "closed run", "cancel run", "password run")}
    for folder in folders.values():
        os.makedirs(folder, exist_ok=True)

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
    zip_files(folders["closed run"], "good.zip", {"one.txt": b"hello\n"}, ["-0"])
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
            return
    sys.exit("no wrong password found")


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
