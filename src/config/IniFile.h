#pragma once

// Reader and writer of Windows-style INI files that behaves like the Windows
// private-profile functions, so that a file written there reads the same here.
//
// Every call reads the whole file, and every write rewrites it at once; there
// is no cache, so two objects on the same path always agree. Rules:
// - lines end at CR, LF or CR LF and are trimmed of space, tab and vertical
//   tab; "[name]" starts a section; ";" starts a comment; "key=value" splits
//   at the first "="; lines before the first section are never read;
// - section and key names match without regard to letter case, non-ASCII
//   letters too (Unicode simple case folding of the UTF-8 text, whatever the
//   locale); only the first section of a name is searched, and in it the
//   first matching key;
// - a value quoted with matching ' or " loses that pair; a read returns at
//   most 2047 bytes (never half a UTF-8 character);
// - a write replaces an existing key on its own line (keeping the file's
//   spelling), puts a new key after the last key line of its section and a
//   new section at the end of the file; lines it writes end in CR LF; every
//   other byte of the file stays as it was; the new content is written to a
//   temporary file (mode 0600) beside it, which then takes its place with the
//   file's permission bits; only where the folder forbids that file is an
//   existing file rewritten in place; a read-only file (no write bit for its
//   owner) is never written, although the folder would allow the rename;
// - a file that starts with the UTF-16 LE byte-order mark (FF FE) is read as
//   UTF-16 and written back in UTF-16 LE with its mark;
// - a file larger than MaxFileSize is not read (reads give the default) and
//   not rewritten (writes fail).
// Not thread-safe across writers; the program reads and writes its files on
// the UI thread only.

#include <stdexcept>
#include <string>
#include <string_view>
#include <unordered_map>

namespace corvane {

// A write that could not be made. what() is "Unable to write to <path>";
// Reason() says why, for the log.
class EIniFileError : public std::runtime_error {
public:
    EIniFileError(const std::string& path, std::string reason);
    const std::string& Reason() const { return FReason; }

private:
    std::string FReason;
};

class TIniFile {
public:
    // Longest value a read returns, in bytes.
    static constexpr size_t MaxValueLength = 2047;
    // Far beyond any settings file or update manifest; bounds what a broken
    // file costs, since every call reads the whole file.
    static constexpr size_t MaxFileSize = 16 * 1024 * 1024;

    // `ownerOnly`: the file holds secrets. A write creates it readable and
    // writable by its owner only and takes every group and other permission
    // off an existing file. Otherwise a new file gets 0666 less the umask and
    // an existing one keeps its permission bits.
    explicit TIniFile(std::string path, bool ownerOnly = false)
        : FFileName(std::move(path)), FOwnerOnly(ownerOnly) {}

    const std::string& FileName() const { return FFileName; }

    // Missing file, section or key: `def`.
    std::string ReadString(std::string_view section, std::string_view key,
                           const std::string& def) const;
    // The value as a whole integer (see ParseIniInteger); `def` when the key
    // is missing or its value is not an integer.
    int ReadInteger(std::string_view section, std::string_view key, int def) const;
    // Any nonzero integer is true.
    bool ReadBool(std::string_view section, std::string_view key, bool def) const;

    // Throw EIniFileError when the file cannot be written, and when a name or
    // the value holds a line break (or a key an "=", a section a "]"), which
    // would change the file's structure instead of storing the text. The old
    // file stays intact when a write fails.
    void WriteString(std::string_view section, std::string_view key, std::string_view value);
    void WriteInteger(std::string_view section, std::string_view key, int value);
    void WriteBool(std::string_view section, std::string_view key, bool value);

private:
    std::string FFileName;
    bool FOwnerOnly;
};

// An INI text parsed once and read by the same rules as TIniFile, for a file
// read key by key many times in a row (the update manifest), where reading
// the file again for every key would parse it once per key. Holds a copy of
// what it needs; the text may go away.
class TIniText {
public:
    // `bytes`: the file's content as read (UTF-16 LE with its mark too).
    explicit TIniText(std::string_view bytes);

    std::string ReadString(std::string_view section, std::string_view key,
                           const std::string& def) const;
    int ReadInteger(std::string_view section, std::string_view key, int def) const;
    bool ReadBool(std::string_view section, std::string_view key, bool def) const;

private:
    // Case-folded section name -> case-folded key name -> value as read;
    // only the first section of a name and in it the first key of a name.
    std::unordered_map<std::string, std::unordered_map<std::string, std::string>> FSections;
};

// Whole-text integer: optional sign, then decimal digits, or hexadecimal
// digits after "$", or after "0x"/"0X" (only when the text is at least three
// characters long). Hexadecimal values up to FFFFFFFF wrap into the 32-bit
// range. False when the text is not such an integer or does not fit.
bool ParseIniInteger(std::string_view text, int& value);

} // namespace corvane
