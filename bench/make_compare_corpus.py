#!/usr/bin/env python3
"""Builds the archives that bench/compare_builds.sh salvages with two builds.

usage: bench/make_compare_corpus.py FOLDER

Writes into FOLDER: intact archives of the machine's writers (zip, Python's zipfile, 7z and
bsdtar where present), the archives of ../shared/testdata (when present), damaged copies of a
few of them (cut, zero-filled, overwritten, a flipped bit, a destroyed header, no directory)
and two inputs that hold no Zip data. Everything is made from fixed seeds, so two calls on one
machine give the same bytes. The passwords of the encrypted ones are in FOLDER/passwords.
"""
import io
import os
import random
import shutil
import subprocess
import sys
import zipfile

PASSWORDS = ["secret", "s3cret-pw", "12345678"]


def make_tree(root):
    rng = random.Random(7)
    os.makedirs(os.path.join(root, "docs", "empty"), exist_ok=True)
    os.makedirs(os.path.join(root, "bin"), exist_ok=True)
    words = ["salvage", "archive", "entry", "deflate", "header", "window", "block", "CRC"]
    with open(os.path.join(root, "docs", "text.txt"), "w") as out:
        for line in range(6000):
            out.write(" ".join(rng.choice(words) for _ in range(rng.randint(3, 12))) + "\n")
    with open(os.path.join(root, "docs", "crlf.txt"), "wb") as out:
        for line in range(3000):
            out.write(b"line %d of a file with CR LF line ends\r\n" % line)
    with open(os.path.join(root, "bin", "random.bin"), "wb") as out:
        out.write(bytes(rng.getrandbits(8) for _ in range(200000)))
    with open(os.path.join(root, "bin", "records.bin"), "wb") as out:
        for record in range(20000):
            out.write(record.to_bytes(4, "little") + bytes([record % 7] * 12))
    open(os.path.join(root, "docs", "zero.txt"), "wb").close()
    with open(os.path.join(root, "Grüße.txt"), "w") as out:
        out.write("Grüße aus dem Archiv\n" * 50)


def run(command, cwd):
    try:
        subprocess.run(command, cwd=cwd, check=True, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL)
        return True
    except (OSError, subprocess.CalledProcessError):
        return False


def writers(tree, out):
    have = lambda tool: shutil.which(tool) is not None
    if have("zip"):
        for name, flags in [("zip-6", ["-6"]), ("zip-0", ["-0"]), ("zip-9", ["-9"]),
                            ("zip-P", ["-P", PASSWORDS[0]]), ("zip-fz", ["-fz"])]:
            run(["zip", "-q", "-r", "-X"] + flags + [os.path.join(out, name + ".zip"), "."], tree)
        with open(os.path.join(out, "zip-streamed.zip"), "wb") as streamed:
            subprocess.run("zip -q -r -X - . | cat", shell=True, cwd=tree, stdout=streamed,
                           stderr=subprocess.DEVNULL)
    for name, method in [("py-stored", zipfile.ZIP_STORED), ("py-deflated", zipfile.ZIP_DEFLATED),
                         ("py-bzip2", zipfile.ZIP_BZIP2), ("py-lzma", zipfile.ZIP_LZMA)]:
        with zipfile.ZipFile(os.path.join(out, name + ".zip"), "w", method) as archive:
            for folder, _, files in sorted(os.walk(tree)):
                for file in sorted(files):
                    path = os.path.join(folder, file)
                    info = zipfile.ZipInfo(os.path.relpath(path, tree), (2021, 3, 4, 5, 6, 8))
                    info.compress_type = method
                    with open(path, "rb") as source:
                        archive.writestr(info, source.read())
    # Python's zipfile on a stream that cannot seek writes data descriptors (flag bit 3).
    unseekable = io.BytesIO()
    class Forward:
        def write(self, data):
            return unseekable.write(data)
        def flush(self):
            pass
    with zipfile.ZipFile(Forward(), "w", zipfile.ZIP_DEFLATED) as archive:
        with open(os.path.join(tree, "docs", "text.txt"), "rb") as source:
            archive.writestr("text.txt", source.read())
    with open(os.path.join(out, "py-streamed.zip"), "wb") as target:
        target.write(unseekable.getvalue())
    if have("7z"):
        for name, flags in [("7z-deflate", ["-mm=Deflate"]), ("7z-deflate64", ["-mm=Deflate64"]),
                            ("7z-bzip2", ["-mm=BZip2"]), ("7z-lzma", ["-mm=LZMA"]),
                            ("7z-aes256", ["-mem=AES256", "-p" + PASSWORDS[0]])]:
            run(["7z", "a", "-tzip", "-bd"] + flags + [os.path.join(out, name + ".zip"), "."], tree)
    if have("bsdtar"):
        run(["bsdtar", "--format", "zip", "-cf", os.path.join(out, "bsdtar.zip"), "."], tree)


def shared(out):
    root = os.environ.get("ZIPSALVAGE_TESTDATA") or os.path.join(
        os.path.dirname(os.path.abspath(__file__)), "..", "..", "shared", "testdata")
    if not os.path.isdir(root):
        print("no shared test data at", root, "- its archives are left out")
        return
    for folder, _, files in sorted(os.walk(root)):
        for file in sorted(files):
            if file.endswith(".zip"):
                part = os.path.relpath(folder, root).replace(os.sep, "-")
                shutil.copy(os.path.join(folder, file), os.path.join(out, "shared-%s-%s" % (part, file)))


def damaged(out):
    rng = random.Random(11)
    for base in ["zip-6", "zip-0", "py-deflated", "zip-streamed", "7z-deflate64"]:
        path = os.path.join(out, base + ".zip")
        if not os.path.exists(path):
            continue
        data = bytearray(open(path, "rb").read())
        size = len(data)
        def write(kind, content):
            with open(os.path.join(out, "damaged-%s-%s.zip" % (base, kind)), "wb") as target:
                target.write(content)
        write("cut", data[: size // 2])
        zeroed = bytearray(data); zeroed[size * 4 // 10: size * 4 // 10 + 16] = bytes(16)
        write("zeros", zeroed)
        overwritten = bytearray(data)
        at = size * 6 // 10
        overwritten[at: at + 64] = bytes(rng.getrandbits(8) for _ in range(64))
        write("random", overwritten)
        flipped = bytearray(data); flipped[size * 3 // 10] ^= 0x10
        write("bit", flipped)
        second = data.find(b"PK\x03\x04", 4)
        if second > 0:
            destroyed = bytearray(data); destroyed[second: second + 4] = b"XXXX"
            write("header", destroyed)
        first_central = data.find(b"PK\x01\x02")
        if first_central > 0:
            write("nodirectory", data[:first_central])
    with open(os.path.join(out, "nozip-random.bin"), "wb") as target:
        target.write(bytes(rng.getrandbits(8) for _ in range(50000)))
    open(os.path.join(out, "nozip-empty.bin"), "wb").close()


def main():
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    out = os.path.abspath(sys.argv[1])
    os.makedirs(out, exist_ok=True)
    tree = os.path.join(out, ".tree")
    shutil.rmtree(tree, ignore_errors=True)
    make_tree(tree)
    # Fixed times, so zip and 7z record the same on every call.
    for folder, dirs, files in os.walk(tree):
        for name in dirs + files:
            os.utime(os.path.join(folder, name), (1614834368, 1614834368))
    writers(tree, out)
    shared(out)
    damaged(out)
    shutil.rmtree(tree)
    with open(os.path.join(out, "passwords"), "w") as target:
        target.write("\n".join(PASSWORDS) + "\n")


if __name__ == "__main__":
    main()
