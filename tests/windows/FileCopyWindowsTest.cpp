// FileCopy.exe run for real under Windows' own calls: it waits for the
// program's process, installs the fetched files from the per-user updates
// folder into the program's folder all or nothing, refuses what would reach
// outside those folders, and starts the program again. The program is
// marker.exe (tests/windows/Marker.cpp); the updates folder is the real
// per-user one of the test's Windows account, and each test removes what it
// put there.

#include "Files.h"
#include "Platform.h"
#include "TestSupport.h"
#include "Updater.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace corvane::test {
namespace {

using ::testing::HasSubstr;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

// A path from UTF-8 text (the helpers' form).
fs::path U8(const std::string& path) {
    return fs::path(std::u8string(path.begin(), path.end()));
}

std::string ReadIfAny(const std::string& path) {
    return FileExists(path) ? ReadFile(path) : "";
}

// The marker program, made different from its other copies by bytes after
// its image (Windows ignores them), so its size tells which copy ran.
std::string MarkerProgram(const std::string& tag) {
    return ReadFile(BinDir() + "/marker.exe") + tag;
}

class FileCopyWindowsTest : public ::testing::Test {
public:
    void SetUp() override {
        FUpdates = GetUpdatesFolder();
        // One name per test: the per-user folder is shared with every run.
        FTag = std::to_string(CurrentProcessId()) + "-" +
               ::testing::UnitTest::GetInstance()->current_test_info()->name();
        for (char& c : FTag)
            if (c == '/')
                c = '-';
        ASSERT_TRUE(ForceDirectories(FUpdates));
        ASSERT_TRUE(ForceDirectories(FDir.File("prog")));
        ASSERT_TRUE(ForceDirectories(Elsewhere()));
        WriteFile(Prog("corvane.exe"), MarkerProgram("old"));
        FLogStart = ReadIfAny(FUpdates + "FileCopy.log").size();
    }
    void TearDown() override {
        std::error_code ec;
        for (const auto& entry : fs::directory_iterator(U8(FUpdates), ec))
            if (entry.path().filename().string().starts_with(FTag + "-"))
                fs::remove_all(entry.path(), ec);
        for (const std::string& stray : Strays)
            fs::remove(U8(stray), ec);
    }

    // A fetched file, and where it is installed: the names of this test
    // start with its tag in both folders.
    std::string Updates(const std::string& name) const { return FUpdates + FTag + "-" + name; }
    std::string Prog(const std::string& name) const {
        return FDir.File("prog") + "/" + FTag + "-" + name;
    }
    std::string Elsewhere(const std::string& name = "") const {
        return FDir.File("elsewhere") + "/" + name;
    }
    // What the copy tool logged during this test.
    std::string Log() const { return ReadIfAny(FUpdates + "FileCopy.log").substr(FLogStart); }

    // The id of a process that has ended.
    static int EndedProcess() {
        ChildProcess p(BinDir() + "/marker.exe", {"--exit"});
        EXPECT_TRUE(PumpUntil([&] { return !p.Running(); }, 30s));
        return p.Pid();
    }

    std::unique_ptr<ChildProcess> StartFileCopy(int pid, const std::vector<std::string>& files) {
        return std::make_unique<ChildProcess>(
            BinDir() + "/FileCopy.exe",
            SplitParameterText(BuildCopyToolParameters(pid, Prog("corvane.exe"), files)));
    }

    static int Finish(ChildProcess& tool) {
        EXPECT_TRUE(PumpUntil([&] { return !tool.Running(); }, 60s));
        return tool.ExitCode();
    }

    // What the restarted program noted: its size and its arguments.
    std::string Restarted() const {
        const std::string marker = Prog("corvane.exe.ran");
        EXPECT_TRUE(PumpUntil([&] { return FileExists(marker); }, 30s));
        return ReadIfAny(marker);
    }
    static std::string Noted(const std::string& program, const std::string& args) {
        return std::to_string(program.size()) + " " + args + "\n";
    }

    std::string FUpdates;            // the per-user updates folder
    std::string FTag;                // this test's own part of names there
    std::vector<std::string> Strays; // put outside the folders; removed at the end
    TempDir FDir;                    // the program's folder and one outside
    size_t FLogStart = 0;            // FileCopy.log's size when the test began
};

TEST_F(FileCopyWindowsTest, WaitsForTheProcessThenInstallsAndRestarts) {
    const std::string fresh = MarkerProgram("new program");
    WriteFile(Updates("corvane.exe.temp"), fresh);
    ASSERT_TRUE(ForceDirectories(Updates("lang")));
    WriteFile(Updates("lang/Corvane_US.uln"), "new texts");
    ChildProcess program(BinDir() + "/marker.exe", {"--sleep"});

    auto tool =
        StartFileCopy(program.Pid(), {Updates("corvane.exe"), Updates("lang/Corvane_US.uln"),
                                      Updates("missing.bin")});
    ASSERT_THAT(tool->WaitForLine("Waiting for process", 30s),
                HasSubstr(std::to_string(program.Pid())));
    // Nothing moves while the program runs.
    std::this_thread::sleep_for(1s);
    EXPECT_TRUE(tool->Running());
    EXPECT_EQ(ReadFile(Prog("corvane.exe")), MarkerProgram("old"));
    EXPECT_TRUE(FileExists(Updates("corvane.exe.temp")));

    program.Stop();
    EXPECT_EQ(Finish(*tool), 0) << Log();
    EXPECT_EQ(ReadFile(Prog("corvane.exe")), fresh);
    EXPECT_EQ(ReadFile(Prog("lang/Corvane_US.uln")), "new texts");
    EXPECT_FALSE(FileExists(Updates("corvane.exe.temp")));
    EXPECT_FALSE(FileExists(Updates("lang/Corvane_US.uln")));
    EXPECT_EQ(Restarted(), Noted(fresh, "-u"));

    const std::string log = Log();
    EXPECT_THAT(log, HasSubstr("Process " + std::to_string(program.Pid()) + " has ended"));
    EXPECT_THAT(log, HasSubstr("Installed "));
    EXPECT_THAT(log, HasSubstr("Not found, skipped: "));
    EXPECT_THAT(log, HasSubstr("Restarted "));
    for (const auto& entry : fs::recursive_directory_iterator(U8(FDir.File("prog"))))
        EXPECT_THAT(entry.path().filename().string(), ::testing::Not(HasSubstr("filecopy")));
}

struct RefusalCase {
    const char* Name;
    // Prepares the folders and returns the -f value.
    std::function<std::string(FileCopyWindowsTest&)> Setup;
};

class FileCopyWindowsRefusalTest : public FileCopyWindowsTest,
                                   public ::testing::WithParamInterface<RefusalCase> {};

// One bad file stops the whole installation; the good one stays fetched and
// the old program is started again.
TEST_P(FileCopyWindowsRefusalTest, InstallsNothing) {
    WriteFile(Updates("good.txt"), "good");
    WriteFile(Elsewhere("secret.txt"), "secret");
    const std::string bad = GetParam().Setup(*this);

    auto tool = StartFileCopy(EndedProcess(), {Updates("good.txt"), bad});
    EXPECT_EQ(Finish(*tool), 1) << Log();
    EXPECT_EQ(Restarted(), Noted(MarkerProgram("old"), "-u"));
    EXPECT_FALSE(FileExists(Prog("good.txt")));
    EXPECT_EQ(ReadFile(Updates("good.txt")), "good");
    EXPECT_EQ(ReadFile(Elsewhere("secret.txt")), "secret");
    EXPECT_THAT(Log(), HasSubstr("Refused: "));
}

INSTANTIATE_TEST_SUITE_P(
    Table, FileCopyWindowsRefusalTest,
    ::testing::Values(RefusalCase{"OutsideTheUpdatesFolder",
                                  [](FileCopyWindowsTest& t) { return t.Elsewhere("secret.txt"); }},
                      RefusalCase{"Traversal",
                                  [](FileCopyWindowsTest& t) {
                                      // Beside the updates folder, reached from inside it.
                                      const std::string evil =
                                          t.FUpdates + "../" + t.FTag + "-evil.txt";
                                      WriteFile(evil, "evil");
                                      t.Strays.push_back(evil);
                                      return t.FUpdates + "..\\" + t.FTag + "-evil.txt";
                                  }},
                      RefusalCase{"RelativePath",
                                  [](FileCopyWindowsTest&) { return std::string("good.txt"); }},
                      RefusalCase{"DestinationIsAFolder",
                                  [](FileCopyWindowsTest& t) {
                                      WriteFile(t.Updates("dir.txt"), "data");
                                      ForceDirectories(t.Prog("dir.txt"));
                                      return t.Updates("dir.txt");
                                  }}),
    [](const auto& info) { return std::string(info.param.Name); });

TEST_F(FileCopyWindowsTest, UnusableArgumentsChangeNothing) {
    ChildProcess tool(BinDir() + "/FileCopy.exe", {"-id", "not-a-number"});
    EXPECT_EQ(Finish(tool), 2);
    EXPECT_THAT(Log(), HasSubstr("Unusable arguments"));
    EXPECT_FALSE(FileExists(Prog("corvane.exe.ran")));
    EXPECT_EQ(ReadFile(Prog("corvane.exe")), MarkerProgram("old"));
}

} // namespace
} // namespace corvane::test
