#include "Platform.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#ifndef _WIN32
#include <sys/stat.h>
#endif

using namespace corvane;

namespace {

struct Utf8Case {
    const char* name;
    std::string utf8;
    std::u16string wide;
};

class Utf8ToWideTest : public ::testing::TestWithParam<Utf8Case> {};

TEST_P(Utf8ToWideTest, Decodes) {
    const auto& c = GetParam();
    EXPECT_EQ(Utf8ToWide(c.utf8), c.wide);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Utf8ToWideTest,
    ::testing::Values(Utf8Case{"ascii", "abc", u"abc"}, Utf8Case{"empty", "", u""},
                      Utf8Case{"german", "J\xC3\xBCrgen Gro\xC3\x9F", u"J\u00FCrgen Gro\u00DF"},
                      Utf8Case{"polish", "\xC5\x81ukasz", u"\u0141ukasz"},
                      Utf8Case{"greek", "\xCE\xA9mega", u"\u03A9mega"},
                      Utf8Case{"astral", "\xF0\x9F\x93\x9E", u"\xD83D\xDCDE"},
                      Utf8Case{"lone_continuation", "a\x80z", u"a\uFFFDz"},
                      Utf8Case{"truncated_at_end", "a\xE2\x82", u"a\uFFFD"},
                      Utf8Case{"truncated_inside", "\xE2\x82z", u"\uFFFDz"},
                      Utf8Case{"overlong", "\xC0\xAF", u"\uFFFD\uFFFD"},
                      Utf8Case{"surrogate_encoded", "\xED\xA0\x80", u"\uFFFD\uFFFD\uFFFD"},
                      Utf8Case{"latin1_byte", "caf\xE9", u"caf\uFFFD"},
                      Utf8Case{"embedded_nul", std::string("a\0b", 3), std::u16string(u"a\0b", 3)}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(WideToUtf8, RoundTripsAndReplacesLoneSurrogates) {
    EXPECT_EQ(WideToUtf8(u"J\u00FCrgen \u0141 \u03A9 \xD83D\xDCDE"),
              "J\xC3\xBCrgen \xC5\x81 \xCE\xA9 \xF0\x9F\x93\x9E");
    EXPECT_EQ(WideToUtf8(std::u16string(1, char16_t(0xD800)) + u"x"), "\xEF\xBF\xBDx");
    EXPECT_EQ(WideToUtf8(std::u16string(1, char16_t(0xDC00))), "\xEF\xBF\xBD");
    EXPECT_EQ(WideToAnsi(AnsiToWide("Stra\xC3\x9F"
                                    "e")),
              "Stra\xC3\x9F"
              "e");
}

struct SplitCase {
    const char* name;
    const char* text;
    std::vector<std::string> args;
};

class SplitParameterTextTest : public ::testing::TestWithParam<SplitCase> {};

TEST_P(SplitParameterTextTest, Splits) {
    EXPECT_EQ(SplitParameterText(GetParam().text), GetParam().args);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SplitParameterTextTest,
    ::testing::Values(SplitCase{"empty", "", {}},
                      SplitCase{"blanks", "  a  b\tc ", {"a", "b", "c"}},
                      SplitCase{
                          "updater_text",
                          R"(-id 1234 -p "C:\Prog\x.exe -u" -f "C:\Data\Brindlex\Updates\x.exe")",
                          {"-id", "1234", "-p", R"(C:\Prog\x.exe -u)", "-f",
                           R"(C:\Data\Brindlex\Updates\x.exe)"}},
                      SplitCase{"quote_inside_word", R"(ab"c d"e)", {"abc de"}},
                      SplitCase{"escaped_quote", R"(a\"b)", {"a\"b"}},
                      SplitCase{"backslashes_before_quote", R"("a\\" b)", {"a\\", "b"}},
                      SplitCase{"trailing_backslash", R"(a\ b)", {"a\\", "b"}},
                      SplitCase{"empty_quoted", R"("" x)", {"", "x"}},
                      SplitCase{"unterminated_quote", R"("a b)", {"a b"}}),
    [](const auto& info) { return std::string(info.param.name); });

#ifdef _WIN32
TEST(Folders, AppDataIsAnExistingFolderInTheProgramsPathForm) {
    const std::string appData = UserAppDataFolder();
    ASSERT_GE(appData.size(), 3u);
    EXPECT_TRUE(appData.substr(1, 2) == ":/" || appData.starts_with("//")) << appData;
    EXPECT_EQ(appData.find('\\'), std::string::npos) << appData;
    EXPECT_NE(appData.back(), '/');
    EXPECT_TRUE(DirectoryExists(appData));
    EXPECT_EQ(GetAppDataFolder(), appData + "/Brindlex/");
    EXPECT_TRUE(DirectoryExists(appData + "/Brindlex"));
}

// The folder and the login are Windows' own, as the environment Windows gives
// every program names them too.
TEST(Folders, AppDataAndUserNameAreWindowsOwn) {
    const char* appData = std::getenv("APPDATA");
    const char* user = std::getenv("USERNAME");
    ASSERT_NE(appData, nullptr);
    ASSERT_NE(user, nullptr);
    std::string expected = appData;
    std::replace(expected.begin(), expected.end(), '\\', '/');
    EXPECT_EQ(UserAppDataFolder(), expected);
    EXPECT_EQ(CurrentUserName(), user);
}
#else
TEST(Folders, AppDataFollowsXdgConfigHomeThenHome) {
    test::TempDir tmp;
    const char* oldXdg = std::getenv("XDG_CONFIG_HOME");
    const std::string savedXdg = oldXdg ? oldXdg : "";
    const std::string savedHome = std::getenv("HOME") ? std::getenv("HOME") : "";

    ::setenv("XDG_CONFIG_HOME", (tmp.Path() + "/cfg/").c_str(), 1);
    EXPECT_EQ(UserAppDataFolder(), tmp.Path() + "/cfg");
    ::setenv("XDG_CONFIG_HOME", "relative/is/ignored", 1);
    ::setenv("HOME", tmp.Path().c_str(), 1);
    EXPECT_EQ(UserAppDataFolder(), tmp.Path() + "/.config");

    ::unsetenv("XDG_CONFIG_HOME");
    ASSERT_TRUE(ForceDirectories(tmp.Path() + "/.config"));
    EXPECT_EQ(GetAppDataFolder(), tmp.Path() + "/.config/Brindlex/");
    EXPECT_TRUE(DirectoryExists(tmp.Path() + "/.config/Brindlex"));

    // The maker folder is created one level only.
    ::setenv("HOME", (tmp.Path() + "/missing").c_str(), 1);
    EXPECT_EQ(GetAppDataFolder(), "");

    if (oldXdg)
        ::setenv("XDG_CONFIG_HOME", savedXdg.c_str(), 1);
    ::setenv("HOME", savedHome.c_str(), 1);
}
#endif

TEST(Folders, ForceDirectoriesCreatesEveryLevelAndReportsFailure) {
    test::TempDir tmp;
    EXPECT_TRUE(ForceDirectories(tmp.Path() + "/a/b/c/"));
    EXPECT_TRUE(DirectoryExists(tmp.Path() + "/a/b/c"));
    EXPECT_TRUE(ForceDirectories(tmp.Path() + "/a/b/c"));
    test::WriteFile(tmp.File("file"), "x");
    EXPECT_FALSE(ForceDirectories(tmp.File("file") + "/sub"));
    EXPECT_FALSE(ForceDirectories(""));
}

TEST(Program, KnowsItsPathVersionAndUser) {
    EXPECT_NE(ProgramPath().find("platform_tests"), std::string::npos);
    EXPECT_EQ(ProgramFolder().back(), '/');
    EXPECT_EQ(ProgramPath().rfind(ProgramFolder(), 0), 0u);
    const std::string v = ProgramVersion();
    EXPECT_EQ(std::count(v.begin(), v.end(), '.'), 3) << v;
    EXPECT_FALSE(CurrentUserName().empty());
}

TEST(DebugOutput, GoesToTheInstalledHandler) {
    std::vector<std::string> lines;
    auto old = SetDebugOutputHandler([&](std::string_view t) { lines.emplace_back(t); });
    DebugOutput("first");
    DebugOutput("second");
    SetDebugOutputHandler(old);
    EXPECT_EQ(lines, (std::vector<std::string>{"first", "second"}));
}

#ifdef _WIN32
TEST(StartProgram, PassesTheParameterText) {
    test::TempDir tmp;
    std::string folder = tmp.File("with blank");
    std::replace(folder.begin(), folder.end(), '/', '\\'); // cmd takes '/' for a switch
    const char* shell = std::getenv("ComSpec");
    ASSERT_NE(shell, nullptr);
    ASSERT_TRUE(StartProgram(shell, "/c mkdir \"" + folder + "\""));
    for (int i = 0; i < 500 && !DirectoryExists(tmp.File("with blank")); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_TRUE(DirectoryExists(tmp.File("with blank")));
    EXPECT_FALSE(StartProgram(tmp.File("does-not-exist.exe"), ""));
}
#else
TEST(StartProgram, PassesTheSplitArguments) {
    test::TempDir tmp;
    const std::string script = tmp.File("args.sh");
    test::WriteFile(script, "#!/bin/sh\nfor a in \"$@\"; do printf '%s\\n' \"$a\"; done > \"" +
                                tmp.File("out.txt") + ".part\"\nmv \"" + tmp.File("out.txt") +
                                ".part\" \"" + tmp.File("out.txt") + "\"\n");
    ::chmod(script.c_str(), 0755);
    ASSERT_TRUE(StartProgram(script, R"(-p "with blank -u" plain)"));
    for (int i = 0; i < 500 && !FileExists(tmp.File("out.txt")); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(test::ReadFile(tmp.File("out.txt")), "-p\nwith blank -u\nplain\n");
    EXPECT_FALSE(StartProgram(tmp.File("does-not-exist"), ""));
}
#endif

} // namespace
