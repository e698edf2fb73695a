#!/usr/bin/env python3
"""Builds the archives the wizard tests work on, one folder per scenario (each name holds a
space, so the command line is quoted as Explorer quotes it). Usage: make_fixtures.py ROOT

Prints the wrong password for the encrypted scenario: one that fails the check byte of a.txt
(any given wrong password passes that one-byte check with a chance of 1 in 256)."""
import os
import random
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
    password = folders["password run"]
    zip_files(password, "secret.zip", {"a.txt": b"alpha\n", "b.txt": b"bravo\n"}, ["-0", "-P", "right"])
    zip_files(password, "secret.zip", {"c.txt": b"charlie\n"}, ["-0", "-P", "other"])
    with zipfile.ZipFile(os.path.join(password, "secret.zip")) as archive:
        for attempt in range(1000):
            wrong = f"wrong{attempt}"
            try:
                archive.read("a.txt", pwd=wrong.encode())
            except RuntimeError:  # "Bad password": the check byte refused it
                print(wrong)
                return
    sys.exit("no wrong password found")


if __name__ == "__main__":
    main()
