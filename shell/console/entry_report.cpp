// The per-entry report: JSON lines, written as each entry's verdict is known.
#include "shell/console/entry_report.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <system_error>

#include "resources/strings.h"
#include "shell/console/archive_batch.h"
#include "shell/console/options.h"

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
        case EntryVerdict::kNotChecked:
            return "not-checked";
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

mode_t currentUmask() {
    mode_t mask = ::umask(0);
    ::umask(mask);
    return mask;
}

void showReportError(const EntryReportFile& report, const std::string& reason) {
    std::string text(report.path.size() + reason.size() + 128, '\0');
    formatText(text.data(), static_cast<int>(text.size()), textOf(kTextUnableToWriteReport),
               report.path.c_str(), reason.c_str());
    std::fprintf(stderr, "%s: %s\n", textOf(kTextFileError), text.c_str());
}

void countVerdict(ReportTally& tally, EntryVerdict verdict) {
    ++tally.found;
    switch (verdict) {
        case EntryVerdict::kWhole:
            ++tally.whole;
            break;
        case EntryVerdict::kPartial:
            ++tally.partial;
            break;
        case EntryVerdict::kUndecryptable:
            ++tally.undecryptable;
            break;
        case EntryVerdict::kNotChecked:
            ++tally.notChecked;
            break;
        case EntryVerdict::kUnrecoverable:
        case EntryVerdict::kSystemError:
        case EntryVerdict::kNotWritten:
            ++tally.lost;
            break;
    }
}

void noteFailure(EntryReportFile& report, int reason) {
    if (report.failed) return;
    report.failed = true;
    report.failedReason = reason;
}

// Shows the first failure once; true when the report has none.
bool checkReport(EntryReportFile& report) {
    if (!report.failed) return true;
    if (!report.failureShown) {
        showReportError(report, std::generic_category().message(report.failedReason));
        report.failureShown = true;
    }
    return false;
}

void writeLine(EntryReportFile& report, const std::string& line) {
    if (report.file == nullptr || report.failed) return;
    if (std::fwrite(line.data(), 1, line.size(), report.file) != line.size()) {
        noteFailure(report, errno);
    }
}

void writeEntryLine(void* context, const EntryReport& entry) {
    auto& report = *static_cast<EntryReportFile*>(context);
    countVerdict(report.tally, entry.verdict);
    if (report.file == nullptr || report.failed) return;
    writeLine(
        report,
        entryReportLine(entry, shownName(*report.run, entry.rawName, entry.nameIsUtf8)) + "\n");
    // A full disk stops the run at once: going on would only salvage into a run that fails.
    if (report.failed) requestCancel(report.run->flags);
}

// Before the output is put in place: every line so far must have reached the file.
bool reportWritten(void* context) {
    auto& report = *static_cast<EntryReportFile*>(context);
    if (report.file != nullptr && !report.failed && std::fflush(report.file) != 0) {
        noteFailure(report, errno);
    }
    return checkReport(report);
}

}  // namespace

EntryReportFile::~EntryReportFile() {
    if (file != nullptr && !toStandardOutput) std::fclose(file);
    if (!partialPath.empty()) ::unlink(partialPath.c_str());
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
    std::string line = "{\"name\":" + jsonString(shownName) + numbers;
    if (entry.unknown != nullptr && !entry.unknown->ranges.empty()) {
        // The spans written as zeros, offsets in the file, end exclusive.
        line.pop_back();
        line += ",\"unknown_ranges\":[";
        for (size_t index = 0; index < entry.unknown->ranges.size(); ++index) {
            const ByteRange& range = entry.unknown->ranges[index];
            char pair[64];
            std::snprintf(pair, sizeof pair, "%s[%llu,%llu]", index == 0 ? "" : ",",
                          static_cast<unsigned long long>(range.start),
                          static_cast<unsigned long long>(range.end));
            line += pair;
        }
        line += "]}";
    }
    return line;
}

std::string summaryReportLine(const ReportTally& tally, const ReportSummary& summary) {
    char counts[320];
    std::snprintf(counts, sizeof counts,
                  ",\"found\":%llu,\"whole\":%llu,\"partial\":%llu,\"undecryptable\":%llu,"
                  "\"lost\":%llu,\"notChecked\":%llu,\"exitStatus\":%d}}",
                  static_cast<unsigned long long>(tally.found),
                  static_cast<unsigned long long>(tally.whole),
                  static_cast<unsigned long long>(tally.partial),
                  static_cast<unsigned long long>(tally.undecryptable),
                  static_cast<unsigned long long>(tally.lost),
                  static_cast<unsigned long long>(tally.notChecked), summary.exitStatus);
    std::string output = summary.output.empty() ? "null" : jsonString(summary.output);
    return "{\"summary\":{\"archive\":" + jsonString(summary.archive) + ",\"output\":" + output +
           counts;
}

bool openEntryReport(EntryReportFile& report, const std::string& path,
                     const std::vector<std::string>& archives) {
    report.path = path;
    if (path == kReportToStandardOutput) {
        report.file = stdout;
        report.toStandardOutput = true;
        return true;
    }
    // The archives are only ever read, whatever name the report is given.
    for (const std::string& archive : archives) {
        if (namesSameFile(archive, path)) {
            showReportError(report, textOf(kTextIsTheArchive));
            return false;
        }
    }
    // Written beside its final name and renamed at the end, as the output is, so that a run
    // that does not take place or is cancelled leaves an earlier report as it was.
    std::string partial = path + ".partial-XXXXXX";
    int descriptor = ::mkstemp(partial.data());
    if (descriptor < 0) {
        showReportError(report, std::generic_category().message(errno));
        return false;
    }
    ::fchmod(descriptor, 0666 & ~currentUmask());
    report.file = ::fdopen(descriptor, "w");
    if (report.file == nullptr) {
        int reason = errno;
        ::close(descriptor);
        ::unlink(partial.c_str());
        showReportError(report, std::generic_category().message(reason));
        return false;
    }
    report.partialPath = partial;
    return true;
}

void attachEntryReport(EntryReportFile& report, EntryContext& run) {
    report.run = &run;
    report.tally = ReportTally{};
    run.ui.entryDone = writeEntryLine;
    run.ui.entryDoneContext = &report;
    run.ui.beforeCommit = reportWritten;
}

bool writeReportSummary(EntryReportFile& report, const ReportSummary& summary) {
    if (report.file == nullptr) return true;
    report.run = nullptr;
    writeLine(report, summaryReportLine(report.tally, summary) + "\n");
    if (!report.failed && std::fflush(report.file) != 0) noteFailure(report, errno);
    return checkReport(report);
}

bool closeEntryReport(EntryReportFile& report, bool commit) {
    if (report.file == nullptr) return true;
    if (std::fflush(report.file) != 0) noteFailure(report, errno);
    if (!report.toStandardOutput && std::fclose(report.file) != 0) noteFailure(report, errno);
    report.file = nullptr;
    if (report.partialPath.empty()) return checkReport(report);
    if (commit && !report.failed &&
        std::rename(report.partialPath.c_str(), report.path.c_str()) != 0) {
        noteFailure(report, errno);
    }
    if (!commit || report.failed) ::unlink(report.partialPath.c_str());
    report.partialPath.clear();
    return checkReport(report);
}

}  // namespace zipsalvage
