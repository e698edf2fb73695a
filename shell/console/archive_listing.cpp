// The listing's columns and the walk that feeds them.
#include "shell/console/archive_listing.h"

#include <cstdio>

#include "engine/run/salvage_run.h"
#include "resources/strings.h"
#include "shell/console/console_ui.h"
#include "shell/console/cp437.h"
#include "shell/console/stop_signals.h"

namespace zipsalvage {
namespace {

// The methods by the names APPNOTE 4.4.5 gives them; others go by their number.
struct MethodName {
    uint16_t method;
    const char* name;
};
constexpr MethodName kMethodNames[] = {
    {0, "stored"},   {1, "shrunk"},   {2, "reduced1"}, {3, "reduced2"},  {4, "reduced3"},
    {5, "reduced4"}, {6, "imploded"}, {8, "deflated"}, {9, "deflate64"}, {12, "bzip2"},
    {14, "lzma"},    {93, "zstd"},    {95, "xz"},      {98, "ppmd"},     {99, "aes"},
};

std::string methodName(uint16_t method) {
    for (const MethodName& known : kMethodNames) {
        if (known.method == method) return known.name;
    }
    return "method" + std::to_string(method);
}

struct Listing {
    uint64_t entries = 0;
};

void printEntry(void* context, const ListedEntry& entry) {
    auto& listing = *static_cast<Listing*>(context);
    ++listing.entries;
    std::string raw = entry.rawName;
    for (char& letter : raw) {
        if (letter == '\0') letter = '?';  // a zero byte would end the name here
    }
    bool utf8 = (entry.flags & kFlagUtf8Name) != 0;
    std::string shown = utf8 ? utf8ForTerminal(raw.c_str()) : cp437ToUtf8(raw.c_str());
    std::printf("%s\n", listingLine(entry, shown).c_str());
}

}  // namespace

std::string listingLine(const ListedEntry& entry, const std::string& shownName) {
    std::string method = methodName(entry.method);
    if ((entry.flags & kFlagEncrypted) != 0) method += "*";
    char compressed[24] = "-";
    char uncompressed[24] = "-";
    char crc[12] = "-";
    if (entry.sizesKnown) {
        std::snprintf(compressed, sizeof compressed, "%llu",
                      static_cast<unsigned long long>(entry.sizes.compressed));
        std::snprintf(uncompressed, sizeof uncompressed, "%llu",
                      static_cast<unsigned long long>(entry.sizes.uncompressed));
        std::snprintf(crc, sizeof crc, "%08x", static_cast<unsigned>(entry.crc32));
    }
    char columns[160];
    std::snprintf(columns, sizeof columns, "%12lld  %-10s %12s   %12s  %-8s  ",
                  static_cast<long long>(entry.offset), method.c_str(), compressed, uncompressed,
                  crc);
    return columns + shownName;
}

int listArchive(const std::string& archivePath) {
    SalvageRun run;
    ConsoleUi ui;
    attachConsoleUi(run, ui);
    run.reader.progress = nullptr;  // headers alone go by too fast for a bar
    SignalledRun signalled(run.flags);
    if (!openArchive(run, archivePath.c_str())) return kExitNoRun;
    std::printf("%s\n", textOf(kTextListHeading));
    Listing listing;
    ListingResult result = listEntries(run.reader, run.flags, printEntry, &listing);
    closeRunFiles(run);
    if (result == ListingResult::kCancelled) {
        std::fflush(stdout);
        return stoppedStatus();
    }
    if (listing.entries == 0) {
        std::printf("%s\n", textOf(kTextNoFilesFound));
        std::fflush(stdout);
        return kExitDamaged;
    }
    char line[128];
    formatText(line, sizeof line, textOf(kTextFilesFound),
               static_cast<unsigned long long>(listing.entries));
    std::printf("%s\n", line);
    std::fflush(stdout);
    return kExitWhole;
}

}  // namespace zipsalvage
