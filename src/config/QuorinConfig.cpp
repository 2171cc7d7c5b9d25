#include "QuorinConfig.h"

#include "IniFile.h"
#include "Password.h"
#include "Platform.h"

#include <algorithm>

namespace corvane {

namespace {

constexpr const char* General = "General";

std::string UserSection(const TQuorinConfig& config) {
    return "User_" + config.WindowsUser;
}

std::string ColumnKey(size_t index) {
    return std::string("Col_") + ColumnKeys[index];
}

struct TListening {
    int Volume = 100;
    bool Mute = false;
    int Party = 0;
    bool Notify = false;
};

// The user's section overrides [General] key by key, as for the other values.
TListening ReadListening(const TIniFile& ini, const std::string& userSection) {
    TListening l;
    for (const std::string& section : {std::string(General), userSection}) {
        l.Volume = ini.ReadInteger(section, "Volume", l.Volume);
        l.Mute = ini.ReadBool(section, "Mute", l.Mute);
        l.Party = ini.ReadInteger(section, "Party", l.Party);
        l.Notify = ini.ReadBool(section, "Notify", l.Notify);
    }
    l.Volume = std::clamp(l.Volume, 0, 100);
    if (l.Party != 1 && l.Party != 2)
        l.Party = 0;
    return l;
}

void WriteListening(TIniFile& ini, const TQuorinConfig& config) {
    const std::string section = UserSection(config);
    const TListening inFile = ReadListening(ini, section);
    if (inFile.Volume != config.Volume)
        ini.WriteInteger(section, "Volume", config.Volume);
    if (inFile.Mute != config.Mute)
        ini.WriteBool(section, "Mute", config.Mute);
    if (inFile.Party != config.Party)
        ini.WriteInteger(section, "Party", config.Party);
    if (inFile.Notify != config.Notify)
        ini.WriteBool(section, "Notify", config.Notify);
}

} // namespace

TQuorinConfig::TQuorinConfig() : WindowsUser(CurrentUserName()) {}

void TQuorinConfig::Load(const std::string& path) {
    const TIniFile ini(path);
    Server.clear();
    UserName.clear();
    Password.clear();
    Secure = false;
    ServerPin.clear();
    Language = "US";
    StartAuto = false;
    Columns = DefaultColumns;

    // The user's section overrides [General] key by key.
    for (const std::string& section : {std::string(General), UserSection(*this)}) {
        Server = ini.ReadString(section, "Server", Server);
        UserName = ini.ReadString(section, "UserName", UserName);
        Password = ini.ReadString(section, "Password", Password);
        Secure = ini.ReadBool(section, "Secure", Secure);
        Language = ini.ReadString(section, "Language", Language);
        StartAuto = ini.ReadBool(section, "StartAuto", StartAuto);
    }
    // A pin is one user's trust in a recorder, never a shared default.
    ServerPin = ini.ReadString(UserSection(*this), "ServerPin", "");
    for (size_t i = 0; i < ColumnCount; ++i) {
        Columns[i] = ini.ReadBool(General, ColumnKey(i), Columns[i]);
        Columns[i] = ini.ReadBool(UserSection(*this), ColumnKey(i), Columns[i]);
    }
    Password = DecryptPassword(Password, PasswordPassphrase);
    const TListening listening = ReadListening(ini, UserSection(*this));
    Volume = listening.Volume;
    Mute = listening.Mute;
    Party = listening.Party;
    Notify = listening.Notify;
}

void TQuorinConfig::Save(const std::string& path) const {
    // The file holds the recorder password: for the user's eyes only.
    TIniFile ini(path, true);
    ini.WriteString(General, "Server", Server);
    ini.WriteBool(General, "Secure", Secure);
    ini.WriteString(General, "Language", Language);
    ini.WriteBool(General, "StartAuto", StartAuto);
    ini.WriteString(UserSection(*this), "UserName", UserName);
    ini.WriteString(UserSection(*this), "Password", EncryptPassword(Password, PasswordPassphrase));
    // Files without a pin stay as they were.
    if (!ServerPin.empty() || !ini.ReadString(UserSection(*this), "ServerPin", "").empty())
        ini.WriteString(UserSection(*this), "ServerPin", ServerPin);
    for (size_t i = 0; i < ColumnCount; ++i)
        ini.WriteBool(General, ColumnKey(i), Columns[i]);
    WriteListening(ini, *this);
}

void TQuorinConfig::SaveListening(const std::string& path) const {
    TIniFile ini(path, true);
    WriteListening(ini, *this);
}

bool ConnectionDiffers(const TQuorinConfig& a, const TQuorinConfig& b) {
    return a.UserName != b.UserName || a.Password != b.Password || a.Server != b.Server ||
           a.Secure != b.Secure || a.ServerPin != b.ServerPin;
}

bool Differs(const TQuorinConfig& a, const TQuorinConfig& b) {
    return ConnectionDiffers(a, b) || a.Language != b.Language || a.StartAuto != b.StartAuto ||
           a.Columns != b.Columns || a.Volume != b.Volume || a.Mute != b.Mute ||
           a.Party != b.Party || a.Notify != b.Notify;
}

} // namespace corvane
