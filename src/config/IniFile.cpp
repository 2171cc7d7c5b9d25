#include "IniFile.h"

#include "Files.h"
#include "Platform.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <climits>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <optional>
#include <vector>

#ifdef _WIN32
#include "PlatformWindows.h"

#include <windows.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

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

// Unicode simple case folding (statuses C and S of the Unicode 14 case
// folding table) as runs of code points that move by the same offset;
// stride 2 for runs of alternating capital and small letters.
struct TFoldRun {
    char32_t First;
    char32_t Last;
    std::int32_t Delta;
    std::uint8_t Stride;
};

constexpr TFoldRun kFoldRuns[] = {
    {0x0041, 0x005A, 32, 1},     {0x00B5, 0x00B5, 775, 1},    {0x00C0, 0x00D6, 32, 1},
    {0x00D8, 0x00DE, 32, 1},     {0x0100, 0x012E, 1, 2},      {0x0132, 0x0136, 1, 2},
    {0x0139, 0x0147, 1, 2},      {0x014A, 0x0176, 1, 2},      {0x0178, 0x0178, -121, 1},
    {0x0179, 0x017D, 1, 2},      {0x017F, 0x017F, -268, 1},   {0x0181, 0x0181, 210, 1},
    {0x0182, 0x0184, 1, 2},      {0x0186, 0x0186, 206, 1},    {0x0187, 0x0187, 1, 1},
    {0x0189, 0x018A, 205, 1},    {0x018B, 0x018B, 1, 1},      {0x018E, 0x018E, 79, 1},
    {0x018F, 0x018F, 202, 1},    {0x0190, 0x0190, 203, 1},    {0x0191, 0x0191, 1, 1},
    {0x0193, 0x0193, 205, 1},    {0x0194, 0x0194, 207, 1},    {0x0196, 0x0196, 211, 1},
    {0x0197, 0x0197, 209, 1},    {0x0198, 0x0198, 1, 1},      {0x019C, 0x019C, 211, 1},
    {0x019D, 0x019D, 213, 1},    {0x019F, 0x019F, 214, 1},    {0x01A0, 0x01A4, 1, 2},
    {0x01A6, 0x01A6, 218, 1},    {0x01A7, 0x01A7, 1, 1},      {0x01A9, 0x01A9, 218, 1},
    {0x01AC, 0x01AC, 1, 1},      {0x01AE, 0x01AE, 218, 1},    {0x01AF, 0x01AF, 1, 1},
    {0x01B1, 0x01B2, 217, 1},    {0x01B3, 0x01B5, 1, 2},      {0x01B7, 0x01B7, 219, 1},
    {0x01B8, 0x01B8, 1, 1},      {0x01BC, 0x01BC, 1, 1},      {0x01C4, 0x01C4, 2, 1},
    {0x01C5, 0x01C5, 1, 1},      {0x01C7, 0x01C7, 2, 1},      {0x01C8, 0x01C8, 1, 1},
    {0x01CA, 0x01CA, 2, 1},      {0x01CB, 0x01DB, 1, 2},      {0x01DE, 0x01EE, 1, 2},
    {0x01F1, 0x01F1, 2, 1},      {0x01F2, 0x01F4, 1, 2},      {0x01F6, 0x01F6, -97, 1},
    {0x01F7, 0x01F7, -56, 1},    {0x01F8, 0x021E, 1, 2},      {0x0220, 0x0220, -130, 1},
    {0x0222, 0x0232, 1, 2},      {0x023A, 0x023A, 10795, 1},  {0x023B, 0x023B, 1, 1},
    {0x023D, 0x023D, -163, 1},   {0x023E, 0x023E, 10792, 1},  {0x0241, 0x0241, 1, 1},
    {0x0243, 0x0243, -195, 1},   {0x0244, 0x0244, 69, 1},     {0x0245, 0x0245, 71, 1},
    {0x0246, 0x024E, 1, 2},      {0x0345, 0x0345, 116, 1},    {0x0370, 0x0372, 1, 2},
    {0x0376, 0x0376, 1, 1},      {0x037F, 0x037F, 116, 1},    {0x0386, 0x0386, 38, 1},
    {0x0388, 0x038A, 37, 1},     {0x038C, 0x038C, 64, 1},     {0x038E, 0x038F, 63, 1},
    {0x0391, 0x03A1, 32, 1},     {0x03A3, 0x03AB, 32, 1},     {0x03C2, 0x03C2, 1, 1},
    {0x03CF, 0x03CF, 8, 1},      {0x03D0, 0x03D0, -30, 1},    {0x03D1, 0x03D1, -25, 1},
    {0x03D5, 0x03D5, -15, 1},    {0x03D6, 0x03D6, -22, 1},    {0x03D8, 0x03EE, 1, 2},
    {0x03F0, 0x03F0, -54, 1},    {0x03F1, 0x03F1, -48, 1},    {0x03F4, 0x03F4, -60, 1},
    {0x03F5, 0x03F5, -64, 1},    {0x03F7, 0x03F7, 1, 1},      {0x03F9, 0x03F9, -7, 1},
    {0x03FA, 0x03FA, 1, 1},      {0x03FD, 0x03FF, -130, 1},   {0x0400, 0x040F, 80, 1},
    {0x0410, 0x042F, 32, 1},     {0x0460, 0x0480, 1, 2},      {0x048A, 0x04BE, 1, 2},
    {0x04C0, 0x04C0, 15, 1},     {0x04C1, 0x04CD, 1, 2},      {0x04D0, 0x052E, 1, 2},
    {0x0531, 0x0556, 48, 1},     {0x10A0, 0x10C5, 7264, 1},   {0x10C7, 0x10C7, 7264, 1},
    {0x10CD, 0x10CD, 7264, 1},   {0x13F8, 0x13FD, -8, 1},     {0x1C80, 0x1C80, -6222, 1},
    {0x1C81, 0x1C81, -6221, 1},  {0x1C82, 0x1C82, -6212, 1},  {0x1C83, 0x1C84, -6210, 1},
    {0x1C85, 0x1C85, -6211, 1},  {0x1C86, 0x1C86, -6204, 1},  {0x1C87, 0x1C87, -6180, 1},
    {0x1C88, 0x1C88, 35267, 1},  {0x1C90, 0x1CBA, -3008, 1},  {0x1CBD, 0x1CBF, -3008, 1},
    {0x1E00, 0x1E94, 1, 2},      {0x1E9B, 0x1E9B, -58, 1},    {0x1E9E, 0x1E9E, -7615, 1},
    {0x1EA0, 0x1EFE, 1, 2},      {0x1F08, 0x1F0F, -8, 1},     {0x1F18, 0x1F1D, -8, 1},
    {0x1F28, 0x1F2F, -8, 1},     {0x1F38, 0x1F3F, -8, 1},     {0x1F48, 0x1F4D, -8, 1},
    {0x1F59, 0x1F5F, -8, 2},     {0x1F68, 0x1F6F, -8, 1},     {0x1F88, 0x1F8F, -8, 1},
    {0x1F98, 0x1F9F, -8, 1},     {0x1FA8, 0x1FAF, -8, 1},     {0x1FB8, 0x1FB9, -8, 1},
    {0x1FBA, 0x1FBB, -74, 1},    {0x1FBC, 0x1FBC, -9, 1},     {0x1FBE, 0x1FBE, -7173, 1},
    {0x1FC8, 0x1FCB, -86, 1},    {0x1FCC, 0x1FCC, -9, 1},     {0x1FD8, 0x1FD9, -8, 1},
    {0x1FDA, 0x1FDB, -100, 1},   {0x1FE8, 0x1FE9, -8, 1},     {0x1FEA, 0x1FEB, -112, 1},
    {0x1FEC, 0x1FEC, -7, 1},     {0x1FF8, 0x1FF9, -128, 1},   {0x1FFA, 0x1FFB, -126, 1},
    {0x1FFC, 0x1FFC, -9, 1},     {0x2126, 0x2126, -7517, 1},  {0x212A, 0x212A, -8383, 1},
    {0x212B, 0x212B, -8262, 1},  {0x2132, 0x2132, 28, 1},     {0x2160, 0x216F, 16, 1},
    {0x2183, 0x2183, 1, 1},      {0x24B6, 0x24CF, 26, 1},     {0x2C00, 0x2C2F, 48, 1},
    {0x2C60, 0x2C60, 1, 1},      {0x2C62, 0x2C62, -10743, 1}, {0x2C63, 0x2C63, -3814, 1},
    {0x2C64, 0x2C64, -10727, 1}, {0x2C67, 0x2C6B, 1, 2},      {0x2C6D, 0x2C6D, -10780, 1},
    {0x2C6E, 0x2C6E, -10749, 1}, {0x2C6F, 0x2C6F, -10783, 1}, {0x2C70, 0x2C70, -10782, 1},
    {0x2C72, 0x2C72, 1, 1},      {0x2C75, 0x2C75, 1, 1},      {0x2C7E, 0x2C7F, -10815, 1},
    {0x2C80, 0x2CE2, 1, 2},      {0x2CEB, 0x2CED, 1, 2},      {0x2CF2, 0x2CF2, 1, 1},
    {0xA640, 0xA66C, 1, 2},      {0xA680, 0xA69A, 1, 2},      {0xA722, 0xA72E, 1, 2},
    {0xA732, 0xA76E, 1, 2},      {0xA779, 0xA77B, 1, 2},      {0xA77D, 0xA77D, -35332, 1},
    {0xA77E, 0xA786, 1, 2},      {0xA78B, 0xA78B, 1, 1},      {0xA78D, 0xA78D, -42280, 1},
    {0xA790, 0xA792, 1, 2},      {0xA796, 0xA7A8, 1, 2},      {0xA7AA, 0xA7AA, -42308, 1},
    {0xA7AB, 0xA7AB, -42319, 1}, {0xA7AC, 0xA7AC, -42315, 1}, {0xA7AD, 0xA7AD, -42305, 1},
    {0xA7AE, 0xA7AE, -42308, 1}, {0xA7B0, 0xA7B0, -42258, 1}, {0xA7B1, 0xA7B1, -42282, 1},
    {0xA7B2, 0xA7B2, -42261, 1}, {0xA7B3, 0xA7B3, 928, 1},    {0xA7B4, 0xA7C2, 1, 2},
    {0xA7C4, 0xA7C4, -48, 1},    {0xA7C5, 0xA7C5, -42307, 1}, {0xA7C6, 0xA7C6, -35384, 1},
    {0xA7C7, 0xA7C9, 1, 2},      {0xA7D0, 0xA7D0, 1, 1},      {0xA7D6, 0xA7D8, 1, 2},
    {0xA7F5, 0xA7F5, 1, 1},      {0xAB70, 0xABBF, -38864, 1}, {0xFF21, 0xFF3A, 32, 1},
    {0x10400, 0x10427, 40, 1},   {0x104B0, 0x104D3, 40, 1},   {0x10570, 0x1057A, 39, 1},
    {0x1057C, 0x1058A, 39, 1},   {0x1058C, 0x10592, 39, 1},   {0x10594, 0x10595, 39, 1},
    {0x10C80, 0x10CB2, 64, 1},   {0x118A0, 0x118BF, 32, 1},   {0x16E40, 0x16E5F, 32, 1},
    {0x1E900, 0x1E921, 34, 1},
};

char32_t FoldCodePoint(char32_t c) {
    if (c < 0x80)
        return (c >= 'A' && c <= 'Z') ? c + ('a' - 'A') : c;
    const auto* run =
        std::upper_bound(std::begin(kFoldRuns), std::end(kFoldRuns), c,
                         [](char32_t value, const TFoldRun& r) { return value < r.First; });
    if (run == std::begin(kFoldRuns))
        return c;
    --run;
    if (c > run->Last || (c - run->First) % run->Stride != 0)
        return c;
    return static_cast<char32_t>(static_cast<std::int32_t>(c) + run->Delta);
}

bool IsContinuation(std::string_view s, size_t at, unsigned char low = 0x80,
                    unsigned char high = 0xBF) {
    if (at >= s.size())
        return false;
    const auto b = static_cast<unsigned char>(s[at]);
    return b >= low && b <= high;
}

// The code point that starts at `pos`, with `pos` moved past it; -1 when no
// valid UTF-8 sequence starts there (`pos` then moves one byte). With
// `surrogates`, the three-byte forms of U+D800..U+DFFF count too: they stand
// for the unpaired surrogates of a UTF-16 file.
std::int32_t NextCodePoint(std::string_view s, size_t& pos, bool surrogates) {
    const auto b = static_cast<unsigned char>(s[pos]);
    const auto cont = [&](size_t i) { return static_cast<unsigned char>(s[pos + i]) & 0x3F; };
    std::int32_t c = -1;
    size_t len = 1;
    if (b < 0x80) {
        c = b;
    } else if (b >= 0xC2 && b <= 0xDF && IsContinuation(s, pos + 1)) {
        c = ((b & 0x1F) << 6) | cont(1);
        len = 2;
    } else if (b >= 0xE0 && b <= 0xEF &&
               IsContinuation(s, pos + 1, b == 0xE0 ? 0xA0 : 0x80,
                              b == 0xED && !surrogates ? 0x9F : 0xBF) &&
               IsContinuation(s, pos + 2)) {
        c = ((b & 0x0F) << 12) | (cont(1) << 6) | cont(2);
        len = 3;
    } else if (b >= 0xF0 && b <= 0xF4 &&
               IsContinuation(s, pos + 1, b == 0xF0 ? 0x90 : 0x80, b == 0xF4 ? 0x8F : 0xBF) &&
               IsContinuation(s, pos + 2) && IsContinuation(s, pos + 3)) {
        c = ((b & 0x07) << 18) | (cont(1) << 12) | (cont(2) << 6) | cont(3);
        len = 4;
    }
    pos += len;
    return c;
}

void AppendUtf8(std::string& out, char32_t c) {
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

// The name as names compare: every character case-folded, bytes that are no
// UTF-8 kept as they are (so they match only themselves).
std::string FoldName(std::string_view name) {
    std::string folded;
    folded.reserve(name.size());
    size_t pos = 0;
    while (pos < name.size()) {
        const size_t start = pos;
        const std::int32_t c = NextCodePoint(name, pos, false);
        if (c < 0)
            folded += name[start];
        else
            AppendUtf8(folded, FoldCodePoint(static_cast<char32_t>(c)));
    }
    return folded;
}

// The text of a file as the rules see it. A UTF-16 LE file (with its mark)
// becomes UTF-8 here, unpaired surrogates in their three-byte forms, so that
// writing it back gives every byte again.
struct TIniContent {
    std::string Text;
    bool Utf16 = false;
    std::string OddByte; // a UTF-16 file's last byte when their number is odd
};

constexpr std::string_view kUtf16Mark = "\xFF\xFE";

TIniContent DecodeIni(std::string bytes) {
    TIniContent content;
    if (!std::string_view(bytes).starts_with(kUtf16Mark)) {
        content.Text = std::move(bytes);
        return content;
    }
    content.Utf16 = true;
    const std::string_view units = std::string_view(bytes).substr(kUtf16Mark.size());
    const size_t count = units.size() / 2;
    if (units.size() % 2 != 0)
        content.OddByte.assign(1,
                               units.back()); // not substr: GCC 12 -O3 warns falsely (-Wrestrict)
    const auto unit = [&](size_t i) {
        return static_cast<char16_t>(static_cast<unsigned char>(units[2 * i]) |
                                     (static_cast<unsigned char>(units[2 * i + 1]) << 8));
    };
    content.Text.reserve(units.size());
    for (size_t i = 0; i < count; ++i) {
        const char16_t u = unit(i);
        if (u >= 0xD800 && u <= 0xDBFF && i + 1 < count && unit(i + 1) >= 0xDC00 &&
            unit(i + 1) <= 0xDFFF) {
            AppendUtf8(content.Text, 0x10000 + ((u - 0xD800) << 10) + (unit(i + 1) - 0xDC00));
            ++i;
        } else {
            AppendUtf8(content.Text, u);
        }
    }
    return content;
}

bool IsUtf8(std::string_view text) {
    size_t pos = 0;
    while (pos < text.size())
        if (NextCodePoint(text, pos, false) < 0)
            return false;
    return true;
}

// `text` in the file's own encoding. For a UTF-16 file `text` is what
// DecodeIni made of it plus UTF-8 of the caller's (see WriteString).
std::string EncodeIni(const TIniContent& content, const std::string& text) {
    if (!content.Utf16)
        return text;
    std::string bytes(kUtf16Mark);
    bytes.reserve(kUtf16Mark.size() + 2 * text.size() + content.OddByte.size());
    const auto put = [&](char32_t u) {
        bytes += static_cast<char>(u & 0xFF);
        bytes += static_cast<char>((u >> 8) & 0xFF);
    };
    size_t pos = 0;
    while (pos < text.size()) {
        const std::int32_t c = NextCodePoint(text, pos, true);
        if (c < 0) {
            put(0xFFFD); // unreachable: the text was checked
        } else if (c >= 0x10000) {
            put(0xD800 + ((static_cast<char32_t>(c) - 0x10000) >> 10));
            put(0xDC00 + ((static_cast<char32_t>(c) - 0x10000) & 0x3FF));
        } else {
            put(static_cast<char32_t>(c));
        }
    }
    bytes += content.OddByte;
    return bytes;
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
    const std::string foldedSection = FoldName(section);
    const std::string foldedKey = FoldName(key);
    for (const TLine& line : lines) {
        if (line.kind == TLine::Section) {
            if (place.section)
                break; // only the first section of a name counts
            if (FoldName(line.name) == foldedSection)
                place.section = &line;
        } else if (place.section && line.kind == TLine::Key) {
            place.lastKey = &line;
            if (!place.key && FoldName(line.name) == foldedKey)
                place.key = &line;
        }
    }
    return place;
}

// A key's value as a read returns it: one pair of matching quotes off, at
// most MaxValueLength bytes.
std::string ValueAsRead(std::string_view value) {
    if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
        value.back() == value.front())
        value = value.substr(1, value.size() - 2);
    if (value.size() > TIniFile::MaxValueLength) {
        size_t cut = TIniFile::MaxValueLength;
        // Back up to the start of a UTF-8 character cut in two.
        for (size_t back = 0;
             back < 3 && cut > 0 && (static_cast<unsigned char>(value[cut]) & 0xC0) == 0x80; ++back)
            --cut;
        if ((static_cast<unsigned char>(value[cut]) & 0xC0) != 0xC0)
            cut = TIniFile::MaxValueLength; // not a character boundary problem after all
        value = value.substr(0, cut);
    }
    return std::string(value);
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

#ifdef _WIN32

// Rewrites an existing file in place; only used when the temporary file
// cannot take its place. A failure half-way can leave it damaged, which is
// why ReplaceFile prefers a temporary.
void RewriteInPlace(const std::string& path, const std::string& bytes) {
    const HANDLE file = CreateFileW(WidePath(path).c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        throw EIniFileError(path, "open: " + WindowsErrorText(GetLastError()));
    bool ok = true;
    for (size_t done = 0; ok && done < bytes.size();) {
        DWORD n = 0;
        ok = WriteFile(file, bytes.data() + done, static_cast<DWORD>(bytes.size() - done), &n,
                       nullptr) &&
             n > 0;
        done += n;
    }
    ok = ok && SetEndOfFile(file) && FlushFileBuffers(file);
    const DWORD err = GetLastError();
    if (!CloseHandle(file) || !ok)
        throw EIniFileError(path, "write: " + WindowsErrorText(ok ? GetLastError() : err));
}

// Replaces the file's content so that a failure at any point leaves the old
// file as it was (see ReplaceFileAtomically). Windows has no permission bits:
// the new file gets what its folder passes on, which for the per-user folder
// keeps the file private, so `ownerOnly` asks for nothing more. A file that
// cannot be replaced (the folder forbids the temporary, or the file is held
// open) is rewritten in place instead.
void ReplaceFile(const std::string& path, const std::string& bytes, bool /*ownerOnly*/) {
    const DWORD attributes = GetFileAttributesW(WidePath(path).c_str());
    const bool exists =
        attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
    // The rename below would replace a read-only file too.
    if (exists && (attributes & FILE_ATTRIBUTE_READONLY) != 0)
        throw EIniFileError(path, "the file is read-only");
    std::string error;
    if (ReplaceFileAtomically(path, bytes, 0, &error))
        return;
    if (exists && (errno == EACCES || errno == EPERM)) {
        RewriteInPlace(path, bytes);
        return;
    }
    throw EIniFileError(path, error);
}

#else

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
    // Like a file with the read-only attribute: the rename below would
    // replace it whatever its bits say, and root may write anything.
    if (exists && (st.st_mode & S_IWUSR) == 0)
        throw EIniFileError(path, "the file is read-only");
    std::string error;
    if (ReplaceFileAtomically(path, bytes, mode, &error))
        return;
    if (exists && (errno == EACCES || errno == EPERM)) {
        RewriteInPlace(path, bytes, mode);
        return;
    }
    throw EIniFileError(path, error);
}

#endif

bool HasLineBreak(std::string_view s) {
    return s.find_first_of("\r\n") != std::string_view::npos;
}

} // namespace

EIniFileError::EIniFileError(const std::string& path, std::string reason)
    : std::runtime_error("Unable to write to " + path), FReason(std::move(reason)) {}

std::string TIniFile::ReadString(std::string_view section, std::string_view key,
                                 const std::string& def) const {
    std::optional<std::string> bytes = ReadIni(FFileName);
    if (!bytes)
        return def;
    const TIniContent content = DecodeIni(std::move(*bytes));
    const std::vector<TLine> lines = SplitIni(content.Text);
    const TKeyPlace place = FindKey(lines, Trim(section), Trim(key));
    if (!place.key)
        return def;
    return ValueAsRead(place.key->value);
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
    const TIniContent content = DecodeIni(read ? std::move(*read) : std::string());
    const std::string& text = content.Text;
    // What UTF-16 cannot hold would not read back as it was given.
    if (content.Utf16 && !(IsUtf8(section) && IsUtf8(key) && IsUtf8(value)))
        throw EIniFileError(FFileName, "text that is no UTF-8 cannot go into a UTF-16 file");

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
    ReplaceFile(FFileName, EncodeIni(content, updated), FOwnerOnly);
}

void TIniFile::WriteInteger(std::string_view section, std::string_view key, int value) {
    WriteString(section, key, std::to_string(value));
}

void TIniFile::WriteBool(std::string_view section, std::string_view key, bool value) {
    WriteString(section, key, value ? "1" : "0");
}

TIniText::TIniText(std::string_view bytes) {
    const TIniContent content = DecodeIni(std::string(bytes));
    std::unordered_map<std::string, std::string>* keys = nullptr;
    for (const TLine& line : SplitIni(content.Text)) {
        if (line.kind == TLine::Section) {
            // A later section of a name that was seen is never searched.
            const auto [it, inserted] = FSections.try_emplace(FoldName(line.name));
            keys = inserted ? &it->second : nullptr;
        } else if (keys && line.kind == TLine::Key) {
            std::string name = FoldName(line.name);
            if (!keys->contains(name))
                keys->emplace(std::move(name), ValueAsRead(line.value));
        }
    }
}

std::string TIniText::ReadString(std::string_view section, std::string_view key,
                                 const std::string& def) const {
    const auto found = FSections.find(FoldName(Trim(section)));
    if (found == FSections.end())
        return def;
    const auto value = found->second.find(FoldName(Trim(key)));
    return value == found->second.end() ? def : value->second;
}

int TIniText::ReadInteger(std::string_view section, std::string_view key, int def) const {
    int value = 0;
    return ParseIniInteger(ReadString(section, key, std::string()), value) ? value : def;
}

bool TIniText::ReadBool(std::string_view section, std::string_view key, bool def) const {
    return ReadInteger(section, key, def ? 1 : 0) != 0;
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
