// Encrypted test archives (made with the machine's `zip -P`, or by hand for what zip cannot
// write), their entries' encryption headers, and what a salvaged archive holds.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "tests/support/test_files.h"

namespace zipsalvage::testing {

struct EntrySpec {
    std::string name;
    Bytes content;
    std::string password;  // empty: not encrypted
    bool deflated = false;
};

// Builds `archive` in `dir` with one zip run per entry, in order. Since zip's encryption header
// is random, a password of `others` (or of another entry) passes an entry's one-byte check now
// and then; the archive is made again until none does, so the tests do not flake.
bool makeZipArchive(const TempDir& dir, const std::string& archive,
                    const std::vector<EntrySpec>& entries,
                    const std::vector<std::string>& others = {});

// A local header and encrypted stored data made by this test's own encryptor (flags 1, no bit 3,
// so the check byte is the CRC-32's high byte), for passwords zip will not take, such as "".
Bytes handMadeEncryptedEntry(const std::string& name, const Bytes& content,
                             const std::string& password);

// What the one-byte check of an entry sees, read from its local header.
struct EntryCheck {
    bool found = false;
    uint32_t crc = 0;
    uint16_t modTime = 0;
    uint16_t flags = 0;
    uint8_t header[12] = {};
    size_t dataOffset = 0;  // the first byte after the encryption header
};
EntryCheck readEntryCheck(const Bytes& archive, const std::string& name);
bool passesCheck(const EntryCheck& entry, const std::string& password);

// A wrong password (not `right`) that passes the entry's one-byte check, found by search.
std::string findFalsePassword(const EntryCheck& entry, const std::string& right);

// A salvaged archive as Python's zipfile reads it (an outside oracle).
// The entries of a salvaged archive; those still encrypted list no data.
struct SalvagedFile {
    int flags = -1;
    uint32_t recordedCrc = 0;
    Bytes data;
};
std::map<std::string, SalvagedFile> readSalvaged(const std::string& zipPath);

// The program run without a controlling terminal (a new session), stdin from /dev/null.
struct ProgramRun {
    int status = -1;     // exit status, or 128 + signal
    std::string output;  // stdout and stderr
};
ProgramRun runWithoutTerminal(const std::vector<std::string>& arguments);

// True once method 8 comes out of the salvage: salvages a small unencrypted deflated zip.
bool inflateAvailable();

int countOf(const std::string& text, const std::string& piece);

}  // namespace zipsalvage::testing
