// Encrypted test archives, the one-byte check seen from outside, and running the program.
#include "tests/password/encrypted_archives.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <sstream>

#include "core/little_endian.h"
#include "extract/cipher.h"
#include "tests/support/zip_builder.h"

namespace zipsalvage::testing {
namespace {

constexpr int kProgramSeconds = 60;

bool anyForeignPasswordPasses(const Bytes& archive, const std::vector<EntrySpec>& entries,
                              const std::vector<std::string>& others) {
    std::vector<std::string> candidates = others;
    for (const EntrySpec& entry : entries) {
        if (!entry.password.empty()) candidates.push_back(entry.password);
    }
    for (const EntrySpec& entry : entries) {
        if (entry.password.empty()) continue;
        EntryCheck check = readEntryCheck(archive, entry.name);
        if (!check.found) return true;
        for (const std::string& candidate : candidates) {
            // Only the first 1024 bytes of a password are ever tested.
            if (candidate.substr(0, 1024) != entry.password.substr(0, 1024) &&
                passesCheck(check, candidate)) {
                return true;
            }
        }
    }
    return false;
}

int waitWithDeadline(pid_t child, int outputDescriptor, std::string* output) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(kProgramSeconds);
    while (outputDescriptor >= 0) {
        struct pollfd waiting {
            outputDescriptor, POLLIN, 0
        };
        if (::poll(&waiting, 1, 100) > 0) {
            char chunk[4096];
            ssize_t got = ::read(outputDescriptor, chunk, sizeof chunk);
            if (got <= 0) break;
            if (output != nullptr) output->append(chunk, static_cast<size_t>(got));
        }
        if (std::chrono::steady_clock::now() > deadline) ::kill(child, SIGKILL);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    return WIFSIGNALED(status) ? 128 + WTERMSIG(status) : -1;
}

}  // namespace

bool makeZipArchive(const TempDir& dir, const std::string& archive,
                    const std::vector<EntrySpec>& entries, const std::vector<std::string>& others) {
    for (const EntrySpec& entry : entries) writeWholeFile(dir.file(entry.name), entry.content);
    for (int attempt = 0; attempt < 50; ++attempt) {
        ::unlink(dir.file(archive).c_str());
        for (const EntrySpec& entry : entries) {
            std::string command =
                "cd " + shellQuote(dir.path) + " && zip -q -X " + (entry.deflated ? "-6 " : "-0 ");
            if (!entry.password.empty()) command += "-P " + shellQuote(entry.password) + " ";
            if (runCommand(command + shellQuote(archive) + " " + shellQuote(entry.name)) != 0) {
                return false;
            }
        }
        if (!anyForeignPasswordPasses(readWholeFile(dir.file(archive)), entries, others)) {
            return true;
        }
    }
    return false;
}

Bytes handMadeEncryptedEntry(const std::string& name, const Bytes& content,
                             const std::string& password) {
    TestEntry entry{
        name, encryptTraditional(content, password, static_cast<uint16_t>(crc32Of(content) >> 16))};
    entry.flags = 1;         // encrypted
    entry.modTime = 0x6000;  // 12:00
    entry.modDate = 0x5A21;  // 2025-01-01
    entry.crc32 = crc32Of(content);
    entry.uncompressedSize = static_cast<int64_t>(content.size());
    return localRecord(entry);
}

EntryCheck readEntryCheck(const Bytes& archive, const std::string& name) {
    EntryCheck check;
    for (size_t offset = 0; offset + 30 <= archive.size(); ++offset) {
        const uint8_t* at = archive.data() + offset;
        if (loadLE32(at) != 0x04034b50) continue;
        size_t nameLength = loadLE16(at + 26);
        size_t headerAt = offset + 30 + nameLength + loadLE16(at + 28);
        if (headerAt + 12 > archive.size() || nameLength != name.size() ||
            name.compare(0, name.size(), reinterpret_cast<const char*>(at + 30), nameLength) != 0) {
            continue;
        }
        check.found = true;
        check.flags = loadLE16(at + 6);
        check.modTime = loadLE16(at + 10);
        check.crc = loadLE32(at + 14);
        check.dataOffset = headerAt + 12;
        std::copy(archive.begin() + static_cast<std::ptrdiff_t>(headerAt),
                  archive.begin() + static_cast<std::ptrdiff_t>(headerAt + 12), check.header);
        return check;
    }
    return check;
}

bool passesCheck(const EntryCheck& entry, const std::string& password) {
    return testPasswordForEntry(password.substr(0, 39).c_str(), entry.crc, entry.modTime,
                                entry.flags, entry.header) == 1;
}

std::string findFalsePassword(const EntryCheck& entry, const std::string& right) {
    for (int index = 0; index < 100000; ++index) {
        std::string candidate = "guess" + std::to_string(index);
        if (candidate != right && passesCheck(entry, candidate)) return candidate;
    }
    return std::string();
}

std::map<std::string, SalvagedFile> readSalvaged(const std::string& zipPath) {
    static const char* const kLister =
        "import sys, zipfile\n"
        "with zipfile.ZipFile(sys.argv[1]) as z:\n"
        "    for i in z.infolist():\n"
        "        data = b'' if i.flag_bits & 1 else z.read(i)\n"
        "        print(i.filename, i.flag_bits, i.CRC, data.hex() or '-')\n";
    std::string listing;
    std::map<std::string, SalvagedFile> files;
    if (runCommand("python3 -c " + shellQuote(kLister) + " " + shellQuote(zipPath), &listing,
                   false) != 0) {
        return files;
    }
    std::istringstream lines(listing);
    std::string name;
    std::string hex;
    SalvagedFile file;
    while (lines >> name >> file.flags >> file.recordedCrc >> hex) {
        file.data.clear();
        for (size_t at = 0; hex != "-" && at + 1 < hex.size(); at += 2) {
            file.data.push_back(static_cast<uint8_t>(std::stoi(hex.substr(at, 2), nullptr, 16)));
        }
        files[name] = file;
    }
    return files;
}

ProgramRun runWithoutTerminal(const std::vector<std::string>& arguments) {
    ProgramRun run;
    int pipeEnds[2];
    if (::pipe(pipeEnds) != 0) return run;
    pid_t child = ::fork();
    if (child == 0) {
        ::setsid();  // a new session has no controlling terminal: /dev/tty cannot be opened
        int nothing = ::open("/dev/null", O_RDONLY);
        ::dup2(nothing, STDIN_FILENO);
        ::dup2(pipeEnds[1], STDOUT_FILENO);
        ::dup2(pipeEnds[1], STDERR_FILENO);
        std::vector<char*> argv;
        std::string program = ZIPSALVAGE_BINARY;
        argv.push_back(program.data());
        std::vector<std::string> copies = arguments;
        for (std::string& argument : copies) argv.push_back(argument.data());
        argv.push_back(nullptr);
        ::execv(program.c_str(), argv.data());
        ::_exit(127);
    }
    ::close(pipeEnds[1]);
    run.status = child < 0 ? -1 : waitWithDeadline(child, pipeEnds[0], &run.output);
    ::close(pipeEnds[0]);
    return run;
}

bool inflateAvailable() {
    static int available = -1;
    if (available < 0) {
        TempDir dir;
        makeZipArchive(dir, "probe.zip", {{"probe.txt", makeText(2000, 1), "", true}});
        ProgramRun run = runWithoutTerminal({"-y", dir.file("probe.zip")});
        available = run.output.find("probe.txt: size = 2000:  OK") != std::string::npos ? 1 : 0;
    }
    return available == 1;
}

int countOf(const std::string& text, const std::string& piece) {
    int count = 0;
    for (size_t at = text.find(piece); at != std::string::npos; at = text.find(piece, at + 1)) {
        ++count;
    }
    return count;
}

}  // namespace zipsalvage::testing
