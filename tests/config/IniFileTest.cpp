#include "IniFile.h"
#include "TestSupport.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

namespace corvane {
namespace {

namespace fs = std::filesystem;
using test::ReadFile;
using test::TempDir;
using test::WriteFile;
using testing::StrEq;
using testing::ThrowsMessage;

template <typename Case> std::string CaseName(const testing::TestParamInfo<Case>& info) {
    return info.param.name;
}

std::vector<std::string> FolderEntries(const std::string& folder) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

// --- Reading ----------------------------------------------------------------

struct ReadCase {
    std::string name;
    std::string file;
    std::string section;
    std::string key;
    std::string expected; // "<default>" when the default must come back
};

class IniReadTest : public testing::TestWithParam<ReadCase> {};

TEST_P(IniReadTest, Value) {
    TempDir dir;
    const std::string path = dir.File("t.ini");
    WriteFile(path, GetParam().file);
    const TIniFile ini(path);
    EXPECT_EQ(ini.ReadString(GetParam().section, GetParam().key, "<default>"), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, IniReadTest,
    testing::ValuesIn(std::vector<ReadCase>{
        {"Plain", "[General]\r\nServer=10.0.0.1\r\n", "General", "Server", "10.0.0.1"},
        {"NamesIgnoreCase", "[GENERAL]\r\nserver=x\r\n", "General", "SERVER", "x"},
        {"ArgumentsTrimmed", "[General]\r\nServer=x\r\n", " General ", " Server\t", "x"},
        {"LfEndings", "[A]\nk=1\nj=2\n", "A", "j", "2"},
        {"CrEndings", "[A]\rk=1\rj=2", "A", "j", "2"},
        {"KeyAndValueTrimmed", "[A]\r\n \t k \v= \t v w \t\r\n", "A", "k", "v w"},
        {"SectionNameTrimmed", "[A]\r\n  [  B  ]  \r\nk=1\r\n", "B", "k", "1"},
        {"TextAfterHeaderIgnored", "[B] ; note\r\nk=1\r\n", "B", "k", "1"},
        {"HeaderWithoutClosingBracket", "[B\r\nk=1\r\n", "B", "k", "1"},
        {"EmptyValue", "[A]\r\nk=\r\n", "A", "k", ""},
        {"SplitsAtFirstEquals", "[A]\r\nk=a=b\r\n", "A", "k", "a=b"},
        {"DoubleQuotesStripped", "[A]\r\nk=\" a b \"\r\n", "A", "k", " a b "},
        {"SingleQuotesStripped", "[A]\r\nk='x'\r\n", "A", "k", "x"},
        {"OnlyOnePairStripped", "[A]\r\nk=\"\"x\"\"\r\n", "A", "k", "\"x\""},
        {"MismatchedQuotesKept", "[A]\r\nk=\"x'\r\n", "A", "k", "\"x'"},
        {"LoneQuoteKept", "[A]\r\nk=\"\r\n", "A", "k", "\""},
        {"CommentSkipped", "[A]\r\n;k=1\r\n  ; k=2\r\n", "A", "k", "<default>"},
        {"HashIsOrdinary", "[A]\r\n#k=1\r\n", "A", "#k", "1"},
        {"LineWithoutEqualsIsNoKey", "[A]\r\nk\r\nk=2\r\n", "A", "k", "2"},
        {"FirstKeyWins", "[A]\r\nk=1\r\nK=2\r\n", "A", "k", "1"},
        {"OnlyFirstSectionSearched", "[A]\r\nx=1\r\n[B]\r\n[a]\r\nk=2\r\n", "A", "k", "<default>"},
        {"KeyOfOtherSectionNotFound", "[A]\r\n[B]\r\nk=1\r\n", "A", "k", "<default>"},
        {"LinesBeforeFirstSectionNeverRead", "k=1\r\n[A]\r\n", "A", "k", "<default>"},
        {"MissingSection", "[A]\r\nk=1\r\n", "B", "k", "<default>"},
        {"Utf8ByteOrderMarkSpoilsFirstHeader", "\xEF\xBB\xBF[A]\r\nk=1\r\n", "A", "k", "<default>"},
        {"Utf8ValueKept", "[A]\r\nk=J\xC3\xBCrgen\r\n", "A", "k", "J\xC3\xBCrgen"},
    }),
    CaseName<ReadCase>);

TEST(IniFileTest, MissingFileGivesDefaults) {
    TempDir dir;
    const TIniFile ini(dir.File("none.ini"));
    EXPECT_EQ(ini.ReadString("A", "k", "d"), "d");
    EXPECT_EQ(ini.ReadInteger("A", "k", 7), 7);
    EXPECT_TRUE(ini.ReadBool("A", "k", true));
}

TEST(IniFileTest, FolderInsteadOfFileGivesDefaults) {
    TempDir dir;
    const TIniFile ini(dir.Path());
    EXPECT_EQ(ini.ReadString("A", "k", "d"), "d");
}

TEST(IniFileTest, LongValueReadAsFirst2047Bytes) {
    TempDir dir;
    const std::string path = dir.File("t.ini");
    std::string value;
    for (int i = 0; i < 3000; ++i)
        value += static_cast<char>('a' + i % 26);
    WriteFile(path, "[A]\r\nk=" + value + "\r\n");
    EXPECT_EQ(TIniFile(path).ReadString("A", "k", ""), value.substr(0, 2047));
}

TEST(IniFileTest, LongValueNotCutInsideUtf8Character) {
    TempDir dir;
    const std::string path = dir.File("t.ini");
    // Byte 2047 is the second byte of "ä": the read stops before the "ä".
    const std::string value = std::string(2046, 'a') + "\xC3\xA4" + std::string(100, 'b');
    WriteFile(path, "[A]\r\nk=" + value + "\r\n");
    EXPECT_EQ(TIniFile(path).ReadString("A", "k", ""), std::string(2046, 'a'));
}

// --- Integers ---------------------------------------------------------------

struct IntCase {
    std::string name;
    std::string text;
    std::optional<int> value; // nullopt: not an integer
};

class IniIntegerTest : public testing::TestWithParam<IntCase> {};

TEST_P(IniIntegerTest, Parse) {
    int value = 12345;
    const bool ok = ParseIniInteger(GetParam().text, value);
    ASSERT_EQ(ok, GetParam().value.has_value());
    if (ok) {
        EXPECT_EQ(value, *GetParam().value);
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, IniIntegerTest,
                         testing::ValuesIn(std::vector<IntCase>{
                             {"Zero", "0", 0},
                             {"One", "1", 1},
                             {"Negative", "-5", -5},
                             {"Plus", "+7", 7},
                             {"Dollar", "$1F", 31},
                             {"HexPrefix", "0x1", 1},
                             {"HexPrefixUpper", "0X1f", 31},
                             {"NegativeHex", "-$10", -16},
                             {"HexAllOnesIsMinusOne", "$FFFFFFFF", -1},
                             {"Largest", "2147483647", 2147483647},
                             {"Smallest", "-2147483648", -2147483647 - 1},
                             {"TooLarge", "2147483648", std::nullopt},
                             {"HexTooLarge", "$100000000", std::nullopt},
                             {"HexPrefixAlone", "0x", std::nullopt},
                             {"DollarAlone", "$", std::nullopt},
                             {"Word", "yes", std::nullopt},
                             {"TrailingText", "12abc", std::nullopt},
                             {"Empty", "", std::nullopt},
                             {"SignAlone", "-", std::nullopt},
                             {"TwoSigns", "+-1", std::nullopt},
                         }),
                         CaseName<IntCase>);

TEST(IniFileTest, ReadIntegerAndBool) {
    TempDir dir;
    const std::string path = dir.File("t.ini");
    WriteFile(path, "[A]\r\nn=$20\r\nt=0x1\r\nf=0\r\nw=yes\r\n");
    const TIniFile ini(path);
    EXPECT_EQ(ini.ReadInteger("A", "n", 0), 32);
    EXPECT_EQ(ini.ReadInteger("A", "w", -3), -3);
    EXPECT_TRUE(ini.ReadBool("A", "t", false));
    EXPECT_FALSE(ini.ReadBool("A", "f", true));
    EXPECT_TRUE(ini.ReadBool("A", "w", true));
    EXPECT_FALSE(ini.ReadBool("A", "w", false));
}

// --- Writing ----------------------------------------------------------------

struct WriteCase {
    std::string name;
    std::optional<std::string> before; // nullopt: no file yet
    std::string section;
    std::string key;
    std::string value;
    std::string after;
};

class IniWriteTest : public testing::TestWithParam<WriteCase> {};

TEST_P(IniWriteTest, File) {
    TempDir dir;
    const std::string path = dir.File("t.ini");
    if (GetParam().before)
        WriteFile(path, *GetParam().before);
    TIniFile ini(path);
    ini.WriteString(GetParam().section, GetParam().key, GetParam().value);
    EXPECT_EQ(ReadFile(path), GetParam().after);
    EXPECT_EQ(FolderEntries(dir.Path()), std::vector<std::string>{"t.ini"});
}

INSTANTIATE_TEST_SUITE_P(
    Cases, IniWriteTest,
    testing::ValuesIn(std::vector<WriteCase>{
        {"NewFile", std::nullopt, "S", "k", "v", "[S]\r\nk=v\r\n"},
        {"EmptyFile", "", "S", "k", "v", "[S]\r\nk=v\r\n"},
        {"NewSectionAtEnd", "[A]\r\nx=1\r\n", "B", "k", "v", "[A]\r\nx=1\r\n[B]\r\nk=v\r\n"},
        {"NewSectionAfterUnendedLine", "[A]\nx=1", "B", "k", "v", "[A]\nx=1\r\n[B]\r\nk=v\r\n"},
        {"NewSectionAfterTrailingBlankLines", "[A]\r\n\r\n", "B", "k", "v",
         "[A]\r\n\r\n[B]\r\nk=v\r\n"},
        {"NewKeyAfterLastKeyLine", "[A]\r\nx=1\r\n; note\r\n\r\n[B]\r\ny=2\r\n", "A", "k", "v",
         "[A]\r\nx=1\r\nk=v\r\n; note\r\n\r\n[B]\r\ny=2\r\n"},
        {"NewKeyAfterHeaderWhenNoKeys", "[A]\r\n; k=1\r\n[B]\r\n", "A", "k", "2",
         "[A]\r\nk=2\r\n; k=1\r\n[B]\r\n"},
        {"NewKeyAfterUnendedHeader", "[A]", "A", "k", "v", "[A]\r\nk=v\r\n"},
        {"NewKeyAfterUnendedKeyLine", "[A]\r\nx=1", "A", "k", "v", "[A]\r\nx=1\r\nk=v\r\n"},
        {"ReplaceKeepsFileSpelling", "[general]\r\n  SERVER = old \r\nLanguage=US\r\n", "General",
         "Server", "new", "[general]\r\nSERVER=new\r\nLanguage=US\r\n"},
        {"ReplaceInLfFileKeepsOtherLines", "[A]\nx=1\ny=2\n", "A", "x", "9", "[A]\nx=9\r\ny=2\n"},
        {"ReplaceUnendedLastLine", "[A]\r\nx=1", "A", "x", "2", "[A]\r\nx=2\r\n"},
        {"ReplaceFirstOfTwo", "[A]\r\nk=1\r\nk=2\r\n", "A", "k", "3", "[A]\r\nk=3\r\nk=2\r\n"},
        {"OnlyFirstSectionOfNameChanged", "[A]\r\n[B]\r\n[a]\r\nk=old\r\n", "A", "k", "new",
         "[A]\r\nk=new\r\n[B]\r\n[a]\r\nk=old\r\n"},
        {"KeyBeforeFirstSectionNotReplaced", "k=pre\r\n[A]\r\n", "A", "k", "v",
         "k=pre\r\n[A]\r\nk=v\r\n"},
        {"ArgumentsTrimmedValueExact", std::nullopt, " S\t", " k ", "  v  ", "[S]\r\nk=  v  \r\n"},
        {"EmptyValue", "[A]\r\nk=1\r\n", "A", "k", "", "[A]\r\nk=\r\n"},
        {"OtherBytesKept", "\xEF\xBB\xBFjunk\x01\xFF\r\n[A]\r\n\tx = 1 \r\n", "A", "y", "2",
         "\xEF\xBB\xBFjunk\x01\xFF\r\n[A]\r\n\tx = 1 \r\ny=2\r\n"},
    }),
    CaseName<WriteCase>);

TEST(IniFileTest, WriteIntegerAndBool) {
    TempDir dir;
    const std::string path = dir.File("t.ini");
    TIniFile ini(path);
    ini.WriteInteger("A", "n", -42);
    ini.WriteBool("A", "t", true);
    ini.WriteBool("A", "f", false);
    EXPECT_EQ(ReadFile(path), "[A]\r\nn=-42\r\nt=1\r\nf=0\r\n");
}

// --- Failed writes ----------------------------------------------------------

struct FailCase {
    std::string name;
    std::string section;
    std::string key;
    std::string value;
};

class IniUnstorableTest : public testing::TestWithParam<FailCase> {};

// Text that would change the file's structure is refused, and the file stays.
TEST_P(IniUnstorableTest, Refused) {
    TempDir dir;
    const std::string path = dir.File("t.ini");
    const std::string before = "[A]\r\nk=1\r\n";
    WriteFile(path, before);
    TIniFile ini(path);
    EXPECT_THAT([&] { ini.WriteString(GetParam().section, GetParam().key, GetParam().value); },
                ThrowsMessage<EIniFileError>(StrEq("Unable to write to " + path)));
    EXPECT_EQ(ReadFile(path), before);
}

INSTANTIATE_TEST_SUITE_P(Cases, IniUnstorableTest,
                         testing::ValuesIn(std::vector<FailCase>{
                             {"ValueWithLineFeed", "A", "k", "x\n[B]"},
                             {"ValueWithCarriageReturn", "A", "k", "x\rPassword=y"},
                             {"KeyWithEquals", "A", "a=b", "v"},
                             {"KeyStartingWithBracket", "A", "[k", "v"},
                             {"KeyStartingWithSemicolon", "A", ";k", "v"},
                             {"SectionWithBracket", "A]x", "k", "v"},
                             {"SectionWithLineBreak", "A\r\n", "k\n", "v"},
                         }),
                         CaseName<FailCase>);

void ExpectWriteError(const std::string& path) {
    TIniFile ini(path);
    EXPECT_THAT([&] { ini.WriteString("General", "Server", "x"); },
                ThrowsMessage<EIniFileError>(StrEq("Unable to write to " + path)));
}

// These two fail for root too.
TEST(IniFileTest, WriteBelowRegularFileFails) {
    TempDir dir;
    WriteFile(dir.File("plain"), "x");
    ExpectWriteError(dir.File("plain") + "/client.ini");
    EXPECT_EQ(ReadFile(dir.File("plain")), "x");
}

TEST(IniFileTest, WriteToFolderFails) {
    TempDir dir;
    fs::create_directory(dir.File("client.ini"));
    ExpectWriteError(dir.File("client.ini"));
    EXPECT_TRUE(fs::is_directory(dir.File("client.ini")));
}

TEST(IniFileTest, WriteInReadOnlyFolderFails) {
    if (::geteuid() == 0)
        GTEST_SKIP() << "root ignores permission bits; WriteBelowRegularFileFails covers the error";
    TempDir dir;
    ::chmod(dir.Path().c_str(), 0555);
    ExpectWriteError(dir.File("client.ini"));
    EXPECT_FALSE(fs::exists(dir.File("client.ini")));
}

// While in force, files cannot grow beyond `bytes`; the write that would make
// them fails with EFBIG instead of raising SIGXFSZ.
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

private:
    rlimit FOld{};
    void (*FOldHandler)(int) = nullptr;
};

// The disk filling up in the middle of a write: the old file must survive
// whole, and no temporary file may be left behind.
TEST(IniFileTest, WriteFailingHalfWayLeavesFileIntact) {
    TempDir dir;
    const std::string path = dir.File("client.ini");
    std::string before = "; settings\r\n[General]\r\nServer=10.0.0.1\r\n";
    before += "[User_jsmith]\r\nUserName=supervisor\r\nPassword=" + std::string(64, 'A') + "\r\n";
    WriteFile(path, before);
    {
        FileSizeLimit limit(before.size() + 100);
        TIniFile ini(path);
        EXPECT_THAT([&] { ini.WriteString("General", "Language", std::string(500, 'x')); },
                    ThrowsMessage<EIniFileError>(StrEq("Unable to write to " + path)));
    }
    EXPECT_EQ(ReadFile(path), before);
    EXPECT_EQ(FolderEntries(dir.Path()), std::vector<std::string>{"client.ini"});
}

// Sets the process's umask for one test.
class UmaskGuard {
public:
    explicit UmaskGuard(mode_t mask) : FOld(::umask(mask)) {}
    ~UmaskGuard() { ::umask(FOld); }

private:
    mode_t FOld;
};

struct ModeCase {
    std::string name;
    bool ownerOnly;
    int existing; // permission bits of the file before the write; -1: no file
    mode_t umask;
    mode_t expected;
};

class IniModeTest : public testing::TestWithParam<ModeCase> {};

TEST_P(IniModeTest, PermissionBitsAfterWrite) {
    const ModeCase& c = GetParam();
    UmaskGuard mask(c.umask);
    TempDir dir;
    const std::string path = dir.File("client.ini");
    if (c.existing >= 0) {
        WriteFile(path, "[A]\r\nk=1\r\n");
        ASSERT_EQ(::chmod(path.c_str(), static_cast<mode_t>(c.existing)), 0);
    }
    TIniFile(path, c.ownerOnly).WriteString("A", "k", "2");
    struct stat st {};
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, c.expected);
    EXPECT_EQ(ReadFile(path), "[A]\r\nk=2\r\n");
    EXPECT_EQ(FolderEntries(dir.Path()), std::vector<std::string>{"client.ini"});
}

INSTANTIATE_TEST_SUITE_P(
    Cases, IniModeTest,
    testing::Values(ModeCase{"NewFileFollowsUmask", false, -1, 022, 0644},
                    ModeCase{"NewFileFollowsStricterUmask", false, -1, 027, 0640},
                    ModeCase{"ExistingFileKeepsItsBits", false, 0640, 077, 0640},
                    ModeCase{"ExistingOpenFileKeepsItsBits", false, 0666, 022, 0666},
                    ModeCase{"OwnerOnlyNewFileWhateverTheUmask", true, -1, 0, 0600},
                    ModeCase{"OwnerOnlyTightensAnExistingFile", true, 0644, 022, 0600},
                    ModeCase{"OwnerOnlyTakesEveryOtherBit", true, 0777, 0, 0700},
                    ModeCase{"OwnerOnlyKeepsAStricterFile", true, 0400, 022, 0400}),
    CaseName<ModeCase>);

// A folder that forbids new files but holds a writable file: the file is
// rewritten in place. (Root may create the temporary anyway; the outcome is
// the same.)
TEST(IniFileTest, WriteInReadOnlyFolderToWritableFile) {
    TempDir dir;
    const std::string path = dir.File("client.ini");
    WriteFile(path, "[A]\r\nk=1\r\nlong=" + std::string(100, 'z') + "\r\n");
    ::chmod(dir.Path().c_str(), 0555);
    TIniFile(path).WriteString("A", "long", "short");
    ::chmod(dir.Path().c_str(), 0755);
    EXPECT_EQ(ReadFile(path), "[A]\r\nk=1\r\nlong=short\r\n");
    EXPECT_EQ(FolderEntries(dir.Path()), std::vector<std::string>{"client.ini"});
}

TEST(IniFileTest, WriteThroughSymbolicLinkKeepsLink) {
    TempDir dir;
    fs::create_directory(dir.File("real"));
    const std::string target = dir.File("real/client.ini");
    WriteFile(target, "[A]\r\nk=1\r\n");
    fs::create_symlink(target, dir.File("client.ini"));
    TIniFile(dir.File("client.ini")).WriteString("A", "k", "2");
    EXPECT_TRUE(fs::is_symlink(dir.File("client.ini")));
    EXPECT_EQ(ReadFile(target), "[A]\r\nk=2\r\n");
}

} // namespace
} // namespace corvane
