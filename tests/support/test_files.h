// Test helpers: private temporary folders, whole-file I/O, running commands.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace zipsalvage::testing {

using Bytes = std::vector<uint8_t>;

// A fresh folder under the system's temporary folder, removed with everything in it.
struct TempDir {
    std::string path;  // without a trailing slash
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    std::string file(const std::string& name) const { return path + "/" + name; }
};

Bytes readWholeFile(const std::string& path);
void writeWholeFile(const std::string& path, const Bytes& bytes);
void writeWholeFile(const std::string& path, const std::string& text);
bool pathExists(const std::string& path);
// The names in a folder, sorted, without "." and "..".
std::vector<std::string> folderNames(const std::string& path);

// Runs a shell command; returns its exit status and fills `output` with stdout (and stderr
// when `mergeStderr`).
int runCommand(const std::string& command, std::string* output = nullptr, bool mergeStderr = true);
bool haveCommand(const std::string& name);
std::string shellQuote(const std::string& text);

// Deterministic test data: text-like, binary-like and random bytes.
Bytes makeText(size_t size, uint32_t seed);
Bytes makeRandom(size_t size, uint32_t seed);

// The CRC-32 of `bytes` as zlib computes it.
uint32_t crc32Of(const Bytes& bytes);

// The folder of archives written by other programs, or empty when it is absent.
std::string sharedTestdataDir();

}  // namespace zipsalvage::testing
