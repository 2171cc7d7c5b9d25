#include "IniFile.h"
#include "TestSupport.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <filesystem>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include <sys/stat.h>
#ifndef _WIN32
#include <sys/resource.h>
#include <unistd.h>
#endif

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

// A text as a UTF-16 LE file holds it, with the byte-order mark.
std::string Utf16File(std::u16string_view text) {
    std::string bytes = "\xFF\xFE";
    for (const char16_t unit : text) {
        bytes += static_cast<char>(unit & 0xFF);
        bytes += static_cast<char>(unit >> 8);
    }
    return bytes;
}

#ifndef _WIN32
mode_t ModeOf(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0;
}
#endif

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

// The file reader and the parsed text follow the same rules.
TEST_P(IniReadTest, Value) {
    TempDir dir;
    const std::string path = dir.File("t.ini");
    WriteFile(path, GetParam().file);
    const TIniFile ini(path);
    EXPECT_EQ(ini.ReadString(GetParam().section, GetParam().key, "<default>"), GetParam().expected);
    EXPECT_EQ(TIniText(GetParam().file).ReadString(GetParam().section, GetParam().key, "<default>"),
              GetParam().expected);
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
        {"Utf16File", Utf16File(u"[A]\r\nk=J\u00FCrgen \U0001F600\r\n"), "a", "K",
         "J\xC3\xBCrgen \xF0\x9F\x98\x80"},
        {"Utf16FileWithoutMarkIsBytes", Utf16File(u"[A]\r\nk=1\r\n").substr(2), "A", "k",
         "<default>"},
        {"Utf16BigEndianMarkIsBytes", "\xFE\xFF\0[\0A\0]\0\r\0\nk=1\r\n", "A", "k", "<default>"},
    }),
    CaseName<ReadCase>);

// --- Names without regard to case -------------------------------------------

struct NameCase {
    std::string name;
    std::string inFile; // the section and key name as the file spells them
    std::string asked;  // as the caller spells them
    bool same;
};

class IniNameTest : public testing::TestWithParam<NameCase> {};

// Sections and keys are found, and written, whatever the case of their
// letters, by Unicode simple case folding and never by the locale.
TEST_P(IniNameTest, FoundAndReplacedOnlyWhenTheSame) {
    const NameCase& c = GetParam();
    TempDir dir;
    const std::string path = dir.File("t.ini");
    const std::string before = "[" + c.inFile + "]\r\n" + c.inFile + "=v\r\n";
    WriteFile(path, before);
    const std::string expected = c.same ? "v" : "<default>";
    EXPECT_EQ(TIniFile(path).ReadString(c.asked, c.asked, "<default>"), expected);
    EXPECT_EQ(TIniText(before).ReadString(c.asked, c.asked, "<default>"), expected);

    TIniFile(path).WriteString(c.asked, c.asked, "w");
    EXPECT_EQ(ReadFile(path), c.same ? "[" + c.inFile + "]\r\n" + c.inFile + "=w\r\n"
                                     : before + "[" + c.asked + "]\r\n" + c.asked + "=w\r\n");
}

// The names as UTF-8 text; the escapes are bytes that are no UTF-8.
INSTANTIATE_TEST_SUITE_P(Cases, IniNameTest,
                         testing::ValuesIn(std::vector<NameCase>{
                             {"Ascii", "User_JSMITH", "user_jsmith", true},
                             {"LatinUmlaut", "User_JÖRG", "User_Jörg", true},
                             {"LatinAccents", "ÀÉÎÕÜÇ", "àéîõüç", true},
                             {"LatinExtended", "ŁÓDŹ ČEŠŤ", "łódź češť", true},
                             {"Greek", "ΕΛΈΝΗ", "ελένη", true},
                             {"GreekFinalSigma", "ΟΔΥΣΣΕΥΣ", "οδυσσευς", true},
                             {"Cyrillic", "ЁЖИК ІГОР", "ёжик ігор", true},
                             {"CapitalSharpS", "STRAẞE", "straße", true},
                             {"KelvinSign", "\u212A", "k", true},
                             {"LongS", "ſ", "S", true},
                             {"SharpSIsNotDoubleS", "straße", "STRASSE", false},
                             {"UmlautIsNotPlainLetter", "JÖRG", "jorg", false},
                             {"DotlessIIsNotI", "ı", "I", false},
                             {"DottedCapitalIIsNotI", "İ", "i", false},
                             {"ByteThatIsNoUtf8MatchesItself", "J\xD6RG", "J\xD6RG", true},
                             {"BytesThatAreNoUtf8AreNotFolded", "J\xD6RG", "j\xF6rg", false},
                         }),
                         CaseName<NameCase>);

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

// Windows has no permission bits for a folder or the umask, and no limit of
// the file size to set for a test. (A file's read-only attribute is what
// chmod sets there; IniReadOnlyTest runs on both.)
#ifndef _WIN32
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
                    ModeCase{"OwnerOnlyTakesEveryOtherBit", true, 0777, 0, 0700}),
    CaseName<ModeCase>);
#endif // _WIN32

struct ReadOnlyCase {
    std::string name;
    bool ownerOnly;
    mode_t mode;
};

class IniReadOnlyTest : public testing::TestWithParam<ReadOnlyCase> {};

// A file without its owner's write bit is read-only, also for root and also
// where the folder would allow the rename: the write fails and the file
// stays as it was.
TEST_P(IniReadOnlyTest, WriteFailsAndLeavesTheFile) {
    TempDir dir;
    const std::string path = dir.File("client.ini");
    const std::string before = "[A]\r\nk=1\r\n";
    WriteFile(path, before);
    ASSERT_EQ(::chmod(path.c_str(), GetParam().mode), 0);
    TIniFile ini(path, GetParam().ownerOnly);
    EXPECT_THAT([&] { ini.WriteString("A", "k", "2"); },
                ThrowsMessage<EIniFileError>(StrEq("Unable to write to " + path)));
#ifndef _WIN32
    EXPECT_EQ(ModeOf(path), GetParam().mode);
#endif
    ::chmod(path.c_str(), 0600);
    EXPECT_EQ(ReadFile(path), before);
    EXPECT_EQ(FolderEntries(dir.Path()), std::vector<std::string>{"client.ini"});
}

INSTANTIATE_TEST_SUITE_P(Cases, IniReadOnlyTest,
                         testing::ValuesIn(std::vector<ReadOnlyCase>{
                             {"ReadOnlyForAll", false, 0444},
                             {"OwnerOnlyFileReadOnly", true, 0400},
                             {"OthersMayWriteButNotTheOwner", false, 0466},
                             {"NoBitsAtAll", true, 0},
                         }),
                         CaseName<ReadOnlyCase>);

// --- UTF-16 files -------------------------------------------------------------

// The settings file as an editor saved it in UTF-16 LE: CR LF lines, a
// comment with a dash and an umlaut, a user section in capitals.
const std::string kUtf16Fixture = test::TestDataDir() + "/config/client-utf16.ini";

const std::u16string kUtf16Head = u"; Gespeichert mit dem Editor \u2013 J\u00F6rg\r\n"
                                  u"[General]\r\n"
                                  u"Server=192.168.1.20\r\n";
const std::u16string kUtf16Middle = u"Secure=0\r\n"
                                    u"Language=DE\r\n"
                                    u"StartAuto=0\r\n"
                                    u"Col_startdate=1\r\n"
                                    u"Col_length=1\r\n"
                                    u"Col_direction=1\r\n"
                                    u"Col_remoteID=1\r\n"
                                    u"Col_rname=1\r\n"
                                    u"Col_connected=0\r\n"
                                    u"Col_cname=0\r\n"
                                    u"Col_localID=1\r\n"
                                    u"Col_lname=1\r\n";
const std::u16string kUtf16User = u"[User_J\u00D6RG]\r\n"
                                  u"UserName=J\u00F6rg M\u00FCller\r\n"
                                  u"Password=PKEJPKCFJNGCPGEDCHLGDPCPCAELJOGN\r\n";

TEST(IniFileTest, Utf16FixtureIsWhatTheTestsSay) {
    EXPECT_EQ(ReadFile(kUtf16Fixture), Utf16File(kUtf16Head + kUtf16Middle + kUtf16User));
}

TEST(IniFileTest, Utf16FileReadsAsUtf8) {
    const TIniFile ini(kUtf16Fixture);
    EXPECT_EQ(ini.ReadString("General", "Server", ""), "192.168.1.20");
    EXPECT_EQ(ini.ReadString("User_J\xC3\xB6rg", "UserName", ""), "J\xC3\xB6rg M\xC3\xBCller");
    EXPECT_EQ(ini.ReadInteger("General", "Col_rname", 0), 1);
    const TIniText text(ReadFile(kUtf16Fixture));
    EXPECT_EQ(text.ReadString("user_j\xC3\xB6rg", "username", ""), "J\xC3\xB6rg M\xC3\xBCller");
}

struct Utf16WriteCase {
    std::string name;
    std::string section;
    std::string key;
    std::string value;
    std::u16string after; // the whole file after the write, without its mark
};

class IniUtf16WriteTest : public testing::TestWithParam<Utf16WriteCase> {};

// A write keeps the file in UTF-16 LE with its mark, and every other
// character as it was.
TEST_P(IniUtf16WriteTest, StaysUtf16) {
    TempDir dir;
    const std::string path = dir.File("client.ini");
    WriteFile(path, ReadFile(kUtf16Fixture));
    TIniFile(path, true).WriteString(GetParam().section, GetParam().key, GetParam().value);
    EXPECT_EQ(ReadFile(path), Utf16File(GetParam().after));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, IniUtf16WriteTest,
    testing::ValuesIn(std::vector<Utf16WriteCase>{
        {"ReplaceKey", "General", "Server", "10.0.0.7",
         u"; Gespeichert mit dem Editor \u2013 J\u00F6rg\r\n[General]\r\nServer=10.0.0.7\r\n" +
             kUtf16Middle + kUtf16User},
        {"SameValueGivesTheSameFile", "General", "Server", "192.168.1.20",
         kUtf16Head + kUtf16Middle + kUtf16User},
        {"NonAsciiValue", "User_J\xC3\xB6rg", "UserName", "\xC3\x98ystein \xF0\x9F\x98\x80",
         kUtf16Head + kUtf16Middle +
             u"[User_J\u00D6RG]\r\nUserName=\u00D8ystein \U0001F600\r\n"
             u"Password=PKEJPKCFJNGCPGEDCHLGDPCPCAELJOGN\r\n"},
        {"NewKey", "General", "Extra", "1",
         kUtf16Head + kUtf16Middle + u"Extra=1\r\n" + kUtf16User},
        {"NewSection", "User_\xD0\x98\xD0\xB3\xD0\xBE\xD1\x80\xD1\x8C", "UserName", "x",
         kUtf16Head + kUtf16Middle + kUtf16User +
             u"[User_\u0418\u0433\u043E\u0440\u044C]\r\nUserName=x\r\n"},
    }),
    CaseName<Utf16WriteCase>);

// Units that are no text (an unpaired surrogate) and an odd last byte are
// not the writer's business: they come back as they were.
TEST(IniFileTest, Utf16FileKeepsWhatIsNoText) {
    TempDir dir;
    const std::string path = dir.File("t.ini");
    const std::u16string comment = u";\xD800 x \xDC00\r\n";
    WriteFile(path, Utf16File(comment + u"[A]\r\nk=1\r\n") + "\x41");
    TIniFile(path).WriteString("A", "k", "2");
    EXPECT_EQ(ReadFile(path), Utf16File(comment + u"[A]\r\nk=2\r\n") + "\x41");
}

// Bytes that are no UTF-8 have no UTF-16 form: such a write fails instead
// of storing something that would not read back.
TEST(IniFileTest, Utf16FileRefusesTextThatIsNoUtf8) {
    TempDir dir;
    const std::string path = dir.File("client.ini");
    const std::string before = ReadFile(kUtf16Fixture);
    WriteFile(path, before);
    for (const auto& entry : std::vector<std::tuple<std::string, std::string, std::string>>{
             {"General", "Server", "J\xF6rg"},
             {"General", "k\xC3", "v"},
             {"User_\xED\xA0\x80", "k", "v"}}) {
        TIniFile ini(path);
        // Not captured as a structured binding: clang 14 cannot.
        const std::string& section = std::get<0>(entry);
        const std::string& key = std::get<1>(entry);
        const std::string& value = std::get<2>(entry);
        EXPECT_THAT([&] { ini.WriteString(section, key, value); },
                    ThrowsMessage<EIniFileError>(StrEq("Unable to write to " + path)));
        EXPECT_EQ(ReadFile(path), before);
    }
}

TEST(IniFileTest, EmptyUtf16FileGetsItsFirstSection) {
    TempDir dir;
    const std::string path = dir.File("t.ini");
    WriteFile(path, "\xFF\xFE");
    TIniFile(path).WriteString("A", "k", "v");
    EXPECT_EQ(ReadFile(path), Utf16File(u"[A]\r\nk=v\r\n"));
}

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
    std::error_code ec;
    fs::create_symlink(target, dir.File("client.ini"), ec);
#ifdef _WIN32
    if (ec)
        GTEST_SKIP() << "no right to create symbolic links: " << ec.message();
#endif
    ASSERT_FALSE(ec) << ec.message();
    TIniFile(dir.File("client.ini")).WriteString("A", "k", "2");
    EXPECT_TRUE(fs::is_symlink(dir.File("client.ini")));
    EXPECT_EQ(ReadFile(target), "[A]\r\nk=2\r\n");
}

} // namespace
} // namespace corvane
