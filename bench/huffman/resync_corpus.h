// The resync benchmark's corpus: the kinds of data it damages and the writers that deflate
// them (zlib at several levels, and Info-ZIP zip and 7-Zip where they are installed).
#pragma once

#include <cstdint>
#include <random>
#include <string>
#include <vector>

namespace zipsalvage::bench {

using Bytes = std::vector<uint8_t>;

struct Kind {
    const char* name;
    Bytes data;
};

// Text from `textRoots` (then the machine's licences and documents), this program's sources
// under `sourceDir`, and logs, CSV and binary records made from `random`; each up to 512 KiB.
std::vector<Kind> gatherKinds(const std::vector<std::string>& textRoots,
                              const std::string& sourceDir, std::mt19937& random);

struct Writer {
    const char* name;     // short, for the tables: "zlib-1", "zip-6", "7z-9"
    int zlibLevel;        // 0: an outside program
    const char* command;  // run in a scratch folder to zip "data.bin" into "out.zip"
};

// The writers the corpus is deflated by; an outside one whose program is missing is left out
// with a message on standard output.
std::vector<Writer> availableWriters();

// The raw deflate stream `writer` makes of `input`; empty when it failed or did not deflate.
Bytes deflateWith(const Writer& writer, const Bytes& input, const std::string& scratch);

}  // namespace zipsalvage::bench
