// The delivered translation files, read by the program's own loader: every
// language has the English file's keys, and the encodings decode as meant.

#include "LanIni.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

namespace corvane {
namespace {

std::string LangFile(const std::string& code) {
    return test::SourceDir() + "/data/lang/Corvane_" + code + ".uln";
}

std::set<std::string> Keys(const TLanIniW& table) {
    std::set<std::string> keys;
    for (const auto& entry : table.Table())
        keys.insert(entry.first);
    return keys;
}

class LangFileTest : public ::testing::TestWithParam<const char*> {};

TEST_P(LangFileTest, LoadsWithExactlyTheEnglishKeys) {
    TLanIniW english;
    english.Load(LangFile("US"));
    ASSERT_GT(english.Table().size(), 40u);
    TLanIniW table;
    table.Load(LangFile(GetParam()));
    EXPECT_EQ(Keys(table), Keys(english));
    // Line breaks arrive as line feeds, not as a backslash and an n.
    const std::u16string available = table.Translate("Updater.UpdateAvailable");
    EXPECT_NE(available.find(u'\n'), std::u16string::npos);
    EXPECT_EQ(available.find(u'\\'), std::u16string::npos);
}

INSTANTIATE_TEST_SUITE_P(Languages, LangFileTest,
                         ::testing::Values("DA", "DE", "FR", "US", "NL", "ES", "IT", "PL"));

TEST(LangFiles, NonAsciiTextsDecodeInBothEncodings) {
    TLanIniW polish; // UTF-16 LE
    polish.Load(LangFile("PL"));
    EXPECT_EQ(polish.Translate("Main.NoCallActive"), u"Brak aktywnych połączeń");
    TLanIniW german; // UTF-8
    german.Load(LangFile("DE"));
    EXPECT_EQ(german.Translate("Main.ActiveCalls"), u"Aktive Gespräche");
}

} // namespace
} // namespace corvane
