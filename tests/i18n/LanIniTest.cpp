#include "LanIni.h"
#include "Platform.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#endif

using namespace std::string_literals;

namespace corvane {
namespace {

using test::TempDir;
using test::WriteFile;

template <typename Case> std::string CaseName(const testing::TestParamInfo<Case>& info) {
    return info.param.name;
}

// Collects the debugger output lines while it exists.
class DebugLines {
public:
    DebugLines() {
        FOld = SetDebugOutputHandler([this](std::string_view line) { FLines.emplace_back(line); });
    }
    ~DebugLines() { SetDebugOutputHandler(FOld); }
    const std::vector<std::string>& Lines() const { return FLines; }

private:
    DebugOutputHandler FOld;
    std::vector<std::string> FLines;
};

// --- The same file in four encodings -----------------------------------------

const TLanTable SampleTable = {
    {"Main.Options", u"Einstellungen"},
    {"Main.ActiveCalls", u" Aktive Gespr\u00e4che"},
    {"Main.NoCallActive",
     u"  Kein Gespr\u00e4ch \u2013 \u0141\u00f3d\u017a, \u041c\u043e\u0441\u043a\u0432\u0430, "
     u"\u6771\u4eac \U0001F4DE"},
    {"Updater.UpdateAvailable", u"Version %s ist installiert.\nVersion %s ist verf\u00fcgbar."},
    {"Updater.Backslash", u"a\\b"},
    {"Updater.Doubled", u"\n"},
    {"SettingsForm.OkBtn.Caption", u"OK"},
    {"SettingsForm.TabSheetServer.Caption", u"Server-Verbindung"},
};

class LanIniEncodingTest : public testing::TestWithParam<std::string> {};

TEST_P(LanIniEncodingTest, SameTable) {
    TLanIniW table;
    const std::string path = test::TestDataDir() + "/i18n/" + GetParam();
    table.Load(path);
    EXPECT_EQ(table.FileName(), path);
    EXPECT_EQ(table.Table(), SampleTable);
}

// The 8-bit sample is UTF-8 without a mark: 8-bit text as this platform writes
// it. Windows reads 8-bit files in its ANSI code page instead.
INSTANTIATE_TEST_SUITE_P(Files, LanIniEncodingTest,
                         testing::Values("sample-utf16le.uln", "sample-utf16be.uln",
                                         "sample-utf8bom.uln"
#ifndef _WIN32
                                         ,
                                         "sample-8bit.uln"
#endif
                                         ),
                         [](const testing::TestParamInfo<std::string>& info) {
                             std::string name = info.param.substr(7, info.param.size() - 11);
                             return name == "8bit" ? "EightBit" : name;
                         });

// --- Line rules -----------------------------------------------------------------

struct LoadCase {
    std::string name;
    std::string file; // raw bytes
    TLanTable table;
};

class LanIniLoadTest : public testing::TestWithParam<LoadCase> {};

TEST_P(LanIniLoadTest, Table) {
    TempDir dir;
    WriteFile(dir.File("t.uln"), GetParam().file);
    TLanIniW table;
    table.Load(dir.File("t.uln"));
    EXPECT_EQ(table.Table(), GetParam().table);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, LanIniLoadTest,
    testing::ValuesIn(std::vector<LoadCase>{
        {"Empty", "", {}},
        {"NewlineEscape", "[S]\na\\nb=x\nk=a\\nb", {{"S.a\\nb", u"x"}, {"S.k", u"a\nb"}}},
        {"DoubledBackslash", "[S]\nk=a\\\\b", {{"S.k", u"a\\b"}}},
        {"DoubledBackslashBeforeN", "[S]\nk=\\\\n", {{"S.k", u"\n"}}},
        {"ThreeBackslashesBeforeN", "[S]\nk=\\\\\\n", {{"S.k", u"\\\n"}}},
        {"OtherEscapesKept", "[S]\nk=a\\tb\\", {{"S.k", u"a\\tb\\"}}},
        {"SpacesAroundEquals", "[S]\r\n  k  =  v  \r\n", {{"S.k", u"  v"}}},
        {"ControlCharactersTrimmed", "\t[S]\x01\r\n\x1fk=v\t\x02\r\n", {{"S.k", u"v"}}},
        {"SplitsAtFirstEquals", "[S]\nk=a=b", {{"S.k", u"a=b"}}},
        {"EmptyEntryName", "[S]\n=v", {{"S.", u"v"}}},
        {"CommentsSkipped", "[S]\n;k=1\n  ;j=2\nk2=;not a comment", {{"S.k2", u";not a comment"}}},
        {"BeforeFirstSectionSkipped", "k=1\n[S]\nj=2", {{"S.j", u"2"}}},
        {"SectionNameTrimmed", "[  S T  ]\nk=v", {{"S T.k", u"v"}}},
        {"UnclosedBracketIsNoSection", "[S]\n[T\nk=v", {{"S.k", u"v"}}},
        {"KeySpelledAsInFile", "[mAiN]\nOpTiOnS=v", {{"mAiN.OpTiOnS", u"v"}}},
        {"RepeatedSectionIgnored",
         "[S]\nk=1\n[T]\nj=2\n[s]\nk=3\nm=4",
         {{"S.k", u"1"}, {"T.j", u"2"}}},
        {"RepeatedEntryFirstWins", "[S]\nk=1\nK=2\nk=3", {{"S.k", u"1"}}},
        {"CrLineEnds", "[S]\rk=1\rj=2", {{"S.k", u"1"}, {"S.j", u"2"}}},
        {"Utf16OddTrailingByteIgnored", "\xFF\xFE[\0S\0]\0\n\0k\0=\0v\0X"s, {{"S.k", u"v"}}},
        {"Utf16SurrogatePair",
         "\xFF\xFE[\0S\0]\0\n\0k\0=\0\x3D\xD8\xDE\xDC"s,
         {{"S.k", u"\U0001F4DE"}}},
#ifndef _WIN32
        // 8-bit files are UTF-8 here; on Windows they are in the ANSI code
        // page, where every byte is a character (see AnsiCodePageFile below).
        {"InvalidUtf8Replaced",
         "[S]\nk=a\xFF"
         "b",
         {{"S.k", u"a\uFFFDb"}}},
#endif
    }),
    CaseName<LoadCase>);

// --- Lookup -----------------------------------------------------------------------

TEST(LanIniTest, MissingKeyReturnsKeyAndTellsDebugger) {
    TLanIniW table;
    DebugLines debug;
    EXPECT_EQ(table.Translate("Updater.NoUpdate"), u"Updater.NoUpdate");
    EXPECT_EQ(debug.Lines(), std::vector<std::string>{"Missing translation for Updater.NoUpdate"});
}

TEST(LanIniTest, LookupIsCaseSensitive) {
    TempDir dir;
    WriteFile(dir.File("t.uln"), "[Main]\r\nOptions=Settings\r\n");
    TLanIniW table;
    table.Load(dir.File("t.uln"));
    DebugLines debug;
    EXPECT_TRUE(table.HasKey("Main.Options"));
    EXPECT_FALSE(table.HasKey("main.options"));
    EXPECT_TRUE(debug.Lines().empty()); // HasKey never reports
    EXPECT_EQ(table.Translate("Main.Options"), u"Settings");
    EXPECT_EQ(table.Translate("main.options"), u"main.options");
    EXPECT_EQ(debug.Lines(), std::vector<std::string>{"Missing translation for main.options"});
}

TEST(LanIniTest, ReloadReplacesWholeTable) {
    TempDir dir;
    WriteFile(dir.File("de.uln"), "[Main]\r\nOptions=Einstellungen\r\nActiveCalls=Aktiv\r\n");
    WriteFile(dir.File("fr.uln"), "[Main]\r\nOptions=Parametres\r\n");
    TLanIniW table;
    table.Load(dir.File("de.uln"));
    table.Load(dir.File("fr.uln"));
    EXPECT_EQ(table.FileName(), dir.File("fr.uln"));
    EXPECT_EQ(table.Table(), (TLanTable{{"Main.Options", u"Parametres"}}));
}

#ifdef _WIN32
TEST(LanIniTest, AnsiCodePageFile) {
    // Every byte of an 8-bit file is one character of the ANSI code page, as
    // Windows itself converts it.
    const std::string bytes = "\xC8t\xE9 \x80 \xFF";
    std::wstring expected(16, L'\0');
    expected.resize(static_cast<size_t>(MultiByteToWideChar(
        CP_ACP, 0, bytes.data(), static_cast<int>(bytes.size()), expected.data(), 16)));
    ASSERT_EQ(expected.size(), bytes.size());
    TempDir dir;
    WriteFile(dir.File("t.uln"), "[S]\r\nk=" + bytes + "\r\n");
    TLanIniW table;
    table.Load(dir.File("t.uln"));
    EXPECT_EQ(table.Table(),
              (TLanTable{{"S.k", std::u16string(expected.begin(), expected.end())}}));
}
#endif

TEST(LanIniTest, MissingFileEmptiesTable) {
    TempDir dir;
    WriteFile(dir.File("de.uln"), "[Main]\r\nOptions=Einstellungen\r\n");
    TLanIniW table;
    table.Load(dir.File("de.uln"));
    table.Load(dir.File("none.uln"));
    EXPECT_EQ(table.FileName(), dir.File("none.uln"));
    EXPECT_TRUE(table.Table().empty());
    table.Load(dir.Path()); // a folder reads as empty too
    EXPECT_TRUE(table.Table().empty());
}

TEST(LanIniTest, ProgramWideTable) {
    TempDir dir;
    WriteFile(dir.File("us.uln"), "[Main]\r\nOptions=Settings\r\n");
    LanIni().Load(dir.File("us.uln"));
    EXPECT_EQ(LanIni().Translate("Main.Options"), u"Settings");
    LanIni().Load(dir.File("none.uln"));
    EXPECT_FALSE(LanIni().HasKey("Main.Options"));
}

} // namespace
} // namespace corvane
