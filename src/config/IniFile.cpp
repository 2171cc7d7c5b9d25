#include "IniFile.h"

#include "Files.h"
#include "Platform.h"

#include <cerrno>
#include <charconv>
#include <climits>
#include <cstdint>
#include <cstring>
#include <optional>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace corvane {

namespace {

bool IsBlank(char c) {
    return c == ' ' || c == '\t' || c == '\v';
}

std::string_view Trim(std::string_view s) {
    while (!s.empty() && IsBlank(s.front()))
        s.remove_prefix(1);
    while (!s.empty() && IsBlank(s.back()))
        s.remove_suffix(1);
    return s;
}

char AsciiLower(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool SameName(std::string_view a, std::string_view b) {
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (AsciiLower(a[i]) != AsciiLower(b[i]))
            return false;
    }
    return true;
}

// One line of the file: its bytes [begin, end), the line break up to next.
struct TLine {
    enum Kind { Other, Section, Key };
    size_t begin = 0;
    size_t end = 0;
    size_t next = 0;
    Kind kind = Other;
    std::string_view name;  // section or key name, trimmed
    std::string_view value; // key value, trimmed
};

std::vector<TLine> SplitIni(std::string_view text) {
    std::vector<TLine> lines;
    size_t pos = 0;
    while (pos < text.size()) {
        TLine line;
        line.begin = pos;
        size_t end = pos;
        while (end < text.size() && text[end] != '\r' && text[end] != '\n')
            ++end;
        line.end = end;
        if (end < text.size())
            end += (text[end] == '\r' && end + 1 < text.size() && text[end + 1] == '\n') ? 2 : 1;
        line.next = end;
        pos = end;

        const std::string_view content = Trim(text.substr(line.begin, line.end - line.begin));
        if (!content.empty() && content.front() == '[') {
            const size_t close = content.find(']');
            line.kind = TLine::Section;
            line.name =
                Trim(content.substr(1, close == std::string_view::npos ? close : close - 1));
        } else if (!content.empty() && content.front() != ';') {
            const size_t eq = content.find('=');
            if (eq != std::string_view::npos) {
                line.kind = TLine::Key;
                line.name = Trim(content.substr(0, eq));
                line.value = Trim(content.substr(eq + 1));
            }
        }
        lines.push_back(line);
    }
    return lines;
}

// Where a key stands in the first section of its name.
struct TKeyPlace {
    const TLine* section = nullptr; // header of the first matching section
    const TLine* key = nullptr;     // first matching key line in it
    const TLine* lastKey = nullptr; // last key line of that section
};

TKeyPlace FindKey(const std::vector<TLine>& lines, std::string_view section, std::string_view key) {
    TKeyPlace place;
    for (const TLine& line : lines) {
        if (line.kind == TLine::Section) {
            if (place.section)
                break; // only the first section of a name counts
            if (SameName(line.name, section))
                place.section = &line;
        } else if (place.section && line.kind == TLine::Key) {
            place.lastKey = &line;
            if (!place.key && SameName(line.name, key))
                place.key = &line;
        }
    }
    return place;
}

std::string ErrorText(const char* what, int err) {
    return std::string(what) + ": " + std::strerror(err);
}

// The file's content; std::nullopt with errno set when it cannot be read
// (ENOENT for a missing file). A file past the limit is logged.
std::optional<std::string> ReadIni(const std::string& path) {
    bool tooLarge = false;
    std::optional<std::string> text = ReadWholeFile(path, TIniFile::MaxFileSize, &tooLarge);
    if (tooLarge) {
        DebugOutput("INI file " + path + " is larger than " +
                    std::to_string(TIniFile::MaxFileSize) + " bytes; not read");
        errno = EFBIG;
    }
    return text;
}

bool WriteAll(int fd, const std::string& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

// Rewrites an existing file in place; only used when its folder forbids the
// temporary file. A failure half-way can leave it damaged, which is why
// ReplaceFile prefers a temporary.
void RewriteInPlace(const std::string& path, const std::string& bytes, mode_t mode) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0)
        throw EIniFileError(path, ErrorText("open", errno));
    // The permissions change before the new content arrives.
    const bool ok = ::fchmod(fd, mode) == 0 && WriteAll(fd, bytes) &&
                    ::ftruncate(fd, static_cast<off_t>(bytes.size())) == 0 && ::fsync(fd) == 0;
    const int err = errno;
    if (::close(fd) != 0 || !ok)
        throw EIniFileError(path, ErrorText("write", ok ? errno : err));
}

// The process's umask, read without changing it (umask() would, for a moment,
// for every thread).
mode_t CurrentUmask() {
    const std::optional<std::string> status = ReadWholeFile("/proc/self/status", 64 * 1024);
    constexpr std::string_view label = "\nUmask:";
    const size_t at = status ? status->find(label) : std::string::npos;
    if (at == std::string::npos)
        return 022;
    std::string_view digits = std::string_view(*status).substr(at + label.size());
    while (!digits.empty() && IsBlank(digits.front()))
        digits.remove_prefix(1);
    unsigned value = 0;
    const auto [ptr, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), value, 8);
    return ec == std::errc() ? static_cast<mode_t>(value & 0777) : 022;
}

// Replaces the file's content so that a failure at any point leaves the old
// file as it was (see ReplaceFileAtomically). The new file gets the old
// one's permission bits, a new file 0666 & ~umask; `ownerOnly` takes the
// group and other bits off either. A folder that forbids the temporary file
// gets an existing file rewritten in place instead.
void ReplaceFile(const std::string& path, const std::string& bytes, bool ownerOnly) {
    struct stat st {};
    const bool exists = ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
    mode_t mode = exists ? (st.st_mode & 07777) : (0666 & ~CurrentUmask());
    if (ownerOnly)
        mode &= ~static_cast<mode_t>(077);
    std::string error;
    if (ReplaceFileAtomically(path, bytes, mode, &error))
        return;
    if (exists && (errno == EACCES || errno == EPERM)) {
        RewriteInPlace(path, bytes, mode);
        return;
    }
    throw EIniFileError(path, error);
}

bool HasLineBreak(std::string_view s) {
    return s.find_first_of("\r\n") != std::string_view::npos;
}

} // namespace

EIniFileError::EIniFileError(const std::string& path, std::string reason)
    : std::runtime_error("Unable to write to " + path), FReason(std::move(reason)) {}

std::string TIniFile::ReadString(std::string_view section, std::string_view key,
                                 const std::string& def) const {
    const std::optional<std::string> text = ReadIni(FFileName);
    if (!text)
        return def;
    const std::vector<TLine> lines = SplitIni(*text);
    const TKeyPlace place = FindKey(lines, Trim(section), Trim(key));
    if (!place.key)
        return def;
    std::string_view value = place.key->value;
    if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
        value.back() == value.front())
        value = value.substr(1, value.size() - 2);
    if (value.size() > MaxValueLength) {
        size_t cut = MaxValueLength;
        // Back up to the start of a UTF-8 character cut in two.
        for (size_t back = 0;
             back < 3 && cut > 0 && (static_cast<unsigned char>(value[cut]) & 0xC0) == 0x80; ++back)
            --cut;
        if ((static_cast<unsigned char>(value[cut]) & 0xC0) != 0xC0)
            cut = MaxValueLength; // not a character boundary problem after all
        value = value.substr(0, cut);
    }
    return std::string(value);
}

int TIniFile::ReadInteger(std::string_view section, std::string_view key, int def) const {
    const std::string text = ReadString(section, key, std::string());
    int value = 0;
    return ParseIniInteger(text, value) ? value : def;
}

bool TIniFile::ReadBool(std::string_view section, std::string_view key, bool def) const {
    return ReadInteger(section, key, def ? 1 : 0) != 0;
}

void TIniFile::WriteString(std::string_view section, std::string_view key, std::string_view value) {
    section = Trim(section);
    key = Trim(key);
    if (HasLineBreak(section) || section.find(']') != std::string_view::npos)
        throw EIniFileError(FFileName, "section name not storable: " + std::string(section));
    if (HasLineBreak(key) || key.find('=') != std::string_view::npos ||
        (!key.empty() && (key.front() == '[' || key.front() == ';')))
        throw EIniFileError(FFileName, "key name not storable: " + std::string(key));
    if (HasLineBreak(value))
        throw EIniFileError(FFileName, "value of " + std::string(key) + " holds a line break");

    std::optional<std::string> read = ReadIni(FFileName);
    if (!read && errno != ENOENT)
        throw EIniFileError(FFileName, ErrorText("read", errno));
    const std::string text = read ? std::move(*read) : std::string();

    const std::vector<TLine> lines = SplitIni(text);
    const TKeyPlace place = FindKey(lines, section, key);
    std::string updated;
    updated.reserve(text.size() + section.size() + key.size() + value.size() + 8);
    if (place.key) {
        // Replaced on its own line, in the file's spelling of the key.
        updated.append(text, 0, place.key->begin);
        updated.append(place.key->name).append("=").append(value).append("\r\n");
        updated.append(text, place.key->next);
    } else if (place.section) {
        const TLine& after = place.lastKey ? *place.lastKey : *place.section;
        updated.append(text, 0, after.next);
        if (after.next == after.end)
            updated.append("\r\n"); // the last line had no line break
        updated.append(key).append("=").append(value).append("\r\n");
        updated.append(text, after.next);
    } else {
        updated = text;
        if (!updated.empty() && updated.back() != '\r' && updated.back() != '\n')
            updated.append("\r\n");
        updated.append("[").append(section).append("]\r\n");
        updated.append(key).append("=").append(value).append("\r\n");
    }
    ReplaceFile(FFileName, updated, FOwnerOnly);
}

void TIniFile::WriteInteger(std::string_view section, std::string_view key, int value) {
    WriteString(section, key, std::to_string(value));
}

void TIniFile::WriteBool(std::string_view section, std::string_view key, bool value) {
    WriteString(section, key, value ? "1" : "0");
}

bool ParseIniInteger(std::string_view text, int& value) {
    const std::string_view whole = text;
    bool negative = false;
    if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
        negative = text.front() == '-';
        text.remove_prefix(1);
    }
    int base = 10;
    if (!text.empty() && text.front() == '$') {
        base = 16;
        text.remove_prefix(1);
    } else if (whole.size() >= 3 && text.size() >= 2 && text[0] == '0' &&
               (text[1] == 'x' || text[1] == 'X')) {
        base = 16;
        text.remove_prefix(2);
    }
    if (text.empty())
        return false;
    uint64_t magnitude = 0;
    const auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), magnitude, base);
    if (ec != std::errc() || ptr != text.data() + text.size())
        return false;
    if (base == 16) {
        if (magnitude > UINT32_MAX)
            return false;
        // A 32-bit pattern: $FFFFFFFF is -1.
        const auto bits = static_cast<int32_t>(static_cast<uint32_t>(magnitude));
        value = negative ? static_cast<int>(-static_cast<int64_t>(bits)) : bits;
        return true;
    }
    if (magnitude > static_cast<uint64_t>(INT_MAX) + 1)
        return false;
    const int64_t signedValue =
        negative ? -static_cast<int64_t>(magnitude) : static_cast<int64_t>(magnitude);
    if (signedValue > INT_MAX)
        return false;
    value = static_cast<int>(signedValue);
    return true;
}

} // namespace corvane
