// One archive's salvage in the console: open, check, create the output (asking before
// replacing one), run on a worker thread, report.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "extract/password_prompt.h"
#include "shell/console/entry_report.h"
#include "shell/console/options.h"
#include "shell/console/password_prompt_tty.h"

namespace zipsalvage {

// What the salvages of one call share.
struct SalvageSession {
    const ConsoleOptions* options;
    PromptTerminal* terminal;
    EntryReportFile* report;  // opened at the first run that gets as far as its output
    std::FILE* log;           // stdout, or stderr when the report takes stdout
    // Passwords that opened entries, tried first on the next archive's entries too.
    PasswordBook remembered{};
};

// One archive and where its salvage goes.
struct SalvageTask {
    std::string archivePath;
    std::string outputPath;
    // The output is "Salvaged.zip" beside the archive because none was named: an archive of
    // that very name is told to use -o.
    bool defaultOutput = false;
};

// Salvages one archive; returns its exit status (ExitStatus, or 128 plus a stop signal). The
// final output's path is `written` when one was put in place, empty otherwise.
int salvageArchive(SalvageSession& session, const SalvageTask& task, std::string& written);

}  // namespace zipsalvage
