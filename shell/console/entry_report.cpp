// The per-entry report: JSON lines, written as each entry's verdict is known.
#include "shell/console/entry_report.h"

#include <cerrno>
#include <cstring>
#include <system_error>

#include "resources/strings.h"

namespace zipsalvage {
namespace {

const char* verdictName(EntryVerdict verdict) {
    switch (verdict) {
        case EntryVerdict::kWhole:
            return "whole";
        case EntryVerdict::kPartial:
            return "partial";
        case EntryVerdict::kUnrecoverable:
            return "unrecoverable";
        case EntryVerdict::kUndecryptable:
            return "undecryptable";
        case EntryVerdict::kSystemError:
            return "system-error";
        case EntryVerdict::kNotWritten:
            return "not-written";
    }
    return "not-written";
}

// A JSON string (RFC 8259 section 7): quotes, backslashes and control characters escaped.
std::string jsonString(const std::string& text) {
    std::string quoted = "\"";
    for (unsigned char character : text) {
        if (character == '"' || character == '\\') {
            quoted += '\\';
            quoted += static_cast<char>(character);
        } else if (character < 0x20) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", character);
            quoted += escaped;
        } else {
            quoted += static_cast<char>(character);
        }
    }
    return quoted + "\"";
}

void showReportError(const EntryReportFile& report, const std::string& reason) {
    std::string text(report.path.size() + reason.size() + 128, '\0');
    formatText(text.data(), static_cast<int>(text.size()), textOf(kTextUnableToWriteReport),
               report.path.c_str(), reason.c_str());
    std::fprintf(stderr, "%s: %s\n", textOf(kTextFileError), text.c_str());
}

void writeEntryLine(void* context, const EntryReport& entry) {
    auto& report = *static_cast<EntryReportFile*>(context);
    if (report.file == nullptr || report.failed) return;
    std::string line = entryReportLine(entry, shownName(*report.run, entry.rawName)) + "\n";
    if (std::fwrite(line.data(), 1, line.size(), report.file) != line.size()) report.failed = true;
}

}  // namespace

EntryReportFile::~EntryReportFile() {
    if (file != nullptr) std::fclose(file);
}

std::string entryReportLine(const EntryReport& entry, const std::string& shownName) {
    char numbers[256];
    std::snprintf(numbers, sizeof numbers,
                  ",\"method\":%u,\"recordedSize\":%llu,\"recordedCrc32\":\"%08x\","
                  "\"recoveredBytes\":%llu,\"written\":%s,\"verdict\":\"%s\"}",
                  static_cast<unsigned>(entry.method),
                  static_cast<unsigned long long>(entry.recordedSize),
                  static_cast<unsigned>(entry.recordedCrc32),
                  static_cast<unsigned long long>(entry.recoveredBytes),
                  entry.written ? "true" : "false", verdictName(entry.verdict));
    return "{\"name\":" + jsonString(shownName) + numbers;
}

bool openEntryReport(EntryReportFile& report, const std::string& path, SalvageRun& run) {
    report.path = path;
    // The archive is only ever read, whatever name the report is given.
    if (isSameFile(run.reader.archiveHandle, path.c_str())) {
        showReportError(report, textOf(kTextIsTheArchive));
        return false;
    }
    report.file = std::fopen(path.c_str(), "w");
    if (report.file == nullptr) {
        showReportError(report, std::generic_category().message(errno));
        return false;
    }
    report.run = &run;
    run.ui.entryDone = writeEntryLine;
    run.ui.entryDoneContext = &report;
    return true;
}

bool closeEntryReport(EntryReportFile& report) {
    if (report.file == nullptr) return true;
    bool flushed = std::fflush(report.file) == 0;
    int reason = errno;
    bool closed = std::fclose(report.file) == 0;
    if (flushed) reason = errno;
    report.file = nullptr;
    if (report.failed || !flushed || !closed) {
        showReportError(report, std::generic_category().message(reason));
        return false;
    }
    return true;
}

}  // namespace zipsalvage
