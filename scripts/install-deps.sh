#!/usr/bin/env bash
# Installs what building and testing need on a Debian machine (skips what is already there).
set -euo pipefail
need=()
command -v cmake >/dev/null || need+=(cmake)
command -v ninja >/dev/null || need+=(ninja-build)
command -v g++ >/dev/null || need+=(g++)
command -v zip >/dev/null || need+=(zip)
command -v unzip >/dev/null || need+=(unzip)
command -v python3 >/dev/null || need+=(python3)
command -v 7z >/dev/null || need+=(p7zip-full)
command -v bsdtar >/dev/null || need+=(libarchive-tools)  # a streaming Zip writer for the tests
[ -f /usr/include/gtest/gtest.h ] || need+=(libgtest-dev)
[ -f /usr/include/zlib.h ] || need+=(zlib1g-dev)
# The other writers' methods (optional for the program, wanted by the tests) and their tools.
[ -f /usr/include/bzlib.h ] || need+=(libbz2-dev)
[ -f /usr/include/lzma.h ] || need+=(liblzma-dev)
[ -f /usr/include/zstd.h ] || need+=(libzstd-dev)
command -v zstd >/dev/null || need+=(zstd)
[ -f /usr/include/gcrypt.h ] || need+=(libgcrypt20-dev)  # WinZip AES
# The Windows builds' AES, where their cross compiler is installed.
if command -v x86_64-w64-mingw32-g++ >/dev/null || command -v i686-w64-mingw32-g++ >/dev/null; then
  [ -f /usr/x86_64-w64-mingw32/include/gcrypt.h ] || need+=(libgcrypt-mingw-w64-dev)
fi
command -v dpkg-shlibdeps >/dev/null || need+=(dpkg-dev)  # the Debian package's dependencies
for extra in "$@"; do need+=("$extra"); done
if [ ${#need[@]} -gt 0 ]; then
  SUDO=""; [ "$(id -u)" -eq 0 ] || SUDO="sudo"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${need[@]}" >/dev/null
fi
