// The log file against hostile peers and long runs: peer text escaped and
// cut, files private to the user, rotation by size while the program runs.

#include "LogFile.h"
#include "Platform.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#ifndef _WIN32
#include <sys/stat.h>
#endif

namespace corvane {
namespace {

using namespace std::string_literals;
using test::ReadFile;
using test::TempDir;
using test::WriteFile;

// --- LogSafe ----------------------------------------------------------------

struct SafeCase {
    const char* name;
    std::string peerText;
    std::string logged;
};

class LogSafeTest : public testing::TestWithParam<SafeCase> {};

TEST_P(LogSafeTest, EscapesAndCuts) {
    EXPECT_EQ(LogSafe(GetParam().peerText), GetParam().logged);
}

const std::string kA4095(4095, 'a');

INSTANTIATE_TEST_SUITE_P(
    Cases, LogSafeTest,
    testing::Values(
        SafeCase{"PlainTextStays", "J\xC3\xB6rg M\xC3\xBCller +49 30 1234",
                 "J\xC3\xB6rg M\xC3\xBCller +49 30 1234"},
        SafeCase{"ForgedLine", "x\n10 Dec 2026 10:00:00 Message code 1",
                 "x\\n10 Dec 2026 10:00:00 Message code 1"},
        SafeCase{"CarriageReturn", "a\r\nb", "a\\r\\nb"},
        SafeCase{"TerminalEscape", "\x1B[2J\x07", "\\x1B[2J\\x07"},
        SafeCase{"TabNulDelete", "a\tb\0c\x7F"s, "a\\x09b\\x00c\\x7F"},
        // A backslash in the text never reads as an escape.
        SafeCase{"Backslash", "C:\\new", "C:\\\\new"},
        SafeCase{"ExactlyTheLimit", std::string(4096, 'a'), std::string(4096, 'a')},
        SafeCase{"OneOverTheLimit", std::string(4097, 'a'),
                 std::string(4096, 'a') + " ... (4097 bytes)"},
        SafeCase{"HugeValue", std::string(15000000, 'x'),
                 std::string(4096, 'x') + " ... (15000000 bytes)"},
        SafeCase{"EscapesCountTowardsTheLimit", kA4095 + "\n", kA4095 + " ... (4096 bytes)"},
        SafeCase{"CutBeforeATwoByteCharacter", kA4095 + "\xC3\xBC", kA4095 + " ... (4097 bytes)"},
        SafeCase{"CutBeforeAFourByteCharacter", std::string(4094, 'a') + "\xF0\x9F\x98\x80",
                 std::string(4094, 'a') + " ... (4098 bytes)"}),
    [](const auto& info) { return std::string(info.param.name); });

// --- Files ------------------------------------------------------------------

std::string LogName(const TempDir& dir, int n) {
    return dir.File(n == 1 ? "log.txt"s : "log" + std::to_string(n) + ".txt");
}

// Windows has no permission bits; the access list of the per-user folder
// keeps the logs private there.
#ifndef _WIN32

mode_t ModeOf(const std::string& path) {
    struct stat st {};
    EXPECT_EQ(::stat(path.c_str(), &st), 0) << path;
    return st.st_mode & 07777;
}

// Sets the process's umask for one test.
class UmaskGuard {
public:
    explicit UmaskGuard(mode_t mask) : FOld(::umask(mask)) {}
    ~UmaskGuard() { ::umask(FOld); }
    UmaskGuard(const UmaskGuard&) = delete;
    UmaskGuard& operator=(const UmaskGuard&) = delete;

private:
    mode_t FOld;
};

enum class Step { OpenAndAppend, OpenOnly, Rotate };

struct ModeCase {
    const char* name;
    std::vector<int> existing; // log files there before, mode 0644 (1: log.txt)
    Step step;
    std::vector<int> afterwards; // the log files that must then be 0600
};

class LogFileModeTest : public testing::TestWithParam<ModeCase> {};

// The logs hold callers' names and numbers: only their owner reads them,
// whatever the umask, also logs written by an earlier version.
TEST_P(LogFileModeTest, LogFilesArePrivate) {
    const ModeCase& c = GetParam();
    UmaskGuard mask(022);
    TempDir dir;
    for (const int n : c.existing) {
        WriteFile(LogName(dir, n), "earlier run\r\n");
        ASSERT_EQ(::chmod(LogName(dir, n).c_str(), 0644), 0);
    }
    TLogFile log;
    switch (c.step) {
    case Step::OpenAndAppend:
        log.Open(LogName(dir, 1), [] { return "stamp"s; });
        log.Append("first line");
        break;
    case Step::OpenOnly:
        log.Open(LogName(dir, 1), [] { return "stamp"s; });
        break;
    case Step::Rotate:
        TLogFile::RotateLogFiles(LogName(dir, 1), TLogFile::KeptFiles);
        break;
    }
    for (const int n : c.afterwards)
        EXPECT_EQ(ModeOf(LogName(dir, n)), 0600u) << LogName(dir, n);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, LogFileModeTest,
    testing::Values(ModeCase{"NewLog", {}, Step::OpenAndAppend, {1}},
                    ModeCase{"ExistingLogAtOpen", {1}, Step::OpenOnly, {1}},
                    ModeCase{"ExistingLogAppended", {1}, Step::OpenAndAppend, {1}},
                    ModeCase{"RotatedLogs", {1, 2, 9}, Step::Rotate, {2, 3, 10}}),
    [](const auto& info) { return std::string(info.param.name); });

#endif // _WIN32

std::vector<std::string> Lines(const std::string& bytes) {
    std::vector<std::string> lines;
    size_t start = 0;
    for (size_t end = bytes.find("\r\n"); end != std::string::npos;
         end = bytes.find("\r\n", start)) {
        lines.push_back(bytes.substr(start, end - start));
        start = end + 2;
    }
    EXPECT_EQ(start, bytes.size()) << "the log ends inside a line";
    return lines;
}

// A run that logs without end keeps at most ten files of about the size
// limit: log.txt is shifted like at start-up once it reaches the limit.
TEST(LogFileSizeTest, ALogThatReachesTheLimitIsRotatedDuringTheRun) {
    TempDir dir;
    WriteFile(LogName(dir, 2), "previous run\r\n");
    WriteFile(LogName(dir, 9), "ninth\r\n");
    WriteFile(LogName(dir, 10), "tenth\r\n");
    TLogFile log(LogName(dir, 1), [] { return "01/02/24 10:00:00 AM"s; });
    const std::string text(4000, 'v');
    const size_t lineSize = std::string("01/02/24 10:00:00 AM ").size() + text.size() + 2;
    const size_t linesToLimit = (TLogFile::MaxFileSize + lineSize - 1) / lineSize;
    for (size_t i = 0; i + 1 < linesToLimit; ++i)
        log.Append(text);
    EXPECT_FALSE(FileExists(LogName(dir, 3))) << "rotated before the limit";

    log.Append(text); // reaches the limit
    EXPECT_FALSE(FileExists(LogName(dir, 1)));
    const std::string full = ReadFile(LogName(dir, 2));
    EXPECT_GE(full.size(), TLogFile::MaxFileSize);
    EXPECT_LT(full.size(), TLogFile::MaxFileSize + lineSize);
    for (const std::string& line : Lines(full))
        ASSERT_EQ(line, "01/02/24 10:00:00 AM " + text);
    EXPECT_EQ(ReadFile(LogName(dir, 3)), "previous run\r\n");
    EXPECT_EQ(ReadFile(LogName(dir, 10)), "ninth\r\n");
    EXPECT_FALSE(FileExists(LogName(dir, 11)));

    log.Append("next line");
    EXPECT_EQ(ReadFile(LogName(dir, 1)), "01/02/24 10:00:00 AM next line\r\n");
}

} // namespace
} // namespace corvane
