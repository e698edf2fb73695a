// The scenarios of the wizard driver beyond its first ones: each works one wizard from its
// start to its end and prints PASS or FAIL lines. FOLDER holds the scenario's fixtures.
#pragma once

#include <string>

#include "tests/win32/wizard_steps.h"

namespace zipsalvage::driver {

// The log after a run: Tab reaches it, keys scroll it, Shift selects, Ctrl+C copies, its
// context menu copies all and saves it; then the close box keeps the output.
void keepingTheLog(const std::string& exe, const std::string& folder);

// Cancel during a long run: the entry and rate lines, the question (No goes on, Yes stops),
// the stopped page; Finish closes it with nothing written.
void stopDuringRun(const std::string& exe, const std::string& folder);
// Escape in "Decrypt File": the run stops at once onto the stopped page.
void escapeInPasswordDialog(const std::string& exe, const std::string& folder);
// An archive without a single Zip signature.
void noZipData(const std::string& exe, const std::string& folder);

// On a completed page of good.zip in `folder`: "Open folder", then "Salvage another" and a
// second run that replaces the first one's output.
void openFolderThenAnother(Wizard& wizard, const std::string& folder);

// Browse starts in the archive's folder (a bare name typed there is found and the box gets
// the full path; Cancel leaves it), or in the Documents folder when the box is empty.
void browseStartFolders(const std::string& exe, const std::string& folder);
// The output folder box: a missing folder and one that cannot be written are named with
// their reasons, the folder dialog starts in the archive's folder, a chosen folder receives
// Salvaged.zip.
void chosenOutputFolder(const std::string& exe, const std::string& folder);

// At 144 DPI: the first page's side picture and title measured on the screen, then a run.
void highDpi(const std::string& exe, const std::string& folder);

}  // namespace zipsalvage::driver
