// What the program shows on a terminal: a progress bar that fits its width (none with -q) and
// an overwrite question that insists on yes or no.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <string>

#include "tests/password/pty_session.h"
#include "tests/shell/console_run.h"
#include "tests/support/zip_builder.h"

namespace zipsalvage {
namespace {

using testing::Bytes;
using testing::contains;
using testing::TempDir;

// The widest line the terminal shows: every stretch between line ends and carriage returns,
// escape sequences left out.
size_t widestLine(const std::string& transcript) {
    size_t widest = 0;
    size_t width = 0;
    for (size_t at = 0; at < transcript.size(); ++at) {
        char letter = transcript[at];
        if (letter == '\r' || letter == '\n') {
            width = 0;
        } else if (letter == '\033') {
            while (at + 1 < transcript.size() && !std::isalpha(transcript[at + 1])) ++at;
            ++at;
        } else {
            widest = std::max(widest, ++width);
        }
    }
    return widest;
}

// At 50 columns the full line ("[" and 30 bar characters, percentage, sizes) would wrap, and
// every redraw then left a line behind.
TEST(TerminalProgress, TheBarFitsANarrowTerminalAndQuietShowsNone) {
    TempDir dir;
    std::vector<testing::TestEntry> entries;
    for (uint32_t index = 0; index < 40; ++index) {
        entries.push_back({"file" + std::to_string(index), testing::makeRandom(50000, index)});
    }
    testing::writeWholeFile(dir.file("a.zip"), testing::buildArchive(entries));
    for (int columns : {50, 24, 3}) {
        SCOPED_TRACE(columns);
        testing::PtySession session;
        ASSERT_TRUE(testing::startOnTerminal(session, {"-y", dir.file("a.zip")},
                                             dir.file("log.txt"), {columns, true}));
        EXPECT_EQ(testing::finishSession(session), 0);
        EXPECT_LT(widestLine(session.transcript), static_cast<size_t>(columns));
        if (columns > 20) {
            EXPECT_TRUE(contains(session.transcript, "] ")) << session.transcript;
        }
    }
    testing::PtySession quiet;
    ASSERT_TRUE(testing::startOnTerminal(quiet, {"-q", "-y", dir.file("a.zip")},
                                         dir.file("log.txt"), {80, true}));
    EXPECT_EQ(testing::finishSession(quiet), 0);
    EXPECT_FALSE(contains(quiet.transcript, "%")) << quiet.transcript;
}

TEST(OverwriteQuestion, AsksAgainUntilAnsweredAndTakesEndOfInputForNo) {
    TempDir dir;
    testing::writeWholeFile(dir.file("a.zip"), testing::buildArchive({{"a.txt", Bytes{'a'}}}));
    testing::writeWholeFile(dir.file("Salvaged.zip"), std::string("old"));
    {
        testing::PtySession session;
        ASSERT_TRUE(testing::startOnTerminal(session, {dir.file("a.zip")}, dir.file("log.txt")));
        ASSERT_TRUE(testing::expectText(session, "[y/N] "));
        testing::typeKeys(session, "maybe\n");
        ASSERT_TRUE(testing::expectText(session, "Please answer y or n."));
        ASSERT_TRUE(testing::expectText(session, "[y/N] "));
        testing::typeKeys(session, "\x04");  // Ctrl-D: end of input
        EXPECT_EQ(testing::finishSession(session), 2);
        EXPECT_TRUE(contains(session.transcript.substr(session.seen), "\n"))
            << "the prompt's line ends";
        EXPECT_EQ(testing::readText(dir.file("Salvaged.zip")), "old");
    }
    testing::PtySession session;
    ASSERT_TRUE(testing::startOnTerminal(session, {dir.file("a.zip")}, dir.file("log.txt")));
    ASSERT_TRUE(testing::expectText(session, "[y/N] "));
    testing::typeKeys(session, "YES\n");
    EXPECT_EQ(testing::finishSession(session), 0);
    EXPECT_NE(testing::readText(dir.file("Salvaged.zip")), "old");
}

// Into a folder, the question is asked of each existing file; a yes replaces only that one.
TEST(OverwriteQuestion, AFolderRunAsksBeforeReplacingAFile) {
    TempDir dir;
    testing::writeWholeFile(dir.file("a.zip"), testing::buildArchive({{"a.txt", Bytes{'a'}}}));
    testing::runCommand("mkdir " + testing::shellQuote(dir.file("out")));
    testing::writeWholeFile(dir.file("out/a.txt"), std::string("old"));
    for (const char* answer : {"n\n", "y\n"}) {
        testing::PtySession session;
        ASSERT_TRUE(testing::startOnTerminal(session, {"-d", dir.file("out"), dir.file("a.zip")},
                                             dir.file("log.txt")));
        ASSERT_TRUE(testing::expectText(session, "[y/N] "));
        testing::typeKeys(session, answer);
        EXPECT_EQ(testing::finishSession(session), answer[0] == 'n' ? 1 : 0);
        EXPECT_EQ(testing::readText(dir.file("out/a.txt")), answer[0] == 'n' ? "old" : "a");
    }
}

}  // namespace
}  // namespace zipsalvage
