// Test helpers over POSIX.
#include "tests/support/test_files.h"

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>

namespace zipsalvage::testing {

TempDir::TempDir() {
    const char* base = std::getenv("TMPDIR");
    std::string pattern =
        std::string(base != nullptr && base[0] ? base : "/tmp") + "/zstest-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) std::abort();
    path = pattern;
}

TempDir::~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path, ignored);
}

Bytes readWholeFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void writeWholeFile(const std::string& path, const Bytes& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
}

void writeWholeFile(const std::string& path, const std::string& text) {
    writeWholeFile(path, Bytes(text.begin(), text.end()));
}

bool pathExists(const std::string& path) {
    struct stat info {};
    return ::lstat(path.c_str(), &info) == 0;
}

std::vector<std::string> folderNames(const std::string& path) {
    std::vector<std::string> names;
    std::error_code ignored;
    for (const auto& item : std::filesystem::directory_iterator(path, ignored)) {
        names.push_back(item.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

int runCommand(const std::string& command, std::string* output, bool mergeStderr) {
    std::string full = command + (mergeStderr ? " 2>&1" : "");
    FILE* pipe = ::popen(full.c_str(), "r");
    if (pipe == nullptr) return -1;
    std::array<char, 4096> chunk{};
    size_t got = 0;
    while ((got = std::fread(chunk.data(), 1, chunk.size(), pipe)) > 0) {
        if (output != nullptr) output->append(chunk.data(), got);
    }
    int status = ::pclose(pipe);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

bool haveCommand(const std::string& name) {
    return runCommand("command -v " + name + " >/dev/null") == 0;
}

std::string shellQuote(const std::string& text) {
    std::string quoted = "'";
    for (char character : text) {
        if (character == '\'') {
            quoted += "'\\''";
        } else {
            quoted += character;
        }
    }
    return quoted + "'";
}

Bytes makeText(size_t size, uint32_t seed) {
    static const char* const kWords[] = {"salvage ", "archive ", "the ",     "of ",   "entry ",
                                         "deflate ", "window ",  "header\n", "data ", "zip "};
    Bytes bytes;
    uint32_t state = seed * 2654435761u + 1;
    while (bytes.size() < size) {
        state = state * 1103515245u + 12345u;
        const char* word = kWords[(state >> 16) % 10];
        for (const char* c = word; *c && bytes.size() < size; ++c)
            bytes.push_back(static_cast<uint8_t>(*c));
    }
    return bytes;
}

Bytes makeRandom(size_t size, uint32_t seed) {
    Bytes bytes(size);
    uint64_t state = seed * 0x9E3779B97F4A7C15ull + 7;
    for (auto& byte : bytes) {
        state ^= state << 13;
        state ^= state >> 7;
        state ^= state << 17;
        byte = static_cast<uint8_t>(state >> 24);
    }
    return bytes;
}

uint32_t crc32Of(const Bytes& bytes) {
    // zlib's, not the program's: an oracle that shares no code with what it judges. Its length
    // is 32-bit, so a large input goes in pieces.
    uLong crc = ::crc32(0, nullptr, 0);
    constexpr size_t kPieceBytes = size_t{1} << 30;
    for (size_t done = 0; done < bytes.size(); done += kPieceBytes) {
        size_t piece = std::min(kPieceBytes, bytes.size() - done);
        crc = ::crc32(crc, bytes.data() + done, static_cast<uInt>(piece));
    }
    return static_cast<uint32_t>(crc);
}

std::string sharedTestdataDir() {
    std::string dir = std::string(ZIPSALVAGE_SOURCE_DIR) + "/../shared/testdata";
    if (const char* override = std::getenv("ZIPSALVAGE_TESTDATA")) dir = override;
    return pathExists(dir + "/README.md") ? dir : std::string();
}

}  // namespace zipsalvage::testing
