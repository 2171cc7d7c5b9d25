#include "Files.h"
#include "TestSupport.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#ifndef _WIN32
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace corvane {
namespace {

namespace fs = std::filesystem;
using test::ReadFile;
using test::TempDir;
using test::WriteFile;
using testing::HasSubstr;

std::vector<std::string> FolderEntries(const std::string& folder) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

// Windows has no permission bits: there the mode of a replacement is not
// checked, and no umask or file-size limit can be set for a test.
#ifndef _WIN32
mode_t ModeOf(const std::string& path) {
    struct stat st {};
    EXPECT_EQ(::stat(path.c_str(), &st), 0) << path;
    return st.st_mode & 07777;
}
#endif

// --- Reading ----------------------------------------------------------------

enum class Kind { Missing, File, Folder, Fifo, ProcStat };

struct ReadCase {
    std::string name;
    Kind kind;
    std::string content; // of a File
    size_t limit;
    std::optional<std::string> expected; // ProcStat: only whether there is content
    bool tooLarge;
    int error; // errno after a failed read
};

class ReadWholeFileTest : public testing::TestWithParam<ReadCase> {};

TEST_P(ReadWholeFileTest, Content) {
    const ReadCase& c = GetParam();
    TempDir dir;
    std::string path = dir.File("f");
    switch (c.kind) {
    case Kind::Missing:
        break;
    case Kind::File:
        WriteFile(path, c.content);
        break;
    case Kind::Folder:
        fs::create_directory(path);
        break;
#ifndef _WIN32
    case Kind::Fifo:
        ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0);
        break;
    case Kind::ProcStat:
        // States size 0, so only the bytes read can tell the size.
        path = "/proc/self/stat";
        break;
#else
    case Kind::Fifo:
    case Kind::ProcStat:
        GTEST_SKIP() << "no FIFOs or /proc on Windows";
#endif
    }
    bool tooLarge = !c.tooLarge; // must be overwritten either way
    errno = 0;
    const std::optional<std::string> got = ReadWholeFile(path, c.limit, &tooLarge);
    const int err = errno;
    EXPECT_EQ(tooLarge, c.tooLarge);
    if (c.kind == Kind::ProcStat && c.expected) {
        ASSERT_TRUE(got);
#ifndef _WIN32
        EXPECT_TRUE(got->starts_with(std::to_string(::getpid()) + " (")) << *got;
#endif
    } else {
        EXPECT_EQ(got, c.expected);
    }
    if (!c.expected) {
        EXPECT_EQ(err, c.error) << std::strerror(err);
    }
}

const std::string kBinary("a\0b\r\nc\rd\n\xff\xfe", 11);
const std::string kLarge = [] {
    std::string s(200 * 1024 + 7, '\0');
    for (size_t i = 0; i < s.size(); ++i)
        s[i] = static_cast<char>(i * 7 + i / 251);
    return s;
}();

INSTANTIATE_TEST_SUITE_P(
    Cases, ReadWholeFileTest,
    testing::ValuesIn(std::vector<ReadCase>{
        {"Missing", Kind::Missing, "", 100, std::nullopt, false, ENOENT},
        {"Empty", Kind::File, "", 100, "", false, 0},
        {"EmptyWithLimitZero", Kind::File, "", 0, "", false, 0},
        {"AtLimit", Kind::File, "0123456789", 10, "0123456789", false, 0},
        {"OneOverLimit", Kind::File, "0123456789A", 10, std::nullopt, true, EFBIG},
        {"BytesKeptAsTheyAre", Kind::File, kBinary, kBinary.size(), kBinary, false, 0},
        {"LargerThanOneRead", Kind::File, kLarge, kLarge.size(), kLarge, false, 0},
        {"LargeOneOverLimit", Kind::File, kLarge, kLarge.size() - 1, std::nullopt, true, EFBIG},
        {"Folder", Kind::Folder, "", 100, std::nullopt, false, EISDIR},
#ifndef _WIN32
        {"FifoIsRefusedWithoutWaitingForAWriter", Kind::Fifo, "", 100, std::nullopt, false, EINVAL},
        {"ProcFileRead", Kind::ProcStat, "", 64 * 1024, "", false, 0},
        {"ProcFileOverLimitThoughItStatesSizeZero", Kind::ProcStat, "", 8, std::nullopt, true,
         EFBIG},
#endif
    }),
    [](const auto& info) { return info.param.name; });

// --- Replacing --------------------------------------------------------------

#ifndef _WIN32
// Sets the process's umask for one test.
class UmaskGuard {
public:
    explicit UmaskGuard(mode_t mask) : FOld(::umask(mask)) {}
    ~UmaskGuard() { ::umask(FOld); }

private:
    mode_t FOld;
};
#endif

struct ReplaceCase {
    std::string name;
    std::optional<std::string> before; // the target's content; nullopt: no target
    unsigned beforeMode;
    std::string contents;
    unsigned mode;
};

class ReplaceFileTest : public testing::TestWithParam<ReplaceCase> {};

TEST_P(ReplaceFileTest, HoldsContentsWithExactlyTheMode) {
    const ReplaceCase& c = GetParam();
#ifndef _WIN32
    const UmaskGuard mask(077); // must not reach the new file
#endif
    TempDir dir;
    const std::string path = dir.File("target.ini");
    if (c.before) {
        WriteFile(path, *c.before);
#ifndef _WIN32
        ASSERT_EQ(::chmod(path.c_str(), c.beforeMode), 0);
#endif
    }
    std::string error = "untouched";
    ASSERT_TRUE(ReplaceFileAtomically(path, c.contents, c.mode, &error)) << error;
    EXPECT_EQ(error, "untouched");
    EXPECT_EQ(ReadFile(path), c.contents);
#ifndef _WIN32
    EXPECT_EQ(ModeOf(path), c.mode);
#endif
    EXPECT_EQ(FolderEntries(dir.Path()), std::vector<std::string>{"target.ini"});
}

INSTANTIATE_TEST_SUITE_P(Cases, ReplaceFileTest,
                         testing::ValuesIn(std::vector<ReplaceCase>{
                             {"NewFileOwnerOnly", std::nullopt, 0, "[A]\r\nk=1\r\n", 0600},
                             {"NewFileUmaskIgnored", std::nullopt, 0, "x", 0644},
                             {"NewEmptyFile", std::nullopt, 0, "", 0600},
                             {"ShorterContentLeavesNoTail", std::string(5000, 'o'), 0600, "new",
                              0600},
                             {"ExistingFileTakesTheGivenMode", "old", 0644, "new", 0600},
                             {"ReadOnlyModeForTheNewFile", "old", 0600, "new", 0400},
                             {"BytesKeptAsTheyAre", "old", 0600, kBinary, 0600},
                         }),
                         [](const auto& info) { return info.param.name; });

TEST(ReplaceFileAtomicallyTest, SymbolicLinkStaysALink) {
    TempDir dir;
    fs::create_directory(dir.File("real"));
    WriteFile(dir.File("real/target.ini"), "old");
    std::error_code ec;
    fs::create_symlink(dir.File("real/target.ini"), dir.File("link.ini"), ec);
#ifdef _WIN32
    if (ec)
        GTEST_SKIP() << "no right to create symbolic links: " << ec.message();
#endif
    ASSERT_FALSE(ec) << ec.message();
    ASSERT_TRUE(ReplaceFileAtomically(dir.File("link.ini"), "new", 0600));
    EXPECT_TRUE(fs::is_symlink(dir.File("link.ini")));
    EXPECT_EQ(ReadFile(dir.File("real/target.ini")), "new");
    EXPECT_EQ(FolderEntries(dir.File("real")), std::vector<std::string>{"target.ini"});
}

#ifndef _WIN32
TEST(ReplaceFileAtomicallyTest, ExistingFileKeepsItsOwner) {
    if (::geteuid() != 0)
        GTEST_SKIP() << "only root may give a file to another user";
    TempDir dir;
    const std::string path = dir.File("target.ini");
    WriteFile(path, "old");
    ASSERT_EQ(::chown(path.c_str(), 65534, 65534), 0);
    ASSERT_TRUE(ReplaceFileAtomically(path, "new", 0640));
    struct stat st {};
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, 65534u);
    EXPECT_EQ(st.st_gid, 65534u);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
}

// While in force, files cannot grow beyond `bytes`; the write that would make
// them fails with EFBIG instead of raising SIGXFSZ. Applies to root too.
class FileSizeLimit {
public:
    explicit FileSizeLimit(rlim_t bytes) {
        FOldHandler = std::signal(SIGXFSZ, SIG_IGN);
        ::getrlimit(RLIMIT_FSIZE, &FOld);
        rlimit limit = FOld;
        limit.rlim_cur = bytes;
        ::setrlimit(RLIMIT_FSIZE, &limit);
    }
    ~FileSizeLimit() {
        ::setrlimit(RLIMIT_FSIZE, &FOld);
        std::signal(SIGXFSZ, FOldHandler);
    }
    FileSizeLimit(const FileSizeLimit&) = delete;
    FileSizeLimit& operator=(const FileSizeLimit&) = delete;

private:
    rlimit FOld{};
    void (*FOldHandler)(int) = nullptr;
};
#endif

// Each of these fails for root too.
enum class Obstacle { NoFolder, BelowAFile, TargetIsFolder, DiskFull };

struct FailCase {
    std::string name;
    Obstacle obstacle;
    int error;
};

class ReplaceFailureTest : public testing::TestWithParam<FailCase> {};

TEST_P(ReplaceFailureTest, OldFileStaysAndNoTemporaryRemains) {
    const FailCase& c = GetParam();
    TempDir dir;
    const std::string old = "[A]\r\nk=1\r\n";
    WriteFile(dir.File("target.ini"), old);
    std::string path = dir.File("target.ini");
    if (c.obstacle == Obstacle::NoFolder)
        path = dir.File("missing/target.ini");
    if (c.obstacle == Obstacle::BelowAFile)
        path = dir.File("target.ini/target.ini");
    if (c.obstacle == Obstacle::TargetIsFolder) {
        fs::create_directory(dir.File("folder"));
        WriteFile(dir.File("folder/inside"), "x");
        path = dir.File("folder");
    }
    const std::vector<std::string> entries = FolderEntries(dir.Path());

    std::string error;
    bool replaced = false;
    int err = 0;
    {
#ifndef _WIN32
        std::optional<FileSizeLimit> limit;
        if (c.obstacle == Obstacle::DiskFull)
            limit.emplace(old.size() + 100);
#endif
        replaced = ReplaceFileAtomically(path, old + std::string(500, 'x'), 0600, &error);
        err = errno;
    }
    EXPECT_FALSE(replaced);
    EXPECT_EQ(err, c.error) << std::strerror(err);
    EXPECT_THAT(error, HasSubstr(path));
    EXPECT_THAT(error, HasSubstr(std::strerror(c.error)));
    EXPECT_EQ(ReadFile(dir.File("target.ini")), old);
    EXPECT_EQ(FolderEntries(dir.Path()), entries);
    if (c.obstacle == Obstacle::TargetIsFolder) {
        EXPECT_EQ(FolderEntries(path), std::vector<std::string>{"inside"});
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, ReplaceFailureTest,
                         testing::ValuesIn(std::vector<FailCase>{
                             {"FolderMissing", Obstacle::NoFolder, ENOENT},
#ifdef _WIN32
                             // Windows says "path not found" for a file on the way.
                             {"FolderIsAFile", Obstacle::BelowAFile, ENOENT},
#else
                             {"FolderIsAFile", Obstacle::BelowAFile, ENOTDIR},
#endif
                             {"TargetIsAFolder", Obstacle::TargetIsFolder, EISDIR},
#ifndef _WIN32
                             {"DiskFullHalfWay", Obstacle::DiskFull, EFBIG},
#endif
                         }),
                         [](const auto& info) { return info.param.name; });

// Writers racing on one file never mix their contents, and a reader meanwhile
// sees one whole version or another, never a cut or a blend.
TEST(ReplaceFileAtomicallyTest, ConcurrentWritersAndReaderSeeWholeVersions) {
    TempDir dir;
    const std::string path = dir.File("target.ini");
    std::vector<std::string> versions;
    for (char c : std::string("abcd"))
        versions.push_back(std::string(64 * 1024 + static_cast<size_t>(c), c));
    WriteFile(path, versions[0]);

    std::atomic<bool> done{false};
    std::vector<std::string> torn;
    std::thread reader([&] {
        while (!done) {
            const std::optional<std::string> got = ReadWholeFile(path, 1024 * 1024);
            if (!got || std::find(versions.begin(), versions.end(), *got) == versions.end()) {
                torn.push_back(got ? got->substr(0, 16) + "... " + std::to_string(got->size())
                                   : "unreadable");
                return;
            }
#ifdef _WIN32
            // Windows renames nothing over a file that is open: a reader that
            // hardly ever lets go would starve the writers, whose renames
            // retry only for a moment.
            std::this_thread::sleep_for(std::chrono::milliseconds(3));
#endif
        }
    });
    std::mutex errorsLock;
    std::vector<std::string> errors;
    std::vector<std::thread> writers;
    for (const std::string& version : versions) {
        writers.emplace_back([&, version] {
            for (int i = 0; i < 10; ++i) {
                std::string error;
                if (!ReplaceFileAtomically(path, version, 0600, &error)) {
                    const std::lock_guard<std::mutex> hold(errorsLock);
                    errors.push_back(error);
                }
            }
        });
    }
    for (std::thread& w : writers)
        w.join();
    done = true;
    reader.join();

    EXPECT_THAT(errors, testing::IsEmpty());
    EXPECT_THAT(torn, testing::IsEmpty());
    EXPECT_THAT(versions, testing::Contains(ReadFile(path)));
    EXPECT_EQ(FolderEntries(dir.Path()), std::vector<std::string>{"target.ini"});
}

} // namespace
} // namespace corvane
