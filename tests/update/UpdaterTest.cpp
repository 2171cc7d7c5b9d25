// The updater end to end: manifests from file:// paths and from a server on
// 127.0.0.1, the choice of the version section, downloads piece by piece,
// cancelling, failures that must leave nothing behind, the start of the
// copy tool, and signed manifests with file digests.

#include "Updater.h"
#include "MainThread.h"
#include "NetTestServers.h"
#include "Platform.h"
#include "SigningTestUtil.h"
#include "TestSupport.h"
#include "UpdateTestServer.h"
#include "UpdateVerify.h"
#include "UpdaterTestUtil.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <map>
#include <memory>

namespace corvane::test {
namespace {

using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::Not;

long FileSize(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? static_cast<long>(st.st_size) : -1;
}

class UpdaterTest : public ::testing::Test {
protected:
    void SetUp() override {
        FUpdater = std::make_unique<TUpdater>();
        FUpdater->OnLog = [this](const std::string& line) { FLog.push_back(line); };
        FUpdater->SetCurrentVersion("1.0");
        FUpdater->CopyTool = FAppData.Dir().File("recorder");
        WriteArgsRecorder(FUpdater->CopyTool);
        FUpdater->ProgramFile = FAppData.Dir().File("prog dir/corvane");
        FUpdater->ProcessId = 1234;
        // Unsigned manifests, whatever key the build carries; the tests of
        // signed ones set their own.
        FUpdater->UpdateKeyPem.clear();
    }

    std::string U(const std::string& name) const { return FAppData.Updates() + name; }

    // Checks a manifest served by the test server and returns the result.
    bool Check(const std::vector<ManifestFile>& files) {
        FServer.Put("/softwupd/corvane.ini", BuildManifest(files));
        FUpdater->URL = FServer.Url("/softwupd/corvane.ini");
        return FUpdater->CheckUpdate();
    }

    bool Logged(const std::string& text) const {
        for (const auto& line : FLog)
            if (line.find(text) != std::string::npos)
                return true;
        return false;
    }

    ScopedAppData FAppData;
    UpdateTestServer FServer;
    std::unique_ptr<TUpdater> FUpdater;
    std::vector<std::string> FLog;
};

TEST_F(UpdaterTest, DefaultsComeFromThePerUserFolder) {
    TUpdater fresh;
    EXPECT_EQ(fresh.UpdatesFolder, FAppData.Updates());
    EXPECT_TRUE(DirectoryExists(FAppData.Updates()));
    EXPECT_EQ(fresh.UpdateFile, FAppData.Updates() + "update.ini");
    EXPECT_EQ(fresh.CopyTool, ProgramFolder() + "FileCopy");
    EXPECT_EQ(fresh.GetCurrentVersion(), ProgramVersion());
    EXPECT_EQ(UpdateManifestUrl(), "http://" CORVANE_UPDATE_HOST "/softwupd/corvane.ini");
}

TEST(UpdatesFolderTest, FallsBackToTheProgramFolder) {
    TempDir dir;
    WriteFile(dir.File("plain-file"), "x");
    const char* old = std::getenv("XDG_CONFIG_HOME");
    const std::string saved = old ? old : "";
    // A folder below a regular file can never be created.
    ::setenv("XDG_CONFIG_HOME", dir.File("plain-file").c_str(), 1);
    EXPECT_EQ(GetUpdatesFolder(), ProgramFolder());
    ::setenv("XDG_CONFIG_HOME", dir.Path().c_str(), 1);
    EXPECT_EQ(GetUpdatesFolder(), dir.Path() + "/Brindlex/Updates/");
    if (old)
        ::setenv("XDG_CONFIG_HOME", saved.c_str(), 1);
    else
        ::unsetenv("XDG_CONFIG_HOME");
}

// --- Choosing from file:// manifests ----------------------------------------

constexpr const char* kExample = "[General]\r\n"
                                 "LatestVersion=5.1.0.7\r\n"
                                 "VersionCount=2\r\n"
                                 "VersionSection0=From50\r\n"
                                 "VersionSection1=Older\r\n"
                                 "[From50]\r\n"
                                 "Mask=5.0.*.*\r\n"
                                 "FileCount=1\r\n"
                                 "FileSection0=Program\r\n"
                                 "DescriptionCount=3\r\n"
                                 "Description0=Faster reconnect after network loss\r\n"
                                 "Description2=Third line\r\n"
                                 "[Program]\r\n"
                                 "Source=http://x.invalid/corvane\r\n"
                                 "Target=%MAIN_DIR%\\corvane\r\n"
                                 "Size=1048576\r\n"
                                 "UseTemp=1\r\n"
                                 "NeedRestart=1\r\n"
                                 "[Older]\r\n"
                                 "Mask=*\r\n"
                                 "FileCount=1\r\n"
                                 "FileSection0=Full\r\n"
                                 "[Full]\r\n"
                                 "Source=http://x.invalid/full\r\n"
                                 "Target=%MAIN_DIR%\\full.bin\r\n";

constexpr const char* kSkipsAndHex = "[General]\r\n"
                                     "LatestVersion=3\r\n"
                                     "VersionCount=0x1\r\n"
                                     "VersionSection0=All\r\n"
                                     "[All]\r\n"
                                     "FileCount=$3\r\n"
                                     "FileSection0=A\r\n"
                                     "FileSection1=\r\n"
                                     "FileSection2=B\r\n"
                                     "[A]\r\nTarget=a\r\n"
                                     "[B]\r\nTarget=b\r\nNeedRestart=1\r\n";

struct ChoiceCase {
    const char* Name;
    const char* Manifest;
    const char* Installed;
    bool Ignore;
    bool Result;
    const char* Latest;
    std::vector<std::string> Targets;
    std::vector<std::string> Descriptions;
    bool NeedRestart;
};

class UpdaterChoiceTest : public UpdaterTest, public ::testing::WithParamInterface<ChoiceCase> {};

TEST_P(UpdaterChoiceTest, ChoosesTheVersionSection) {
    const ChoiceCase& c = GetParam();
    WriteFile(FAppData.Dir().File("manifest.ini"), c.Manifest);
    FUpdater->URL = "file://" + FAppData.Dir().File("manifest.ini");
    FUpdater->SetCurrentVersion(c.Installed);
    FUpdater->IgnoreCurrentVersion = c.Ignore;

    EXPECT_EQ(FUpdater->CheckUpdate(), c.Result);
    EXPECT_EQ(ReadFile(FUpdater->UpdateFile), c.Manifest);
    EXPECT_EQ(FUpdater->LatestVersion(), c.Latest);
    std::vector<std::string> targets;
    for (int i = 0; i < FUpdater->GetUpdateCount(); ++i)
        targets.push_back(FUpdater->GetUpdateFilename(i));
    EXPECT_THAT(targets, ElementsAreArray(c.Targets));
    std::vector<std::string> lines;
    for (int i = 0; i < FUpdater->GetDescriptionCount(); ++i)
        lines.push_back(FUpdater->GetDescription(i));
    EXPECT_THAT(lines, ElementsAreArray(c.Descriptions));
    EXPECT_EQ(FUpdater->GetDescription(-1), "");
    EXPECT_EQ(FUpdater->GetDescription(FUpdater->GetDescriptionCount()), "");
    EXPECT_EQ(FUpdater->GetUpdateFilename(FUpdater->GetUpdateCount()), "");
    EXPECT_EQ(FUpdater->NeedRestart(), c.NeedRestart);
}

const std::vector<std::string> kNone;
const std::vector<std::string> kNotes{"Faster reconnect after network loss", "", "Third line"};

INSTANTIATE_TEST_SUITE_P(
    Table, UpdaterChoiceTest,
    ::testing::Values(
        // the first matching section wins although "Older" (*) matches too
        ChoiceCase{"From50",
                   kExample,
                   "5.0.3.1",
                   false,
                   true,
                   "5.1.0.7",
                   {"%MAIN_DIR%\\corvane"},
                   kNotes,
                   true},
        ChoiceCase{"Older",
                   kExample,
                   "4.2.0.0",
                   false,
                   true,
                   "5.1.0.7",
                   {"%MAIN_DIR%\\full.bin"},
                   kNone,
                   false},
        ChoiceCase{"UpToDate", kExample, "5.1.0.7", false, false, "5.1.0.7", kNone, kNone, false},
        ChoiceCase{"Newer", kExample, "6.0", false, false, "5.1.0.7", kNone, kNone, false},
        ChoiceCase{"IgnoreVersion",
                   kExample,
                   "5.1.0.7",
                   true,
                   true,
                   "5.1.0.7",
                   {"%MAIN_DIR%\\full.bin"},
                   kNone,
                   false},
        // an empty installed version is older than anything and matches only "*"
        ChoiceCase{"EmptyInstalled",
                   kExample,
                   "",
                   false,
                   true,
                   "5.1.0.7",
                   {"%MAIN_DIR%\\full.bin"},
                   kNone,
                   false},
        ChoiceCase{"NoLatest",
                   "[General]\r\nVersionCount=1\r\nVersionSection0=S\r\n"
                   "[S]\r\nFileCount=1\r\nFileSection0=F\r\n[F]\r\nTarget=t\r\n",
                   "1.0", false, false, "0", kNone, kNone, false},
        ChoiceCase{"NoLatestIgnored",
                   "[General]\r\nVersionCount=1\r\nVersionSection0=S\r\n"
                   "[S]\r\nFileCount=1\r\nFileSection0=F\r\n[F]\r\nTarget=t\r\n",
                   "1.0",
                   true,
                   true,
                   "0",
                   {"t"},
                   kNone,
                   false},
        ChoiceCase{"EmptyFileSectionSkipped",
                   kSkipsAndHex,
                   "1.0",
                   false,
                   true,
                   "3",
                   {"a", "b"},
                   kNone,
                   true},
        ChoiceCase{"NoMatchingMask",
                   "[General]\r\nLatestVersion=9\r\nVersionCount=1\r\n"
                   "VersionSection0=S\r\n[S]\r\nMask=2.*\r\nFileCount=1\r\n"
                   "FileSection0=F\r\n[F]\r\nTarget=t\r\n",
                   "1.0", false, false, "9", kNone, kNone, false},
        ChoiceCase{"NegativeCount", "[General]\r\nLatestVersion=9\r\nVersionCount=-5\r\n", "1.0",
                   false, false, "9", kNone, kNone, false},
        ChoiceCase{"NotAManifest", "\x89PNG\r\n\x1a\n\x00\x01 garbage = [ ] \xff\xfe", "1.0", false,
                   false, "0", kNone, kNone, false}),
    [](const auto& info) { return std::string(info.param.Name); });

// A manifest that cannot be fetched now is no answer, even when an earlier
// check left one at UpdateFile.
TEST_F(UpdaterTest, UnreadableFileSourceIgnoresAnEarlierManifest) {
    WriteFile(FUpdater->UpdateFile, kExample);
    FUpdater->SetCurrentVersion("5.0.1.1");
    FUpdater->URL = "file://" + FAppData.Dir().File("missing.ini");
    EXPECT_FALSE(FUpdater->CheckUpdate());
    EXPECT_EQ(FUpdater->GetUpdateCount(), 0);
    EXPECT_EQ(FUpdater->LatestVersion(), "");
    EXPECT_TRUE(Logged("missing.ini"));
}

// A second check on the same updater starts from nothing.
TEST_F(UpdaterTest, SecondCheckDoesNotPileUpItems) {
    WriteFile(FAppData.Dir().File("manifest.ini"), kExample);
    FUpdater->URL = "file://" + FAppData.Dir().File("manifest.ini");
    FUpdater->SetCurrentVersion("5.0.1.1");
    ASSERT_TRUE(FUpdater->CheckUpdate());
    ASSERT_TRUE(FUpdater->CheckUpdate());
    EXPECT_EQ(FUpdater->GetUpdateCount(), 1);
    EXPECT_EQ(FUpdater->GetDescriptionCount(), 3);
}

// A manifest as large as is accepted, of many sections, the chosen version
// section last, with later sections and keys of names seen before (which
// must not count), is read whole and by the usual rules.
TEST_F(UpdaterTest, LargestManifestOfManySectionsIsEvaluated) {
    constexpr int kCount = 1000;
    std::string text =
        "[General]\r\nLatestVersion=3.0\r\nVersionCount=" + std::to_string(kCount) + "\r\n";
    for (int i = 0; i < kCount; ++i)
        text += "VersionSection" + std::to_string(i) + "=V" + std::to_string(i) + "\r\n";
    for (int i = 0; i + 1 < kCount; ++i)
        text += "[V" + std::to_string(i) + "]\r\nMask=9.9\r\nFileCount=1\r\nFileSection0=F0\r\n";
    text += "[v" + std::to_string(kCount - 1) +
            "]\r\nMask=*\r\nFileCount=" + std::to_string(kCount) +
            "\r\nDescriptionCount=" + std::to_string(kCount) + "\r\n";
    for (int i = 0; i < kCount; ++i)
        text += "FileSection" + std::to_string(i) + "=F" + std::to_string(i) + "\r\nDescription" +
                std::to_string(i) + "=line " + std::to_string(i) + "\r\n";
    for (int i = 0; i < kCount; ++i)
        text += "[F" + std::to_string(i) + "]\r\nSource=http://127.0.0.1/f" + std::to_string(i) +
                "\r\nTarget=%MAIN_DIR%\\f" + std::to_string(i) +
                "\r\nTarget=%MAIN_DIR%\\not-this\r\nSize=" + std::to_string(i) +
                "\r\nNeedRestart=" + (i == kCount / 2 ? "1" : "0") + "\r\n";
    text += "[GENERAL]\r\nLatestVersion=0.1\r\n[F0]\r\nTarget=%MAIN_DIR%\\not-this\r\n";
    for (int i = 0; text.size() < 256 * 1024; ++i)
        text += "[Pad" + std::to_string(i) + "]\r\nk=v\r\n";
    text.resize(256 * 1024 - 2);
    text += "\r\n";
    ASSERT_EQ(text.size(), 256u * 1024u);
    FServer.Put("/softwupd/corvane.ini", text);
    FUpdater->URL = FServer.Url("/softwupd/corvane.ini");

    ASSERT_TRUE(FUpdater->CheckUpdate());
    EXPECT_EQ(FUpdater->LatestVersion(), "3.0");
    ASSERT_EQ(FUpdater->GetUpdateCount(), kCount);
    for (int i : {0, kCount / 2, kCount - 1})
        EXPECT_EQ(FUpdater->GetUpdateFilename(i), "%MAIN_DIR%\\f" + std::to_string(i));
    ASSERT_EQ(FUpdater->GetDescriptionCount(), kCount);
    EXPECT_EQ(FUpdater->GetDescription(kCount - 1), "line " + std::to_string(kCount - 1));
    EXPECT_TRUE(FUpdater->NeedRestart());
}

// --- Manifests over http --------------------------------------------------

TEST_F(UpdaterTest, ManifestOverHttpIsStoredAndRead) {
    ASSERT_TRUE(Check({{"http://x.invalid/a", "%MAIN_DIR%\\a", 1, false, false}}));
    EXPECT_EQ(ReadFile(FUpdater->UpdateFile),
              BuildManifest({{"http://x.invalid/a", "%MAIN_DIR%\\a", 1, false, false}}));
    EXPECT_EQ(FUpdater->LatestVersion(), "2.0");
    EXPECT_THAT(FServer.Paths(), ElementsAre("/softwupd/corvane.ini"));
}

struct ManifestFailureCase {
    const char* Name;
    int Status;
    size_t Size;
};

class UpdaterManifestFailureTest : public UpdaterTest,
                                   public ::testing::WithParamInterface<ManifestFailureCase> {};

// A failed fetch answers false and leaves no manifest behind, not even the
// one of an earlier check.
TEST_P(UpdaterManifestFailureTest, FailsAndLeavesNoManifest) {
    WriteFile(FUpdater->UpdateFile, BuildManifest({{"http://x.invalid/a", "a"}}));
    std::string body = BuildManifest({{"http://x.invalid/a", "a"}});
    body.resize(std::max(body.size(), GetParam().Size), ';');
    FServer.Put("/m.ini", body, GetParam().Status);
    FUpdater->URL = FServer.Url("/m.ini");
    EXPECT_FALSE(FUpdater->CheckUpdate());
    EXPECT_FALSE(FileExists(FUpdater->UpdateFile));
    EXPECT_EQ(FUpdater->GetUpdateCount(), 0);
}

INSTANTIATE_TEST_SUITE_P(Table, UpdaterManifestFailureTest,
                         ::testing::Values(ManifestFailureCase{"NotFound", 404, 0},
                                           ManifestFailureCase{"ServerError", 500, 0},
                                           ManifestFailureCase{"Unauthorized", 401, 0},
                                           ManifestFailureCase{"ProxyAuth", 407, 0},
                                           ManifestFailureCase{"TooLarge", 200, 300 * 1024}),
                         [](const auto& info) { return std::string(info.param.Name); });

TEST_F(UpdaterTest, NoServerFailsTheCheck) {
    FUpdater->URL = "http://127.0.0.1:" + std::to_string(FreePort()) + "/softwupd/corvane.ini";
    EXPECT_FALSE(FUpdater->CheckUpdate());
    EXPECT_EQ(FUpdater->CheckResult(), tCheckResult::Unreachable);
    EXPECT_TRUE(Logged("Download failed"));
    EXPECT_TRUE(Logged("Update server not reached"));
}

// The manifest goes through the proxy: the request line carries the
// absolute URL of the update server.
TEST_F(UpdaterTest, ManifestThroughProxy) {
    const std::string manifest = BuildManifest({{"http://x.invalid/a", "%MAIN_DIR%\\a"}});
    RawServer proxy([&](RawServer& server, int fd) {
        server.ReadHead(fd);
        RawServer::Send(fd, "HTTP/1.0 200 OK\r\nContent-Length: " +
                                std::to_string(manifest.size()) + "\r\n\r\n" + manifest);
    });
    FUpdater->ProxyServer = "127.0.0.1";
    FUpdater->ProxyPort = std::to_string(proxy.Port());
    FUpdater->URL = "http://update.invalid/softwupd/corvane.ini";
    EXPECT_TRUE(FUpdater->CheckUpdate());
    EXPECT_THAT(proxy.RequestLines(),
                ElementsAre("GET http://update.invalid/softwupd/corvane.ini HTTP/1.0"));
}

// --- Downloads ----------------------------------------------------------------

// Every http item is fetched (the scheme in any letter case), other schemes
// are not, and each target shows up in the copy tool's parameter text.
TEST_F(UpdaterTest, DownloadsAndCopyToolParameterText) {
    FServer.Put("/a", "AAA");
    FServer.Put("/b", "BBBBB");
    const std::string port = std::to_string(FServer.Port());
    ASSERT_TRUE(Check({
        {FServer.Url("/a"), "%MAIN_DIR%\\corvane", 3, true, false},
        {"HTTP://127.0.0.1:" + port + "/b", "%MAIN_DIR%\\lang\\b.uln", 5, false, false},
        {"https://127.0.0.1:" + port + "/c", "%MAIN_DIR%\\c.txt", 7, false, false},
        {"ftp://x.invalid/d", "%MAIN_DIR%\\%MAIN_DIR%\\d", 9, false, false},
    }));
    ASSERT_TRUE(FUpdater->DoUpdate());

    const std::string program = FAppData.Dir().File("prog dir/corvane");
    const std::string expected = "-id 1234 -p \"" + program + " -u\" -f \"" + U("corvane") +
                                 "\" -f \"" + U("lang/b.uln") + "\" -f \"" + U("c.txt") +
                                 "\" -f \"" + U("%MAIN_DIR%/d") + "\"";
    EXPECT_EQ(FUpdater->CopyToolParameters(), expected);
    EXPECT_EQ(ReadFile(U("corvane.temp")), "AAA");
    EXPECT_FALSE(FileExists(U("corvane")));
    EXPECT_EQ(ReadFile(U("lang/b.uln")), "BBBBB");
    EXPECT_FALSE(FileExists(U("c.txt")));
    EXPECT_THAT(FServer.Paths(), ElementsAre("/softwupd/corvane.ini", "/a", "/b"));
    EXPECT_EQ(FUpdater->GetUpdateFilename(0), U("corvane"));
    EXPECT_TRUE(FUpdater->NeedRestart());
    EXPECT_TRUE(FUpdater->RunCopyTool());

    // The copy tool was started with that text, split as a command line.
    const std::string args = FUpdater->CopyTool + ".args";
    ASSERT_TRUE(PumpUntil([&] { return FileExists(args); }));
    EXPECT_EQ(ReadFile(args), "-id\n1234\n-p\n" + program + " -u\n-f\n" + U("corvane") + "\n-f\n" +
                                  U("lang/b.uln") + "\n-f\n" + U("c.txt") + "\n-f\n" +
                                  U("%MAIN_DIR%/d") + "\n");
}

struct RestartCase {
    const char* Name;
    bool UseTemp;
    bool NeedRestart;
    bool CopyTool;
};

class UpdaterRestartTest : public UpdaterTest, public ::testing::WithParamInterface<RestartCase> {};

TEST_P(UpdaterRestartTest, CopyToolOnlyWhenNeeded) {
    const RestartCase& c = GetParam();
    FServer.Put("/x", "new");
    ASSERT_TRUE(Check({{FServer.Url("/x"), "%MAIN_DIR%\\x", 3, false, false},
                       {FServer.Url("/x"), "%MAIN_DIR%\\y", 3, c.UseTemp, c.NeedRestart}}));
    ASSERT_TRUE(FUpdater->DoUpdate());
    EXPECT_EQ(FUpdater->NeedRestart(), c.CopyTool);
    EXPECT_EQ(FUpdater->RunCopyTool(), c.CopyTool);
    EXPECT_EQ(ReadFile(U("x")), "new");
    EXPECT_EQ(ReadFile(U(c.UseTemp ? "y.temp" : "y")), "new");
    EXPECT_EQ(Logged("Copy tool started"), c.CopyTool);
    if (c.CopyTool) {
        EXPECT_TRUE(PumpUntil([&] { return FileExists(FUpdater->CopyTool + ".args"); }));
    }
}

INSTANTIATE_TEST_SUITE_P(Table, UpdaterRestartTest,
                         ::testing::Values(RestartCase{"Plain", false, false, false},
                                           RestartCase{"UseTemp", true, false, true},
                                           RestartCase{"NeedRestart", false, true, true}),
                         [](const auto& info) { return std::string(info.param.Name); });

// Each piece is on disk before OnProgress reports it, and the positions grow
// to the whole size.
TEST_F(UpdaterTest, DownloadWrittenPieceByPieceWithProgress) {
    constexpr int kPieces = 4;
    constexpr size_t kPiece = 8192;
    FServer.SetGated(kPieces, kPiece);
    ASSERT_TRUE(Check({{FServer.Url("/gated"), "%MAIN_DIR%\\big.bin", kPieces * kPiece}}));
    std::vector<std::uint32_t> positions;
    std::vector<long> onDisk;
    FUpdater->OnProgress = [&](TUpdater& sender, std::uint32_t position) {
        EXPECT_EQ(&sender, FUpdater.get());
        EXPECT_EQ(sender.Progress(), position);
        EXPECT_EQ(sender.iFileSize(), static_cast<std::int32_t>(kPieces * kPiece));
        positions.push_back(position);
        onDisk.push_back(FileSize(U("big.bin")));
        FServer.Release();
    };
    ASSERT_TRUE(FUpdater->DoUpdate());
    ASSERT_GE(positions.size(), static_cast<size_t>(kPieces));
    EXPECT_TRUE(std::is_sorted(positions.begin(), positions.end()));
    EXPECT_EQ(std::adjacent_find(positions.begin(), positions.end()), positions.end());
    EXPECT_EQ(positions.back(), kPieces * kPiece);
    for (size_t i = 0; i < positions.size(); ++i)
        EXPECT_EQ(onDisk[i], static_cast<long>(positions[i])) << "at report " << i;
    EXPECT_EQ(ReadFile(U("big.bin")), UpdateTestServer::GatedBody(kPieces, kPiece));
}

// While a GET waits for data, calls posted to the main thread still run:
// only such a call lets the server send the rest.
TEST_F(UpdaterTest, MainThreadCallsRunDuringADownload) {
    FServer.SetGated(2, 1000);
    ASSERT_TRUE(Check({{FServer.Url("/gated"), "%MAIN_DIR%\\g.bin", 2000}}));
    bool served = false;
    FUpdater->OnProgress = [&](TUpdater&, std::uint32_t position) {
        if (position == 1000)
            Post([&] {
                served = true;
                FServer.Release();
            });
    };
    ASSERT_TRUE(FUpdater->DoUpdate());
    EXPECT_TRUE(served);
    EXPECT_EQ(FileSize(U("g.bin")), 2000);
}

TEST_F(UpdaterTest, CancelMidDownloadLeavesNothing) {
    FServer.SetGated(4, 4096);
    ASSERT_TRUE(Check({{FServer.Url("/gated"), "%MAIN_DIR%\\c.bin", 16384, true, true}}));
    int reports = 0;
    FUpdater->OnProgress = [&](TUpdater& sender, std::uint32_t) {
        ++reports;
        sender.CancelUpdate();
    };
    EXPECT_FALSE(FUpdater->DoUpdate());
    EXPECT_EQ(reports, 1);
    EXPECT_FALSE(FileExists(U("c.bin.temp")));
    EXPECT_FALSE(FileExists(U("c.bin")));
    EXPECT_EQ(FUpdater->GetUpdateCount(), 0);
    EXPECT_FALSE(Logged("Copy tool started"));
    EXPECT_FALSE(FUpdater->DoUpdate());
}

struct FailedFileCase {
    const char* Name;
    const char* Path;
    int Status;
};

class UpdaterFailedFileTest : public UpdaterTest,
                              public ::testing::WithParamInterface<FailedFileCase> {};

// A later file fails: the update fails, the copy tool is not started, and no
// part of the failed file is left for it to install.
TEST_P(UpdaterFailedFileTest, FailsWithoutPartialFile) {
    const FailedFileCase& c = GetParam();
    FServer.Put("/first", "first");
    if (c.Status != 0)
        FServer.Put(c.Path, "error page", c.Status);
    FServer.SetCut(10000, 3000);
    ASSERT_TRUE(Check({{FServer.Url("/first"), "%MAIN_DIR%\\first", 5, true, true},
                       {FServer.Url(c.Path), "%MAIN_DIR%\\second", 10000, true, true}}));
    EXPECT_FALSE(FUpdater->DoUpdate());
    EXPECT_EQ(ReadFile(U("first.temp")), "first");
    EXPECT_FALSE(FileExists(U("second.temp")));
    EXPECT_FALSE(FileExists(U("second")));
    EXPECT_FALSE(Logged("Copy tool started"));
    EXPECT_TRUE(Logged("Download failed"));
}

INSTANTIATE_TEST_SUITE_P(Table, UpdaterFailedFileTest,
                         ::testing::Values(FailedFileCase{"NotFound", "/missing", 0},
                                           FailedFileCase{"ServerError", "/e500", 500},
                                           FailedFileCase{"Unauthorized", "/e401", 401},
                                           FailedFileCase{"CutOff", "/cut", 0}),
                         [](const auto& info) { return std::string(info.param.Name); });

struct LimitCase {
    const char* Name;
    int Size;    // as the manifest states it
    size_t Sent; // what the server sends
    size_t Cap;  // MaxDownloadSize; 0: as it comes
    bool Fetched;
};

class UpdaterDownloadLimitTest : public UpdaterTest,
                                 public ::testing::WithParamInterface<LimitCase> {};

// A server that sends more than the manifest says, or more than any update
// needs, fails the download: nothing of it is left, the copy tool does not
// start.
TEST_P(UpdaterDownloadLimitTest, LargerDownloadFails) {
    const LimitCase& c = GetParam();
    FServer.Put("/file", std::string(c.Sent, 'x'));
    if (c.Cap != 0)
        FUpdater->MaxDownloadSize = c.Cap;
    ASSERT_TRUE(Check({{FServer.Url("/file"), "%MAIN_DIR%\\file", c.Size, true, true}}));
    EXPECT_EQ(FUpdater->DoUpdate(), c.Fetched);
    EXPECT_EQ(FileSize(U("file.temp")), c.Fetched ? static_cast<long>(c.Sent) : -1);
    EXPECT_FALSE(FileExists(U("file")));
    EXPECT_EQ(Logged("Copy tool started"), c.Fetched);
    EXPECT_EQ(Logged("Download failed"), !c.Fetched);
}

constexpr size_t KiB = 1024;
constexpr size_t MiB = 1024 * KiB;

INSTANTIATE_TEST_SUITE_P(
    Table, UpdaterDownloadLimitTest,
    ::testing::Values(LimitCase{"ExactSize", 1000, 1000, 0, true},
                      LimitCase{"WithinTheMargin", 1000, 1000 + 64 * KiB, 0, true},
                      LimitCase{"PastTheMargin", 1000, 1000 + 64 * KiB + 1, 0, false},
                      LimitCase{"FarPastTheSize", 1000, 4 * MiB, 0, false},
                      LimitCase{"WithinATenthOfALargeFile", 2 * MiB, 2 * MiB + 200 * KiB, 0, true},
                      LimitCase{"PastATenthOfALargeFile", 2 * MiB, 2 * MiB + 210 * KiB, 0, false},
                      LimitCase{"NoSizeUpToTheCap", 0, 100 * KiB, 100 * KiB, true},
                      LimitCase{"NoSizePastTheCap", 0, 100 * KiB + 1, 100 * KiB, false},
                      LimitCase{"NegativeSizePastTheCap", -1, 100 * KiB + 1, 100 * KiB, false},
                      LimitCase{"SizeAboveTheCap", 1 * MiB, 200 * KiB, 100 * KiB, false}),
    [](const auto& info) { return std::string(info.param.Name); });

struct StaleCase {
    const char* Name;
    bool Http;
    bool UseTemp;
    bool UpdatesIsProgramFolder;
    std::map<std::string, std::string> Before; // "x" and "x.temp" in the updates folder
    std::map<std::string, std::string> After;
};

class UpdaterStaleFileTest : public UpdaterTest, public ::testing::WithParamInterface<StaleCase> {};

// The copy tool takes "<target>.temp" when there is one, else "<target>":
// what an earlier update left under those names must not be installed in
// place of what this one fetched, nor for an item it did not fetch.
TEST_P(UpdaterStaleFileTest, OnlyWhatWasFetchedIsLeft) {
    const StaleCase& c = GetParam();
    if (c.UpdatesIsProgramFolder)
        FUpdater->ProgramFile = U("corvane");
    for (const auto& [name, content] : c.Before)
        WriteFile(U(name), content);
    FServer.Put("/x", "new");
    FServer.Put("/y", "y");
    const std::string source = c.Http ? FServer.Url("/x") : "ftp://127.0.0.1/x";
    ASSERT_TRUE(Check({{source, "%MAIN_DIR%\\x", 3, c.UseTemp, false},
                       {FServer.Url("/y"), "%MAIN_DIR%\\y", 1, false, true}}));
    EXPECT_TRUE(FUpdater->DoUpdate());
    std::map<std::string, std::string> after;
    for (const std::string name : {"x", "x.temp"})
        if (FileExists(U(name)))
            after[name] = ReadFile(U(name));
    EXPECT_EQ(after, c.After);
    EXPECT_TRUE(PumpUntil([&] { return FileExists(FUpdater->CopyTool + ".args"); }));
}

INSTANTIATE_TEST_SUITE_P(
    Table, UpdaterStaleFileTest,
    ::testing::Values(
        StaleCase{"FetchedStraight", true, false, false, {{"x.temp", "stale"}}, {{"x", "new"}}},
        StaleCase{"FetchedViaTemp", true, true, false, {{"x.temp", "stale"}}, {{"x.temp", "new"}}},
        StaleCase{"NotFetched", false, false, false, {{"x", "stale"}, {"x.temp", "stale"}}, {}},
        StaleCase{
            "NotFetchedViaTemp", false, true, false, {{"x", "stale"}, {"x.temp", "stale"}}, {}},
        // There "x" is the installed file, which the copy tool leaves alone.
        StaleCase{"NotFetchedInTheProgramFolder",
                  false,
                  false,
                  true,
                  {{"x", "installed"}, {"x.temp", "stale"}},
                  {{"x", "installed"}}}),
    [](const auto& info) { return std::string(info.param.Name); });

class UpdaterRefusedTargetTest : public UpdaterTest,
                                 public ::testing::WithParamInterface<const char*> {};

// A manifest may not place files outside the updates folder; nothing at all
// is fetched then.
TEST_P(UpdaterRefusedTargetTest, NothingFetched) {
    FServer.Put("/x", "x");
    ASSERT_TRUE(Check({{FServer.Url("/x"), "%MAIN_DIR%\\fine", 1},
                       {FServer.Url("/x"), GetParam(), 1, true, true}}));
    EXPECT_FALSE(FUpdater->DoUpdate());
    EXPECT_THAT(FServer.Paths(), ElementsAre("/softwupd/corvane.ini"));
    EXPECT_FALSE(FileExists(U("fine")));
    EXPECT_TRUE(Logged("Update refused"));
}

INSTANTIATE_TEST_SUITE_P(Table, UpdaterRefusedTargetTest,
                         ::testing::Values("/tmp/corvane-refused", "%MAIN_DIR%\\..\\evil",
                                           "%MAIN_DIR%\\a\\..\\..\\evil", "relative.bin",
                                           "C:\\Windows\\x.dll", "%MAIN_DIR%\\",
                                           "%MAIN_DIR%\\a\\\\b", "%MAIN_DIR%\\q\"x", "%MAIN_DIR%x",
                                           "x%MAIN_DIR%\\y", ""));

TEST_F(UpdaterTest, CopyToolThatCannotStartFailsTheUpdate) {
    FServer.Put("/x", "x");
    FUpdater->CopyTool = FAppData.Dir().File("no-such-tool");
    ASSERT_TRUE(Check({{FServer.Url("/x"), "%MAIN_DIR%\\x", 1, true, true}}));
    EXPECT_FALSE(FUpdater->DoUpdate());
    EXPECT_TRUE(Logged("Cannot start the copy tool"));
}

TEST_F(UpdaterTest, DoUpdateWithoutCheckDoesNothing) {
    EXPECT_FALSE(FUpdater->DoUpdate());
    EXPECT_TRUE(FServer.Paths().empty());
}

// --- Signed manifests and file digests ----------------------------------------

// A release as the maker publishes it: each file with its digest, the
// manifest signed with a throw-away key the updater is given.
class SignedUpdateTest : public UpdaterTest {
protected:
    void SetUp() override {
        UpdaterTest::SetUp();
        FUpdater->UpdateKeyPem = FKey.PublicPem();
        FServer.Put("/corvane", "new program");
        FFiles = {{FServer.Url("/corvane"), "%MAIN_DIR%\\corvane", 11, true, true,
                   Sha256Hex("new program")}};
    }
    // Serves `manifest` and the signature `sig` (none when null).
    bool CheckSigned(const std::string& manifest, const std::string* sig) {
        FServer.Put("/softwupd/corvane.ini", manifest);
        if (sig)
            FServer.Put("/softwupd/corvane.ini.sig", *sig);
        FUpdater->URL = FServer.Url("/softwupd/corvane.ini");
        return FUpdater->CheckUpdate();
    }

    TestSigningKey FKey;
    std::vector<ManifestFile> FFiles;
};

TEST_F(SignedUpdateTest, SignedManifestAndFilesInstall) {
    const std::string manifest = BuildManifest(FFiles);
    const std::string sig = FKey.Sign(manifest);
    ASSERT_TRUE(CheckSigned(manifest, &sig));
    EXPECT_EQ(FUpdater->CheckResult(), tCheckResult::Available);
    ASSERT_TRUE(FUpdater->DoUpdate());
    EXPECT_FALSE(FUpdater->Unverified());
    EXPECT_EQ(ReadFile(U("corvane.temp")), "new program");
    EXPECT_THAT(FServer.Paths(),
                ElementsAre("/softwupd/corvane.ini", "/softwupd/corvane.ini.sig", "/corvane"));
    EXPECT_TRUE(PumpUntil([&] { return FileExists(FUpdater->CopyTool + ".args"); }));
}

// The same through file:// (the signature beside the manifest), and digests
// in capitals.
TEST_F(SignedUpdateTest, SignedManifestFromAFile) {
    for (char& c : FFiles[0].Sha256)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    const std::string manifest = BuildManifest(FFiles);
    WriteFile(FAppData.Dir().File("m.ini"), manifest);
    WriteFile(FAppData.Dir().File("m.ini.sig"), FKey.Sign(manifest));
    FUpdater->URL = "file://" + FAppData.Dir().File("m.ini");
    ASSERT_TRUE(FUpdater->CheckUpdate());
    EXPECT_TRUE(FUpdater->DoUpdate());
}

enum class Spoil {
    ChangedByte,
    OtherKey,
    NoSignature,
    NotBase64,
    NotASignature,
    NoDigest,
    ShortDigest
};

struct RefusedCase {
    const char* Name;
    Spoil What;
    const char* Logged;
};

class SignedUpdateRefusedTest : public SignedUpdateTest,
                                public ::testing::WithParamInterface<RefusedCase> {};

// The check fails, offers nothing, keeps no manifest and fetches no file.
TEST_P(SignedUpdateRefusedTest, InstallsNothingAndSaysWhy) {
    const RefusedCase& c = GetParam();
    if (c.What == Spoil::NoDigest)
        FFiles[0].Sha256.clear();
    if (c.What == Spoil::ShortDigest)
        FFiles[0].Sha256.pop_back();
    std::string manifest = BuildManifest(FFiles);
    std::string sig =
        c.What == Spoil::OtherKey ? TestSigningKey().Sign(manifest) : FKey.Sign(manifest);
    if (c.What == Spoil::ChangedByte)
        manifest[manifest.find("LatestVersion=2.0") + 14] = '3';
    if (c.What == Spoil::NotBase64)
        sig = "not a signature!";
    if (c.What == Spoil::NotASignature)
        sig = "AAAA";
    EXPECT_FALSE(CheckSigned(manifest, c.What == Spoil::NoSignature ? nullptr : &sig));
    EXPECT_EQ(FUpdater->CheckResult(), tCheckResult::Unverified);
    EXPECT_TRUE(FUpdater->Unverified());
    EXPECT_EQ(FUpdater->GetUpdateCount(), 0);
    EXPECT_FALSE(FileExists(FUpdater->UpdateFile));
    EXPECT_FALSE(FUpdater->DoUpdate());
    EXPECT_THAT(FServer.Paths(), Not(Contains("/corvane")));
    EXPECT_TRUE(Logged(c.Logged)) << ::testing::PrintToString(FLog);
}

INSTANTIATE_TEST_SUITE_P(
    Table, SignedUpdateRefusedTest,
    ::testing::Values(RefusedCase{"ChangedByte", Spoil::ChangedByte, "does not match"},
                      RefusedCase{"OtherKey", Spoil::OtherKey, "does not match"},
                      RefusedCase{"NoSignature", Spoil::NoSignature,
                                  "corvane.ini.sig cannot be fetched"},
                      RefusedCase{"NotBase64", Spoil::NotBase64, "not base64"},
                      RefusedCase{"NotASignature", Spoil::NotASignature, "malformed"},
                      RefusedCase{"NoDigest", Spoil::NoDigest, "F0 has no SHA256"},
                      RefusedCase{"ShortDigest", Spoil::ShortDigest, "not 64 hex digits"}),
    [](const auto& info) { return std::string(info.param.Name); });

class WrongDigestTest : public SignedUpdateTest, public ::testing::WithParamInterface<bool> {};

// A file that is not what the manifest says is deleted and the update
// fails before the copy tool starts; with a key or without one.
TEST_P(WrongDigestTest, FileDeletedAndNoCopyTool) {
    const bool signedRelease = GetParam();
    if (!signedRelease)
        FUpdater->UpdateKeyPem.clear();
    FServer.Put("/first", "first");
    FFiles.insert(FFiles.begin(), ManifestFile{FServer.Url("/first"), "%MAIN_DIR%\\first", 5, false,
                                               false, Sha256Hex("first")});
    FServer.Put("/corvane", "changed program");
    const std::string manifest = BuildManifest(FFiles);
    const std::string sig = FKey.Sign(manifest);
    ASSERT_TRUE(CheckSigned(manifest, signedRelease ? &sig : nullptr));
    EXPECT_FALSE(FUpdater->DoUpdate());
    EXPECT_TRUE(FUpdater->Unverified());
    EXPECT_EQ(ReadFile(U("first")), "first");
    EXPECT_FALSE(FileExists(U("corvane.temp")));
    EXPECT_FALSE(FileExists(U("corvane")));
    EXPECT_FALSE(Logged("Copy tool started"));
    EXPECT_FALSE(FileExists(FUpdater->CopyTool + ".args"));
    EXPECT_TRUE(Logged("has the SHA256 " + Sha256Hex("changed program") + ", the manifest says " +
                       Sha256Hex("new program")));
}

INSTANTIATE_TEST_SUITE_P(KeyOrNot, WrongDigestTest, ::testing::Bool());

// Without a key no signature is asked for, and a release without digests
// installs as before.
TEST_F(SignedUpdateTest, WithoutAKeyUnsignedManifestsInstall) {
    FUpdater->UpdateKeyPem.clear();
    FFiles[0].Sha256.clear();
    ASSERT_TRUE(CheckSigned(BuildManifest(FFiles), nullptr));
    EXPECT_TRUE(FUpdater->DoUpdate());
    EXPECT_THAT(FServer.Paths(), ElementsAre("/softwupd/corvane.ini", "/corvane"));
}

// The maker's tool signs and digests what the updater takes.
TEST_F(SignedUpdateTest, SigningToolMakesWhatTheUpdaterTakes) {
    const std::string key = FAppData.Dir().File("key.pem");
    const std::string manifest = FAppData.Dir().File("m.ini");
    const std::string file = FAppData.Dir().File("corvane");
    WriteFile(key, FKey.PrivatePem());
    WriteFile(manifest, BuildManifest(FFiles));
    WriteFile(file, "new program");
    ChildProcess sign(BinDir() + "/sign-update", {key, manifest});
    ChildProcess digest(BinDir() + "/sign-update", {"--digest", file});
    ASSERT_TRUE(PumpUntil([&] { return !sign.Running() && !digest.Running(); }));
    EXPECT_EQ(sign.ExitCode(), 0);
    EXPECT_EQ(digest.ExitCode(), 0);
    EXPECT_THAT(digest.Lines(), ElementsAre(Sha256Hex("new program")));
    FUpdater->URL = "file://" + manifest;
    EXPECT_TRUE(FUpdater->CheckUpdate());
    EXPECT_EQ(FUpdater->CheckResult(), tCheckResult::Available);
}

struct KeyCase {
    const char* Name;
    int Kind; // 0: not PEM, 1: P-384, 2: RSA
    const char* Why;
};

class VerifyKeyTest : public ::testing::TestWithParam<KeyCase> {};

// Only a P-256 key is taken: a signature under any other key proves nothing.
TEST_P(VerifyKeyTest, OtherKeysAreRefused) {
    std::string pem = "not a key";
    if (GetParam().Kind != 0) {
        EVP_PKEY* key = GetParam().Kind == 1
                            ? EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-384")
                            : EVP_PKEY_Q_keygen(nullptr, nullptr, "RSA", size_t{2048});
        ASSERT_NE(key, nullptr);
        BIO* bio = BIO_new(BIO_s_mem());
        PEM_write_bio_PUBKEY(bio, key);
        char* data = nullptr;
        const long len = BIO_get_mem_data(bio, &data);
        pem.assign(data, static_cast<size_t>(len));
        BIO_free(bio);
        EVP_PKEY_free(key);
    }
    std::string why;
    EXPECT_FALSE(VerifyUpdateSignature("data", TestSigningKey().Sign("data"), pem, why));
    EXPECT_THAT(why, HasSubstr(GetParam().Why));
}

INSTANTIATE_TEST_SUITE_P(Table, VerifyKeyTest,
                         ::testing::Values(KeyCase{"NotPem", 0, "cannot be read"},
                                           KeyCase{"P384", 1, "not an ECDSA P-256 key"},
                                           KeyCase{"Rsa", 2, "not an ECDSA P-256 key"}),
                         [](const auto& info) { return std::string(info.param.Name); });
} // namespace
} // namespace corvane::test
