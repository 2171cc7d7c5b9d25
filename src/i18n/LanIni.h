#pragma once

// The translation table: the texts of the current language, loaded from
// "Corvane_<code>.uln" beside the program, looked up by "Section.Entry" keys.
//
// File format: UTF-16 LE or BE with a byte-order mark, UTF-8 with one, or
// else 8-bit text (UTF-8 here). Lines are trimmed; ";" lines are comments;
// "[Name]" starts a section; "Entry=Text" lines inside a section are entries,
// stored under "Name.Entry" spelled as in the file. A section or entry name
// that repeats (ignoring ASCII case) is taken from its first occurrence only.
// In texts, "\\" becomes "\" and then "\n" a line feed.
//
// Used on the UI thread only; nothing is locked.

#include <map>
#include <memory>
#include <string>

namespace corvane {

// Key order is byte order: "main.options" is not "Main.Options".
using TLanTable = std::map<std::string, std::u16string>;

class TLanIniWImp {
public:
    // Replaces the whole table by the file's entries; a missing or unreadable
    // file leaves the table empty.
    void Load(const std::string& path);
    // The text of `key`; else writes "Missing translation for <key>" to the
    // debugger output and returns the key itself.
    std::u16string Translate(const std::string& key) const;
    bool HasKey(const std::string& key) const;
    const std::string& FileName() const { return FFileName; }
    const TLanTable& Table() const { return FTable; }

private:
    std::string FFileName;
    TLanTable FTable;
};

// Handle that owns exactly one implementation object for its whole life.
class TLanIniW {
public:
    TLanIniW();
    ~TLanIniW();
    TLanIniW(const TLanIniW&) = delete;
    TLanIniW& operator=(const TLanIniW&) = delete;

    void Load(const std::string& path) { FImp->Load(path); }
    std::u16string Translate(const std::string& key) const { return FImp->Translate(key); }
    bool HasKey(const std::string& key) const { return FImp->HasKey(key); }
    const std::string& FileName() const { return FImp->FileName(); }
    const TLanTable& Table() const { return FImp->Table(); }

private:
    const std::unique_ptr<TLanIniWImp> FImp;
};

// The program-wide table. It is created on first use (so it exists before
// any window, whatever the order of static initialisation) and never
// destroyed (so destructors that run at exit may still use it); it starts
// empty, so every Translate returns its key until a file is loaded.
TLanIniW& LanIni();

} // namespace corvane
