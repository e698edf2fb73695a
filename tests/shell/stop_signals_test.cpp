// Signals that stop a run (Ctrl-C, kill, a closed terminal, a log reader that went away): the
// run is cancelled, its partial output and private temporary folder are removed, an earlier
// output stays as it was, and the exit status is 128 plus the signal's number.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "tests/password/encrypted_archives.h"
#include "tests/password/pty_session.h"
#include "tests/shell/console_run.h"
#include "tests/support/zip_builder.h"

namespace zipsalvage {
namespace {

using testing::Bytes;
using testing::folderNames;
using testing::TempDir;

const std::string kEarlierOutput = "an earlier salvage, kept until a new one completes";

// TMPDIR for the programs started while it lives.
struct ScopedTempFolder {
    std::string previous;
    bool hadPrevious;
    explicit ScopedTempFolder(const std::string& path) {
        const char* current = std::getenv("TMPDIR");
        hadPrevious = current != nullptr;
        if (hadPrevious) previous = current;
        ::setenv("TMPDIR", path.c_str(), 1);
    }
    ~ScopedTempFolder() {
        if (hadPrevious) {
            ::setenv("TMPDIR", previous.c_str(), 1);
        } else {
            ::unsetenv("TMPDIR");
        }
    }
};

class StoppedRun : public ::testing::Test {
  protected:
    void SetUp() override {
        // A plain entry (so the temporary folder is in use), then an encrypted one whose
        // password prompt holds the run still until the signal comes.
        Bytes archive = testing::localRecord({"first.txt", testing::makeText(5000, 1)});
        Bytes locked =
            testing::handMadeEncryptedEntry("locked.txt", testing::makeText(300, 2), "secret");
        archive.insert(archive.end(), locked.begin(), locked.end());
        testing::writeWholeFile(dir.file("blocked.zip"), archive);
        testing::writeWholeFile(dir.file("Salvaged.zip"), kEarlierOutput);
    }

    void expectNothingChanged() {
        EXPECT_EQ(testing::readWholeFile(dir.file("Salvaged.zip")),
                  Bytes(kEarlierOutput.begin(), kEarlierOutput.end()));
        EXPECT_EQ(folderNames(dir.path),
                  (std::vector<std::string>{"Salvaged.zip", "blocked.zip", "log.txt"}))
            << "no partial output is left beside the earlier one";
        EXPECT_TRUE(folderNames(temp.path).empty()) << "the private temporary folder is gone";
    }

    TempDir dir;
    TempDir temp;
};

TEST_F(StoppedRun, InterruptTerminateAndHangupCancelAndKeepTheEarlierOutput) {
    for (int signalNumber : {SIGINT, SIGTERM, SIGHUP}) {
        SCOPED_TRACE(strsignal(signalNumber));
        testing::PtySession session;
        {
            ScopedTempFolder tempFolder(temp.path);
            ASSERT_TRUE(testing::startOnTerminal(session, {"-y", dir.file("blocked.zip")},
                                                 dir.file("log.txt")));
        }
        ASSERT_TRUE(testing::expectText(session, "Enter Decryption Password: "));
        ASSERT_FALSE(folderNames(temp.path).empty()) << "the run's folder exists while it runs";
        ::kill(session.pid, signalNumber);
        EXPECT_EQ(testing::finishSession(session), 128 + signalNumber);
        std::string log = testing::readText(dir.file("log.txt"));
        EXPECT_TRUE(testing::contains(log, "Salvage cancelled")) << log;
        expectNothingChanged();
    }
}

// Before the run starts: the question about replacing the earlier output is interrupted, and
// the program ends as a cancelled run does, with nothing made.
TEST_F(StoppedRun, ASignalAtTheQuestionBeforeTheRunEndsTheProgramWithNothingMade) {
    testing::PtySession session;
    {
        ScopedTempFolder tempFolder(temp.path);
        ASSERT_TRUE(
            testing::startOnTerminal(session, {dir.file("blocked.zip")}, dir.file("log.txt")));
    }
    ASSERT_TRUE(testing::expectText(session, "[y/N] "));
    ::kill(session.pid, SIGTERM);
    EXPECT_EQ(testing::finishSession(session), 128 + SIGTERM);
    expectNothingChanged();
}

// `zipsalvage x.zip | head`: the log's reader goes away; the run stops as if interrupted.
TEST_F(StoppedRun, ALogReaderThatWentAwayStopsTheRunWithSigpipe) {
    int pipeEnds[2];
    ASSERT_EQ(::pipe(pipeEnds), 0);
    ::close(pipeEnds[0]);
    pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ::setenv("TMPDIR", temp.path.c_str(), 1);
        int log = ::open(dir.file("log.txt").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        int nothing = ::open("/dev/null", O_RDONLY);
        ::dup2(nothing, STDIN_FILENO);
        ::dup2(pipeEnds[1], STDOUT_FILENO);
        ::dup2(log, STDERR_FILENO);
        ::signal(SIGPIPE, SIG_DFL);
        const char* program = ZIPSALVAGE_BINARY;
        std::string archive = dir.file("blocked.zip");
        ::execl(program, program, "-y", "-p", "secret", archive.c_str(),
                static_cast<char*>(nullptr));
        ::_exit(127);
    }
    ::close(pipeEnds[1]);
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 128 + SIGPIPE);
    expectNothingChanged();
}

// The program with -y on `archive`, stdin from /dev/null, both outputs into `logPath`.
pid_t startWithoutTerminal(const std::string& tempFolder, const std::string& archive,
                           const std::string& logPath) {
    pid_t child = ::fork();
    if (child != 0) return child;
    ::setenv("TMPDIR", tempFolder.c_str(), 1);
    int log = ::open(logPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    int nothing = ::open("/dev/null", O_RDONLY);
    ::dup2(nothing, STDIN_FILENO);
    ::dup2(log, STDOUT_FILENO);
    ::dup2(log, STDERR_FILENO);
    const char* program = ZIPSALVAGE_BINARY;
    ::execl(program, program, "-y", archive.c_str(), static_cast<char*>(nullptr));
    ::_exit(127);
}

// A stop signal at any moment of the program's life either cancels the run (128 + N, the
// earlier output kept), or comes after the run completed and undoes nothing (0), or comes before
// the handlers are in place and ends the program by the signal, nothing made yet. Never a crash:
// the handler must not reach a run that is not there yet, or not any more.
TEST(StopSignalAtAnyMoment, EndsTheProgramInOneOfItsOrdinaryWays) {
    TempDir dir;
    TempDir temp;
    std::vector<testing::TestEntry> entries;
    for (uint32_t index = 0; index < 200; ++index) {
        entries.push_back(
            {"file" + std::to_string(index) + ".txt", testing::makeText(3000, index)});
    }
    testing::writeWholeFile(dir.file("many.zip"), testing::buildArchive(entries));
    const std::string archive = dir.file("many.zip");
    const std::string log = dir.file("log.txt");
    const Bytes earlier(kEarlierOutput.begin(), kEarlierOutput.end());

    // One undisturbed run sets the time scale, so the signals fall from before the start to
    // after the end on any machine and build.
    auto started = std::chrono::steady_clock::now();
    pid_t child = startWithoutTerminal(temp.path, archive, log);
    ASSERT_GT(child, 0);
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << testing::readText(log);
    auto wholeRun = std::chrono::duration_cast<std::chrono::microseconds>(
                        std::chrono::steady_clock::now() - started)
                        .count();

    constexpr int kRuns = 24;
    int outcomes[3] = {};  // before the handlers, cancelled, completed
    for (int run = 0; run < kRuns; ++run) {
        SCOPED_TRACE("signal after " + std::to_string(run) + "/" + std::to_string(kRuns - 4) +
                     " of a whole run");
        testing::writeWholeFile(dir.file("Salvaged.zip"), kEarlierOutput);
        child = startWithoutTerminal(temp.path, archive, log);
        ASSERT_GT(child, 0);
        ::usleep(static_cast<useconds_t>(wholeRun * run / (kRuns - 4)));
        ::kill(child, SIGTERM);
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        if (WIFSIGNALED(status)) {
            EXPECT_EQ(WTERMSIG(status), SIGTERM) << "ended by " << strsignal(WTERMSIG(status));
            EXPECT_EQ(testing::readWholeFile(dir.file("Salvaged.zip")), earlier);
            ++outcomes[0];
        } else if (WEXITSTATUS(status) == 128 + SIGTERM) {
            EXPECT_EQ(testing::readWholeFile(dir.file("Salvaged.zip")), earlier);
            ++outcomes[1];
        } else {
            EXPECT_EQ(WEXITSTATUS(status), 0) << testing::readText(log);
            EXPECT_NE(testing::readWholeFile(dir.file("Salvaged.zip")), earlier);
            ++outcomes[2];
        }
        EXPECT_EQ(folderNames(dir.path),
                  (std::vector<std::string>{"Salvaged.zip", "log.txt", "many.zip"}))
            << "no partial output is left";
        EXPECT_TRUE(folderNames(temp.path).empty()) << "the private temporary folder is gone";
    }
    std::printf("signals before the handlers %d, cancelled runs %d, completed runs %d\n",
                outcomes[0], outcomes[1], outcomes[2]);
}

// Started with standard input and output closed, the program must not hand their numbers to
// its files: the log would otherwise be written into the output archive.
TEST(ClosedStandardDescriptors, TheLogNeverLandsInTheOutput) {
    if (!testing::haveCommand("unzip")) GTEST_SKIP() << "unzip is needed";
    TempDir dir;
    testing::writeWholeFile(dir.file("a.zip"),
                            testing::buildArchive({{"a.txt", testing::makeText(3000, 3)}}));
    int status =
        testing::runCommand("cd " + testing::shellQuote(dir.path) + " && " +
                                testing::shellQuote(ZIPSALVAGE_BINARY) + " a.zip <&- >&- 2>&-",
                            nullptr, false);
    EXPECT_EQ(status, 0);
    std::string test;
    EXPECT_EQ(
        testing::runCommand("unzip -tq " + testing::shellQuote(dir.file("Salvaged.zip")), &test), 0)
        << test;
}

}  // namespace
}  // namespace zipsalvage
