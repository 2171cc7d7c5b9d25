// The copy tool run for real: it waits for the program's process, installs
// the fetched files from the updates folder into the program's folder,
// refuses anything that would reach outside those folders, and starts the
// program again. Also the whole road from the updater's download to the
// restarted program.

#include "Platform.h"
#include "TestSupport.h"
#include "UpdateTestServer.h"
#include "Updater.h"
#include "UpdaterTestUtil.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <map>

namespace corvane::test {
namespace {

using ::testing::HasSubstr;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

std::string ReadIfAny(const std::string& path) {
    return FileExists(path) ? ReadFile(path) : "";
}

// A program that notes "<tag> <arguments>" in "<program>.ran" when started.
std::string MarkerProgram(const std::string& tag) {
    return "#!/bin/sh\nprintf '%s %s\\n' " + tag +
           " \"$*\" > \"$0.ran.part\" && mv \"$0.ran.part\" \"$0.ran\"\n";
}

// True when the process sleeps in a wait for another process (a poll on its
// pidfd, or the sleep between checks where there is none).
bool SleepsWaiting(pid_t pid) {
    const std::string wchan = ReadIfAny("/proc/" + std::to_string(pid) + "/wchan");
    return wchan.find("poll") != std::string::npos || wchan.find("nanosleep") != std::string::npos;
}

mode_t Mode(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0;
}

// Every file below `folder` with its content (links as "-> target"), but
// for the note of the restarted program.
std::map<std::string, std::string> Snapshot(const std::string& folder) {
    std::map<std::string, std::string> files;
    for (const auto& entry : fs::recursive_directory_iterator(folder)) {
        const std::string rel = entry.path().lexically_relative(folder).string();
        if (rel.starts_with("corvane.ran"))
            continue;
        if (entry.is_symlink())
            files[rel] = "-> " + fs::read_symlink(entry.path()).string();
        else if (entry.is_regular_file())
            files[rel] = ReadFile(entry.path().string());
        else
            files[rel] = "<dir>";
    }
    return files;
}

// The folders of one test: the per-user folder with the updates folder, the
// program's folder, and a folder that no file may reach.
struct Folders {
    std::string Root;
    std::string Updates(const std::string& name = "") const {
        return Root + "/Brindlex/Updates/" + name;
    }
    std::string Prog(const std::string& name = "") const { return Root + "/prog/" + name; }
    std::string Elsewhere(const std::string& name = "") const {
        return Root + "/elsewhere/" + name;
    }
    std::string At(const std::string& name) const { return Root + "/" + name; }
};

class FileCopyTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(ForceDirectories(Updates()));
        ASSERT_TRUE(ForceDirectories(Prog()));
        ASSERT_TRUE(ForceDirectories(Elsewhere()));
        WriteFile(Prog("corvane"), MarkerProgram("old"));
        ::chmod(Prog("corvane").c_str(), 0755);
    }

    std::string Updates(const std::string& name = "") const { return F.Updates(name); }
    std::string Prog(const std::string& name = "") const { return F.Prog(name); }
    std::string Elsewhere(const std::string& name = "") const { return F.Elsewhere(name); }

    // The id of a process that has ended and been reaped.
    static int EndedProcess() {
        ChildProcess p("/bin/true", {});
        EXPECT_TRUE(PumpUntil([&] { return !p.Running(); }));
        return p.Pid();
    }

    std::unique_ptr<ChildProcess> StartFileCopy(int pid, const std::vector<std::string>& files) {
        return std::make_unique<ChildProcess>(
            BinDir() + "/FileCopy",
            SplitParameterText(BuildCopyToolParameters(pid, Prog("corvane"), files)));
    }

    static int Finish(ChildProcess& tool) {
        EXPECT_TRUE(PumpUntil([&] { return !tool.Running(); }, 60s));
        return tool.ExitCode();
    }

    // What the restarted program noted.
    std::string Restarted() const {
        const std::string marker = Prog("corvane.ran");
        EXPECT_TRUE(PumpUntil([&] { return FileExists(marker); }, 30s));
        return ReadFile(marker);
    }

    ScopedAppData FAppData;
    const Folders F{FAppData.Dir().Path()};
};

TEST_F(FileCopyTest, WaitsForTheProcessThenInstallsAndRestarts) {
    WriteFile(Updates("corvane.temp"), MarkerProgram("new"));
    ASSERT_TRUE(ForceDirectories(Updates("lang")));
    WriteFile(Updates("lang/Corvane_US.uln"), "new texts");
    WriteFile(Updates("notes.temp"), "notes");
    ChildProcess program("/bin/sleep", {"600"});

    auto tool = StartFileCopy(program.Pid(), {Updates("corvane"), Updates("lang/Corvane_US.uln"),
                                              Updates("notes.temp"), Updates("missing.bin")});
    ASSERT_THAT(tool->WaitForLine("Waiting for process", 30s),
                HasSubstr(std::to_string(program.Pid())));
    // Nothing moves while the program runs: the tool sits in its wait (one
    // that did not wait would end instead).
    ASSERT_TRUE(PumpUntil([&] { return !tool->Running() || SleepsWaiting(tool->Pid()); }, 30s));
    EXPECT_TRUE(tool->Running());
    EXPECT_EQ(ReadFile(Prog("corvane")), MarkerProgram("old"));
    EXPECT_TRUE(FileExists(Updates("corvane.temp")));

    program.Stop();
    EXPECT_EQ(Finish(*tool), 0);
    EXPECT_EQ(ReadFile(Prog("corvane")), MarkerProgram("new"));
    EXPECT_EQ(Mode(Prog("corvane")), 0755u) << "the program must stay executable";
    EXPECT_EQ(ReadFile(Prog("lang/Corvane_US.uln")), "new texts");
    EXPECT_EQ(ReadFile(Prog("notes")), "notes");
    EXPECT_FALSE(FileExists(Updates("corvane.temp")));
    EXPECT_FALSE(FileExists(Updates("lang/Corvane_US.uln")));
    EXPECT_FALSE(FileExists(Updates("notes.temp")));
    EXPECT_EQ(Restarted(), "new -u\n");

    const std::string log = ReadFile(Updates("FileCopy.log"));
    EXPECT_THAT(log, HasSubstr("Installed " + Updates("corvane.temp") + " as " + Prog("corvane")));
    EXPECT_THAT(log, HasSubstr("Not found, skipped: " + Updates("missing.bin")));
    EXPECT_THAT(log, HasSubstr("Restarted " + Prog("corvane") + " -u"));
    for (const auto& [name, content] : Snapshot(Prog()))
        EXPECT_THAT(name, ::testing::Not(HasSubstr("filecopy-new")));
}

struct RefusalCase {
    const char* Name;
    // Prepares the folders and returns the -f value.
    std::function<std::string(const Folders&)> Setup;
};

class FileCopyRefusalTest : public FileCopyTest,
                            public ::testing::WithParamInterface<RefusalCase> {};

// One bad file stops the whole installation; the files outside stay as they
// were, and the old program is started again.
TEST_P(FileCopyRefusalTest, InstallsNothing) {
    WriteFile(Updates("good.txt"), "good");
    WriteFile(Elsewhere("secret.txt"), "secret");
    const std::string bad = GetParam().Setup(F);
    const auto elsewhere = Snapshot(Elsewhere());
    const auto program = Snapshot(Prog());

    auto tool = StartFileCopy(EndedProcess(), {Updates("good.txt"), bad});
    EXPECT_EQ(Finish(*tool), 1);
    EXPECT_EQ(Restarted(), "old -u\n");
    EXPECT_EQ(Snapshot(Elsewhere()), elsewhere);
    EXPECT_EQ(Snapshot(Prog()), program);
    EXPECT_EQ(ReadFile(Updates("good.txt")), "good");
    EXPECT_THAT(ReadFile(Updates("FileCopy.log")), HasSubstr("Refused: " + bad));
}

INSTANTIATE_TEST_SUITE_P(
    Table, FileCopyRefusalTest,
    ::testing::Values(
        RefusalCase{"OutsideTheUpdatesFolder",
                    [](const Folders& t) { return t.Elsewhere("secret.txt"); }},
        RefusalCase{"Traversal",
                    [](const Folders& t) {
                        WriteFile(t.At("Brindlex/evil.txt"), "evil");
                        return t.Updates("../evil.txt");
                    }},
        RefusalCase{"RelativePath", [](const Folders&) { return std::string("good.txt"); }},
        RefusalCase{"SourceIsALink",
                    [](const Folders& t) {
                        fs::create_symlink(t.Elsewhere("secret.txt"), t.Updates("link.txt"));
                        return t.Updates("link.txt");
                    }},
        RefusalCase{"UpdatesSubfolderIsALink",
                    [](const Folders& t) {
                        fs::create_directory_symlink(t.Elsewhere(""), t.Updates("sub"));
                        return t.Updates("sub/secret.txt");
                    }},
        RefusalCase{"ProgramSubfolderIsALink",
                    [](const Folders& t) {
                        ForceDirectories(t.Updates("sub"));
                        WriteFile(t.Updates("sub/x.txt"), "x");
                        fs::create_directory_symlink(t.Elsewhere(""), t.Prog("sub"));
                        return t.Updates("sub/x.txt");
                    }},
        RefusalCase{"DestinationIsALink",
                    [](const Folders& t) {
                        WriteFile(t.Updates("data.txt"), "data");
                        fs::create_symlink(t.Elsewhere("secret.txt"), t.Prog("data.txt"));
                        return t.Updates("data.txt");
                    }},
        RefusalCase{"DestinationIsAFolder",
                    [](const Folders& t) {
                        WriteFile(t.Updates("dir.txt"), "data");
                        ForceDirectories(t.Prog("dir.txt"));
                        return t.Updates("dir.txt");
                    }}),
    [](const auto& info) { return std::string(info.param.Name); });

struct InstallCase {
    const char* Name;
    // The updates folder could not be made, so it is the program's folder
    // (the copy tool beside the program finds it there).
    bool UpdatesIsProgramFolder;
    // Prepares the updates and program folders; returns the -f values.
    std::function<std::vector<std::string>(const std::string& updates, const std::string& prog)>
        Setup;
    int Exit;
    std::map<std::string, std::string> Program; // the program's folder afterwards
    std::vector<std::string> Kept;              // fetched files still in the updates folder
    const char* Restarted;
};

class FileCopyInstallTest : public FileCopyTest,
                            public ::testing::WithParamInterface<InstallCase> {};

TEST_P(FileCopyInstallTest, AllOrNothing) {
    const InstallCase& c = GetParam();
    std::string tool = BinDir() + "/FileCopy";
    std::string updates = Updates();
    if (c.UpdatesIsProgramFolder) {
        fs::copy_file(tool, Prog("FileCopy"));
        tool = Prog("FileCopy");
        updates = Prog();
        // A folder below a regular file can never be made.
        WriteFile(FAppData.Dir().File("plain-file"), "x");
        ::setenv("XDG_CONFIG_HOME", FAppData.Dir().File("plain-file").c_str(), 1);
    }
    const std::vector<std::string> files = c.Setup(updates, Prog());
    ChildProcess copy(
        tool, SplitParameterText(BuildCopyToolParameters(EndedProcess(), Prog("corvane"), files)));
    EXPECT_EQ(Finish(copy), c.Exit);
    EXPECT_EQ(Restarted(), c.Restarted);

    auto program = Snapshot(Prog());
    program.erase("FileCopy");
    program.erase("FileCopy.log");
    EXPECT_EQ(program, c.Program);
    for (const std::string& name : c.Kept)
        EXPECT_TRUE(FileExists(updates + name)) << name;
}

INSTANTIATE_TEST_SUITE_P(
    Table, FileCopyInstallTest,
    ::testing::Values(
        InstallCase{"EveryFileReplaced",
                    false,
                    [](const std::string& u, const std::string& p) {
                        WriteFile(u + "a.txt", "new a");
                        WriteFile(u + "b.txt", "new b");
                        WriteFile(p + "a.txt", "old a");
                        return std::vector<std::string>{u + "a.txt", u + "b.txt"};
                    },
                    0,
                    {{"corvane", MarkerProgram("old")}, {"a.txt", "new a"}, {"b.txt", "new b"}},
                    {},
                    "old -u\n"},
        // The second destination turns out to be a folder (made for the
        // third file) when its turn comes: the first file goes back, the
        // third never comes, the fetched files stay for another try.
        InstallCase{"FailedRenameRollsBack",
                    false,
                    [](const std::string& u, const std::string& p) {
                        WriteFile(u + "a.txt", "new a");
                        WriteFile(u + "sub.temp", "new sub");
                        ForceDirectories(u + "sub");
                        WriteFile(u + "sub/x", "new x");
                        WriteFile(p + "a.txt", "old a");
                        return std::vector<std::string>{u + "a.txt", u + "sub", u + "sub/x"};
                    },
                    1,
                    {{"corvane", MarkerProgram("old")}, {"a.txt", "old a"}, {"sub", "<dir>"}},
                    {"a.txt", "sub.temp", "sub/x"},
                    "old -u\n"},
        // A file fetched straight to its target is already installed: it
        // must not be copied onto itself and then removed as a source.
        InstallCase{"FetchedIntoTheProgramFolder",
                    true,
                    [](const std::string&, const std::string& p) {
                        WriteFile(p + "data.txt", "fetched");
                        WriteFile(p + "corvane.temp", MarkerProgram("new"));
                        return std::vector<std::string>{p + "data.txt", p + "corvane"};
                    },
                    0,
                    {{"corvane", MarkerProgram("new")}, {"data.txt", "fetched"}},
                    {},
                    "new -u\n"},
        InstallCase{"OnlyFilesFetchedIntoTheProgramFolder",
                    true,
                    [](const std::string&, const std::string& p) {
                        WriteFile(p + "data.txt", "fetched");
                        return std::vector<std::string>{p + "data.txt"};
                    },
                    0,
                    {{"corvane", MarkerProgram("old")}, {"data.txt", "fetched"}},
                    {},
                    "old -u\n"}),
    [](const auto& info) { return std::string(info.param.Name); });

TEST_F(FileCopyTest, UnusableArgumentsChangeNothing) {
    WriteFile(Updates("good.txt"), "good");
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{},
          std::vector<std::string>{"-id", "1", "-p", Prog("nothing-here") + " -u", "-f",
                                   Updates("good.txt")},
          std::vector<std::string>{"-id", "1", "-p", "corvane -u", "-f", Updates("good.txt")}}) {
        ChildProcess tool(BinDir() + "/FileCopy", args);
        EXPECT_EQ(Finish(tool), 2);
    }
    EXPECT_EQ(ReadFile(Updates("good.txt")), "good");
    EXPECT_FALSE(FileExists(Prog("good.txt")));
    EXPECT_THAT(ReadFile(Updates("FileCopy.log")), HasSubstr("Unusable arguments"));
}

// From the manifest to the restarted program: the updater downloads the new
// program, starts the real copy tool, which waits for "our" process to end.
TEST_F(FileCopyTest, UpdaterToCopyToolToRestart) {
    UpdateTestServer server;
    server.Put("/corvane", MarkerProgram("new"));
    server.Put("/softwupd/corvane.ini",
               BuildManifest({{server.Url("/corvane"), "%MAIN_DIR%\\corvane",
                               static_cast<int>(MarkerProgram("new").size()), true, true}}));
    ChildProcess program("/bin/sleep", {"600"});

    TUpdater updater;
    updater.URL = server.Url("/softwupd/corvane.ini");
    updater.SetCurrentVersion("1.0");
    updater.UpdateKeyPem.clear(); // unsigned, whatever key the build carries
    updater.CopyTool = BinDir() + "/FileCopy";
    updater.ProgramFile = Prog("corvane");
    updater.ProcessId = program.Pid();
    ASSERT_TRUE(updater.CheckUpdate());
    ASSERT_TRUE(updater.DoUpdate());
    EXPECT_TRUE(updater.NeedRestart());
    EXPECT_TRUE(updater.RunCopyTool());

    ASSERT_TRUE(PumpUntil(
        [&] {
            return ReadIfAny(Updates("FileCopy.log")).find("Waiting for process") !=
                   std::string::npos;
        },
        30s));
    EXPECT_EQ(ReadFile(Prog("corvane")), MarkerProgram("old"));
    program.Stop();
    EXPECT_EQ(Restarted(), "new -u\n");
    EXPECT_EQ(Mode(Prog("corvane")), 0755u);
    EXPECT_FALSE(FileExists(Updates("corvane.temp")));
}

// A ".temp" that an earlier, failed update left in the updates folder is
// not installed in place of the file this update fetched straight to its
// target.
TEST_F(FileCopyTest, StaleTempOfAnEarlierUpdateIsNotInstalled) {
    UpdateTestServer server;
    server.Put("/corvane", MarkerProgram("new"));
    server.Put("/data.txt", "fresh");
    server.Put("/softwupd/corvane.ini",
               BuildManifest({{server.Url("/data.txt"), "%MAIN_DIR%\\data.txt", 5, false, false},
                              {server.Url("/corvane"), "%MAIN_DIR%\\corvane",
                               static_cast<int>(MarkerProgram("new").size()), true, true}}));
    WriteFile(Updates("data.txt.temp"), "stale");

    TUpdater updater;
    updater.URL = server.Url("/softwupd/corvane.ini");
    updater.SetCurrentVersion("1.0");
    updater.UpdateKeyPem.clear(); // unsigned, whatever key the build carries
    updater.CopyTool = BinDir() + "/FileCopy";
    updater.ProgramFile = Prog("corvane");
    updater.ProcessId = EndedProcess();
    ASSERT_TRUE(updater.CheckUpdate());
    ASSERT_TRUE(updater.DoUpdate());
    EXPECT_EQ(Restarted(), "new -u\n");
    EXPECT_EQ(ReadFile(Prog("data.txt")), "fresh");
}

} // namespace
} // namespace corvane::test
