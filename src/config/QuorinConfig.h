#pragma once

// The client's settings record and its settings file ("client.ini"): shared
// values in [General], per-user values in [User_<login name>], which override
// the shared ones key by key when read.

#include <array>
#include <cstddef>
#include <string>

namespace corvane {

inline constexpr size_t ColumnCount = 9;

// Keys of the grid columns, in the order of the column list and the grid.
// They name the grid columns, the "Col_" keys of the settings file and,
// behind "Cols.", the translation keys of the column titles.
inline constexpr std::array<const char*, ColumnCount> ColumnKeys = {
    "startdate", "length", "direction", "remoteID", "rname",
    "connected", "cname",  "localID",   "lname"};

// Visibility of each column when the settings file says nothing.
inline constexpr std::array<bool, ColumnCount> DefaultColumns = {true,  true,  true, true, true,
                                                                 false, false, true, true};

// Plain record with value semantics, used on the UI thread; the session
// keeps its own copy.
struct TQuorinConfig {
    std::string WindowsUser; // login name; never read from or written to the file
    std::string Server;      // host or address, optionally ":port"
    bool Secure = false;     // HTTPS instead of HTTP
    // Per user: the recorder's key pin ("sha256//" + base64), used when
    // Secure is on; empty: any certificate is taken.
    std::string ServerPin;
    std::string UserName;
    std::string Password; // plain text here; encrypted in the file
    std::string Language = "US";
    bool StartAuto = false; // listen to a new call by itself
    std::array<bool, ColumnCount> Columns = DefaultColumns;
    // What the listener hears; per user. Written only when they differ from
    // what the file already yields, so a file without them stays as it was.
    int Volume = 100; // percent, 0..100
    bool Mute = false;
    int Party = 0; // two-channel streams: 0 both, 1 first channel, 2 second channel
    // Per user, written like the listening level: a tray notice of new calls.
    bool Notify = false;

    // Fills WindowsUser from the platform (empty when unknown); every other
    // field starts at the value Load applies when the file says nothing.
    TQuorinConfig();

    // Reads every field but WindowsUser. Never fails: a missing or unreadable
    // file, section or key leaves that field at its default.
    void Load(const std::string& path);
    // Writes the record; the folder must exist. The file holds the password,
    // so it is kept to its owner: created 0600, and an existing file loses its
    // group and other permissions. Throws EIniFileError when a
    // write fails; the file then stays as the last successful write left it.
    void Save(const std::string& path) const;
    // Writes Volume, Mute, Party and Notify alone, each only where the file yields
    // another value. Throws EIniFileError like Save.
    void SaveListening(const std::string& path) const;
};

// Whether two records differ in anything the user can edit (all fields but
// WindowsUser; texts compared byte by byte).
bool Differs(const TQuorinConfig& a, const TQuorinConfig& b);

// Whether they differ in what the connection to the recorder depends on:
// UserName, Password, Server, Secure or ServerPin.
bool ConnectionDiffers(const TQuorinConfig& a, const TQuorinConfig& b);

} // namespace corvane
