#include "QuorinConfig.h"
#include "IniFile.h"
#include "Platform.h"
#include "TestSupport.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include <sys/stat.h>

namespace corvane {
namespace {

using test::ReadFile;
using test::TempDir;
using test::WriteFile;
using testing::StrEq;
using testing::ThrowsMessage;

template <typename Case> std::string CaseName(const testing::TestParamInfo<Case>& info) {
    return info.param.name;
}

TQuorinConfig ConfigFor(const std::string& windowsUser) {
    TQuorinConfig c;
    c.WindowsUser = windowsUser;
    return c;
}

TQuorinConfig LoadFrom(const std::string& content, const std::string& windowsUser) {
    TempDir dir;
    WriteFile(dir.File("client.ini"), content);
    TQuorinConfig c = ConfigFor(windowsUser);
    c.Load(dir.File("client.ini"));
    return c;
}

void ExpectDefaults(const TQuorinConfig& c) {
    EXPECT_EQ(c.Server, "");
    EXPECT_EQ(c.UserName, "");
    EXPECT_EQ(c.Password, "");
    EXPECT_FALSE(c.Secure);
    EXPECT_EQ(c.Language, "US");
    EXPECT_FALSE(c.StartAuto);
    EXPECT_EQ(c.Columns,
              (std::array<bool, 9>{true, true, true, true, true, false, false, true, true}));
    EXPECT_EQ(c.Volume, 100);
    EXPECT_FALSE(c.Mute);
    EXPECT_EQ(c.Party, 0);
}

TEST(QuorinConfigTest, ConstructorTakesLoginNameAndDefaults) {
    const TQuorinConfig c;
    EXPECT_EQ(c.WindowsUser, CurrentUserName());
    ExpectDefaults(c);
}

TEST(QuorinConfigTest, MissingFileGivesDefaults) {
    TempDir dir;
    TQuorinConfig c = ConfigFor("jsmith");
    c.Server = "left over";
    c.Columns.fill(false);
    c.Load(dir.File("client.ini"));
    ExpectDefaults(c);
    EXPECT_EQ(c.WindowsUser, "jsmith");
}

TEST(QuorinConfigTest, ReadsFreshInstallationFile) {
    TQuorinConfig c = ConfigFor("jsmith");
    c.Load(test::TestDataDir() + "/config/client.ini");
    EXPECT_EQ(c.WindowsUser, "jsmith");
    EXPECT_EQ(c.Server, "192.168.1.20");
    EXPECT_FALSE(c.Secure);
    EXPECT_EQ(c.UserName, "supervisor");
    EXPECT_EQ(c.Password, "secret");
    EXPECT_EQ(c.Language, "US");
    EXPECT_FALSE(c.StartAuto);
    EXPECT_EQ(c.Columns, DefaultColumns);
}

TEST(QuorinConfigTest, SaveOfFreshRecordWritesInstallationLayout) {
    TempDir dir;
    TQuorinConfig c = ConfigFor("jsmith");
    c.Server = "192.168.1.20";
    c.UserName = "supervisor";
    c.Password = "secret";
    c.Save(dir.File("client.ini"));
    EXPECT_EQ(ReadFile(dir.File("client.ini")),
              ReadFile(test::TestDataDir() + "/config/client.ini"));
}

// --- Per-user overrides -------------------------------------------------------

struct LoadCase {
    std::string name;
    std::string file;
    std::string windowsUser;
    std::function<std::string(const TQuorinConfig&)> field;
    std::string expected;
};

class QuorinConfigLoadTest : public testing::TestWithParam<LoadCase> {};

TEST_P(QuorinConfigLoadTest, Field) {
    const TQuorinConfig c = LoadFrom(GetParam().file, GetParam().windowsUser);
    EXPECT_EQ(GetParam().field(c), GetParam().expected);
}

std::string ServerOf(const TQuorinConfig& c) {
    return c.Server;
}
std::string UserNameOf(const TQuorinConfig& c) {
    return c.UserName;
}
std::string PasswordOf(const TQuorinConfig& c) {
    return c.Password;
}
std::string SecureOf(const TQuorinConfig& c) {
    return c.Secure ? "true" : "false";
}
std::string ServerPinOf(const TQuorinConfig& c) {
    return c.ServerPin;
}
std::string StartAutoOf(const TQuorinConfig& c) {
    return c.StartAuto ? "true" : "false";
}
std::string CnameOf(const TQuorinConfig& c) {
    return c.Columns[6] ? "shown" : "hidden";
}
std::string StartdateOf(const TQuorinConfig& c) {
    return c.Columns[0] ? "shown" : "hidden";
}
std::string VolumeOf(const TQuorinConfig& c) {
    return std::to_string(c.Volume);
}
std::string MuteOf(const TQuorinConfig& c) {
    return c.Mute ? "true" : "false";
}
std::string PartyOf(const TQuorinConfig& c) {
    return std::to_string(c.Party);
}

const std::string TwoServers =
    "[General]\r\nServer=10.0.0.1\r\n[User_jsmith]\r\nServer=10.0.0.2\r\n";
// "secret" as the settings file stores it.
const std::string SecretLetters = "PKEJPKCFJNGCPGEDCHLGDPCPCAELJOGN";

INSTANTIATE_TEST_SUITE_P(
    Cases, QuorinConfigLoadTest,
    testing::ValuesIn(std::vector<LoadCase>{
        {"UserSectionOverrides", TwoServers, "jsmith", ServerOf, "10.0.0.2"},
        {"OtherUserGetsGeneral", TwoServers, "mmiller", ServerOf, "10.0.0.1"},
        {"LowerCaseSectionFound", "[general]\r\nServer=a\r\n[user_jsmith]\r\nServer=b\r\n",
         "JSmith", ServerOf, "b"},
        {"EmptyLoginNameUsesUserUnderscore", "[User_]\r\nServer=c\r\n", "", ServerOf, "c"},
        {"LatinLoginNameFindsCapitalSection", "[User_JÖRG]\r\nServer=b\r\n", "Jörg", ServerOf, "b"},
        {"GreekLoginNameFindsCapitalSection", "[User_ΕΛΈΝΗ]\r\nServer=b\r\n", "Ελένη", ServerOf,
         "b"},
        {"CyrillicLoginNameFindsSmallSection", "[user_игорь]\r\nServer=b\r\n", "Игорь", ServerOf,
         "b"},
        {"ColumnHiddenByUserSection",
         "[General]\r\nCol_cname=1\r\n[User_jsmith]\r\nCol_cname=0\r\n", "jsmith", CnameOf,
         "hidden"},
        {"ColumnShownByGeneral", "[General]\r\nCol_cname=1\r\n", "jsmith", CnameOf, "shown"},
        {"ColumnOnlyInUserSection", "[User_jsmith]\r\nCol_startdate=0\r\n", "jsmith", StartdateOf,
         "hidden"},
        {"SecureHexTrue", "[General]\r\nSecure=0x1\r\n", "jsmith", SecureOf, "true"},
        {"SecureWordIsDefault", "[General]\r\nSecure=yes\r\n", "jsmith", SecureOf, "false"},
        {"SecureWordInUserSectionKeepsGeneral",
         "[General]\r\nSecure=1\r\n[User_jsmith]\r\nSecure=yes\r\n", "jsmith", SecureOf, "true"},
        {"StartAutoFromUserSection", "[User_jsmith]\r\nStartAuto=1\r\n", "jsmith", StartAutoOf,
         "true"},
        {"CredentialsInGeneralServeEveryUser",
         "[General]\r\nUserName=shared\r\nPassword=" + SecretLetters + "\r\n", "mmiller",
         PasswordOf, "secret"},
        {"UserNameOfOwnSectionWins",
         "[General]\r\nUserName=shared\r\n[User_jsmith]\r\nUserName=own\r\n", "jsmith", UserNameOf,
         "own"},
        {"EmptyPasswordKey", "[User_jsmith]\r\nPassword=\r\n", "jsmith", PasswordOf, ""},
        {"VolumeOfOwnSectionWins", "[General]\r\nVolume=20\r\n[User_jsmith]\r\nVolume=65\r\n",
         "jsmith", VolumeOf, "65"},
        {"VolumeOfOtherUserIgnored", "[User_mmiller]\r\nVolume=65\r\n", "jsmith", VolumeOf, "100"},
        {"VolumeAboveRangeIsFull", "[User_jsmith]\r\nVolume=250\r\n", "jsmith", VolumeOf, "100"},
        {"VolumeBelowRangeIsSilent", "[User_jsmith]\r\nVolume=-4\r\n", "jsmith", VolumeOf, "0"},
        {"VolumeWordIsDefault", "[User_jsmith]\r\nVolume=loud\r\n", "jsmith", VolumeOf, "100"},
        {"MuteFromUserSection", "[User_jsmith]\r\nMute=1\r\n", "jsmith", MuteOf, "true"},
        {"PartySecond", "[User_jsmith]\r\nParty=2\r\n", "jsmith", PartyOf, "2"},
        {"PartyOutOfRangeIsBoth", "[User_jsmith]\r\nParty=3\r\n", "jsmith", PartyOf, "0"},
        // A pin is one user's trust in a recorder: [General] never gives one.
        {"PinFromUserSection",
         "[General]\r\nServerPin=sha256//g=\r\n[User_jsmith]\r\nServerPin=sha256//u=\r\n", "jsmith",
         ServerPinOf, "sha256//u="},
        {"PinInGeneralIgnored", "[General]\r\nServerPin=sha256//g=\r\n", "mmiller", ServerPinOf,
         ""},
    }),
    CaseName<LoadCase>);

#ifdef _WIN32
// On Windows the settings belong to the Windows login.
TEST(QuorinConfigTest, TheUsersSectionIsNamedAfterTheWindowsLogin) {
    const char* user = std::getenv("USERNAME");
    ASSERT_NE(user, nullptr);
    EXPECT_EQ(TQuorinConfig().WindowsUser, user);
}
#endif

// --- Save ---------------------------------------------------------------------

TQuorinConfig Edited(const std::string& windowsUser) {
    TQuorinConfig c = ConfigFor(windowsUser);
    c.Server = "recorder.example:8443";
    c.Secure = true;
    c.UserName = "Ann Lee";
    c.Password = "p\xC3\xA4ss & w=rd 0123456789";
    c.Language = "DE";
    c.StartAuto = true;
    c.Columns = {false, true, false, true, false, true, false, true, false};
    c.Volume = 35;
    c.Mute = true;
    c.Party = 2;
    c.Notify = true;
    return c;
}

TEST(QuorinConfigTest, SaveThenLoadGivesEqualRecord) {
    TempDir dir;
    const TQuorinConfig saved = Edited("jsmith");
    saved.Save(dir.File("client.ini"));
    TQuorinConfig loaded = ConfigFor("jsmith");
    loaded.Load(dir.File("client.ini"));
    EXPECT_FALSE(Differs(saved, loaded));
    EXPECT_EQ(loaded.Password, saved.Password);
}

// --- Listening level: written only where the file yields another value ---------

struct ListeningSaveCase {
    std::string name;
    std::string before;
    int volume;
    bool mute;
    int party;
    std::string after;
    bool notify = false;
};

class QuorinConfigListeningTest : public testing::TestWithParam<ListeningSaveCase> {};

TEST_P(QuorinConfigListeningTest, SaveListeningWritesOnlyChanges) {
    const ListeningSaveCase& c = GetParam();
    TempDir dir;
    const std::string path = dir.File("client.ini");
    WriteFile(path, c.before);
    TQuorinConfig config = ConfigFor("jsmith");
    config.Load(path);
    config.Volume = c.volume;
    config.Mute = c.mute;
    config.Party = c.party;
    config.Notify = c.notify;
    config.SaveListening(path);
    EXPECT_EQ(ReadFile(path), c.after);
    TQuorinConfig loaded = ConfigFor("jsmith");
    loaded.Load(path);
    EXPECT_EQ(loaded.Volume, c.volume);
    EXPECT_EQ(loaded.Mute, c.mute);
    EXPECT_EQ(loaded.Party, c.party);
    EXPECT_EQ(loaded.Notify, c.notify);
}

const std::string OldFile = "; old\r\n[General]\r\nServer=10.0.0.1\r\n[User_jsmith]\r\n"
                            "UserName=sup\r\n\r\n";

INSTANTIATE_TEST_SUITE_P(
    Cases, QuorinConfigListeningTest,
    testing::ValuesIn(std::vector<ListeningSaveCase>{
        {"DefaultsLeaveOldFileAlone", OldFile, 100, false, 0, OldFile},
        {"VolumeAloneAdded", OldFile, 50, false, 0,
         "; old\r\n[General]\r\nServer=10.0.0.1\r\n[User_jsmith]\r\nUserName=sup\r\n"
         "Volume=50\r\n\r\n"},
        {"AllThreeAdded", OldFile, 0, true, 1,
         "; old\r\n[General]\r\nServer=10.0.0.1\r\n[User_jsmith]\r\nUserName=sup\r\n"
         "Volume=0\r\nMute=1\r\nParty=1\r\n\r\n"},
        {"ExistingKeyReplacedInPlace", "[User_jsmith]\r\nvolume=30\r\nMute=1\r\n", 80, true, 0,
         "[User_jsmith]\r\nvolume=80\r\nMute=1\r\n"},
        {"BackToDefaultWritesDefault", "[User_jsmith]\r\nParty=2\r\n", 100, false, 0,
         "[User_jsmith]\r\nParty=0\r\n"},
        {"SameAsGeneralNotWritten", "[General]\r\nVolume=40\r\n", 40, false, 0,
         "[General]\r\nVolume=40\r\n"},
        {"OtherUsersSectionUntouched", "[User_mmiller]\r\nVolume=10\r\n", 70, false, 2,
         "[User_mmiller]\r\nVolume=10\r\n[User_jsmith]\r\nVolume=70\r\nParty=2\r\n"},
        {"NotifyAlone", OldFile, 100, false, 0,
         "; old\r\n[General]\r\nServer=10.0.0.1\r\n[User_jsmith]\r\nUserName=sup\r\n"
         "Notify=1\r\n\r\n",
         true},
    }),
    CaseName<ListeningSaveCase>);

TEST(QuorinConfigTest, SaveOfOldFileAddsNoListeningKeys) {
    TempDir dir;
    const std::string path = dir.File("client.ini");
    WriteFile(path, OldFile);
    TQuorinConfig c = ConfigFor("jsmith");
    c.Load(path);
    c.Save(path);
    const std::string after = ReadFile(path);
    for (const char* key : {"Volume", "Mute", "Party", "Notify"})
        EXPECT_EQ(after.find(key), std::string::npos) << key;
}

TEST(QuorinConfigTest, PinIsSavedForItsUserOnly) {
    TempDir dir;
    const std::string file = dir.File("client.ini");
    TQuorinConfig c = Edited("jsmith");
    c.ServerPin = "sha256//abc=";
    c.Save(file);
    TQuorinConfig own = ConfigFor("jsmith");
    own.Load(file);
    EXPECT_EQ(own.ServerPin, "sha256//abc=");
    TQuorinConfig other = ConfigFor("mmiller");
    other.Load(file);
    EXPECT_EQ(other.ServerPin, "");
    c.ServerPin.clear();
    c.Save(file);
    own.Load(file);
    EXPECT_EQ(own.ServerPin, "");
}

TEST(QuorinConfigTest, SaveOfEmptyPasswordWritesEmptyKey) {
    TempDir dir;
    TQuorinConfig c = Edited("jsmith");
    c.Password.clear();
    c.Save(dir.File("client.ini"));
    EXPECT_NE(
        ReadFile(dir.File("client.ini")).find("[User_jsmith]\r\nUserName=Ann Lee\r\nPassword=\r\n"),
        std::string::npos);
    TQuorinConfig loaded = ConfigFor("jsmith");
    loaded.Load(dir.File("client.ini"));
    EXPECT_EQ(loaded.Password, "");
}

TEST(QuorinConfigTest, OverridingUserKeysSurviveSave) {
    TempDir dir;
    const std::string path = dir.File("client.ini");
    WriteFile(path, "[General]\r\n[User_jsmith]\r\nServer=10.0.0.2\r\n");
    TQuorinConfig c = Edited("jsmith");
    c.Save(path);
    TQuorinConfig loaded = ConfigFor("jsmith");
    loaded.Load(path);
    // Save writes Server to [General]; the user's own key still wins.
    EXPECT_EQ(loaded.Server, "10.0.0.2");
}

// A file written by Save and then edited by hand keeps every line that a
// later Save does not own, byte for byte.
TEST(QuorinConfigTest, SaveKeepsHandEditedLines) {
    TempDir dir;
    const std::string path = dir.File("client.ini");
    const std::string handEdited = "; written by the installer\n"
                                   "Server=ignored before any section\r\n"
                                   "\r\n"
                                   "[GENERAL]\r\n"
                                   "  SERVER = 10.0.0.9   \r\n"
                                   "; the language of the team\r\n"
                                   "language=FR\r\n"
                                   "Secure=0\r\n"
                                   "StartAuto=0\r\n"
                                   "Extra=kept \"as is\"\t\r\n"
                                   "\r\n"
                                   "; columns follow\r\n"
                                   "[Other]\n"
                                   "Server=untouched\n"
                                   "[user_JSMITH]\r\n"
                                   "username=old\r\n"
                                   "\r\n";
    WriteFile(path, handEdited);
    TQuorinConfig c = ConfigFor("jsmith");
    c.Load(path);
    EXPECT_EQ(c.Server, "10.0.0.9");
    EXPECT_EQ(c.Language, "FR");
    c.Server = "10.0.0.10";
    c.Password = "pw";
    c.Save(path);

    // Letters of "pw", computed with the openssl command.
    const std::string expected = "; written by the installer\n"
                                 "Server=ignored before any section\r\n"
                                 "\r\n"
                                 "[GENERAL]\r\n"
                                 "SERVER=10.0.0.10\r\n"
                                 "; the language of the team\r\n"
                                 "language=FR\r\n"
                                 "Secure=0\r\n"
                                 "StartAuto=0\r\n"
                                 "Extra=kept \"as is\"\t\r\n"
                                 "Col_startdate=1\r\nCol_length=1\r\nCol_direction=1\r\n"
                                 "Col_remoteID=1\r\nCol_rname=1\r\nCol_connected=0\r\n"
                                 "Col_cname=0\r\nCol_localID=1\r\nCol_lname=1\r\n"
                                 "\r\n"
                                 "; columns follow\r\n"
                                 "[Other]\n"
                                 "Server=untouched\n"
                                 "[user_JSMITH]\r\n"
                                 "username=old\r\n"
                                 "Password=HNEJFKNOIJNFIAPBEJFBNAGFOEAOCEHF\r\n"
                                 "\r\n";
    EXPECT_EQ(ReadFile(path), expected);

    TQuorinConfig loaded = ConfigFor("jsmith");
    loaded.Load(path);
    EXPECT_FALSE(Differs(c, loaded));
}

// The file holds the password: a new one is the user's alone, and one that
// others could read is closed to them by the next Save.
// Windows has no permission bits for a file or a folder; there the access
// list of the per-user folder keeps the file to its owner.
#ifndef _WIN32
TEST(QuorinConfigTest, SaveKeepsTheFileToItsOwner) {
    const mode_t oldMask = ::umask(0);
    TempDir dir;
    const std::string path = dir.File("client.ini");
    const auto mode = [&] {
        struct stat st {};
        EXPECT_EQ(::stat(path.c_str(), &st), 0);
        return st.st_mode & 07777;
    };
    Edited("jsmith").Save(path);
    EXPECT_EQ(mode(), 0600u);
    ASSERT_EQ(::chmod(path.c_str(), 0664), 0);
    Edited("jsmith").Save(path);
    EXPECT_EQ(mode(), 0600u);
    ::umask(oldMask);
    TQuorinConfig loaded = ConfigFor("jsmith");
    loaded.Load(path);
    EXPECT_FALSE(Differs(loaded, Edited("jsmith")));
}

#endif // _WIN32

TEST(QuorinConfigTest, SaveBelowRegularFileRaisesWriteError) {
    TempDir dir;
    WriteFile(dir.File("folder"), "not a folder");
    const std::string path = dir.File("folder") + "/client.ini";
    EXPECT_THAT([&] { Edited("jsmith").Save(path); },
                ThrowsMessage<EIniFileError>(StrEq("Unable to write to " + path)));
}

#ifndef _WIN32
TEST(QuorinConfigTest, SaveIntoReadOnlyFolderRaisesWriteError) {
    if (::geteuid() == 0)
        GTEST_SKIP() << "root ignores permission bits; SaveBelowRegularFileRaisesWriteError "
                        "covers the error";
    TempDir dir;
    ::chmod(dir.Path().c_str(), 0555);
    const std::string path = dir.File("client.ini");
    EXPECT_THAT([&] { Edited("jsmith").Save(path); },
                ThrowsMessage<EIniFileError>(StrEq("Unable to write to " + path)));
}
#endif

// --- A settings file in UTF-16 -----------------------------------------------

// An editor saved it in UTF-16 LE: the user section of "Jörg" in capitals.
const std::string kUtf16File = test::TestDataDir() + "/config/client-utf16.ini";

std::string Utf16Bytes(std::u16string_view text) {
    std::string bytes;
    for (const char16_t unit : text) {
        bytes += static_cast<char>(unit & 0xFF);
        bytes += static_cast<char>(unit >> 8);
    }
    return bytes;
}

TEST(QuorinConfigTest, Utf16FileLoads) {
    TQuorinConfig c = ConfigFor("Jörg");
    c.Load(kUtf16File);
    EXPECT_EQ(c.Server, "192.168.1.20");
    EXPECT_EQ(c.Language, "DE");
    EXPECT_EQ(c.UserName, "Jörg Müller");
    EXPECT_EQ(c.Password, "secret");
    EXPECT_EQ(c.Columns, DefaultColumns);
}

// Saved back in its own encoding, every line where it stood; the user's keys
// go to the section the file already has for them.
TEST(QuorinConfigTest, Utf16FileSavedAsUtf16) {
    TempDir dir;
    const std::string path = dir.File("client.ini");
    const std::string original = ReadFile(kUtf16File);
    WriteFile(path, original);
    TQuorinConfig c = ConfigFor("Jörg");
    c.Load(path);
    c.Save(path);
    EXPECT_EQ(ReadFile(path), original);

    c.Server = "10.0.0.7";
    c.Save(path);
    std::string expected = original;
    const std::string before = Utf16Bytes(u"Server=192.168.1.20");
    expected.replace(expected.find(before), before.size(), Utf16Bytes(u"Server=10.0.0.7"));
    EXPECT_EQ(ReadFile(path), expected);
}

TEST(QuorinConfigTest, SaveToReadOnlyFileRaisesWriteError) {
    TempDir dir;
    const std::string path = dir.File("client.ini");
    WriteFile(path, ReadFile(test::TestDataDir() + "/config/client.ini"));
    ASSERT_EQ(::chmod(path.c_str(), 0400), 0);
    EXPECT_THAT([&] { Edited("jsmith").Save(path); },
                ThrowsMessage<EIniFileError>(StrEq("Unable to write to " + path)));
    EXPECT_EQ(ReadFile(path), ReadFile(test::TestDataDir() + "/config/client.ini"));
}

// --- Differs ------------------------------------------------------------------

struct DiffCase {
    std::string name;
    std::function<void(TQuorinConfig&)> change;
    bool differs;
    bool connection;
};

class QuorinConfigDiffersTest : public testing::TestWithParam<DiffCase> {};

TEST_P(QuorinConfigDiffersTest, Compare) {
    const TQuorinConfig a = Edited("jsmith");
    TQuorinConfig b = a;
    GetParam().change(b);
    EXPECT_EQ(Differs(a, b), GetParam().differs);
    EXPECT_EQ(Differs(b, a), GetParam().differs);
    EXPECT_EQ(ConnectionDiffers(a, b), GetParam().connection);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, QuorinConfigDiffersTest,
    testing::ValuesIn(std::vector<DiffCase>{
        {"Copy", [](TQuorinConfig&) {}, false, false},
        {"WindowsUserOnly", [](TQuorinConfig& c) { c.WindowsUser = "other"; }, false, false},
        {"ServerCase", [](TQuorinConfig& c) { c.Server = "Recorder.example:8443"; }, true, true},
        {"Secure", [](TQuorinConfig& c) { c.Secure = false; }, true, true},
        {"UserName", [](TQuorinConfig& c) { c.UserName = "ann lee"; }, true, true},
        {"Password", [](TQuorinConfig& c) { c.Password += "x"; }, true, true},
        {"ServerPin", [](TQuorinConfig& c) { c.ServerPin = "sha256//x="; }, true, true},
        {"Language", [](TQuorinConfig& c) { c.Language = "FR"; }, true, false},
        {"StartAuto", [](TQuorinConfig& c) { c.StartAuto = false; }, true, false},
        {"OneColumn", [](TQuorinConfig& c) { c.Columns[8] = true; }, true, false},
        {"Volume", [](TQuorinConfig& c) { c.Volume = 99; }, true, false},
        {"Mute", [](TQuorinConfig& c) { c.Mute = false; }, true, false},
        {"Party", [](TQuorinConfig& c) { c.Party = 1; }, true, false},
    }),
    CaseName<DiffCase>);

} // namespace
} // namespace corvane
