#include "LanIni.h"

#include "Files.h"
#include "Platform.h"

#include <new>
#include <optional>
#include <set>
#include <string_view>

namespace corvane {

namespace {

// Translation files hold a few kilobytes; anything far larger is no
// translation file and would only cost memory.
constexpr size_t kMaxTranslationFileSize = 4 * 1024 * 1024;

// The whole file; empty when it is missing, unreadable, not a file or too large.
std::string ReadBytes(const std::string& path) {
    bool tooLarge = false;
    std::optional<std::string> bytes = ReadWholeFile(path, kMaxTranslationFileSize, &tooLarge);
    if (tooLarge)
        DebugOutput("Translation file " + path + " is larger than " +
                    std::to_string(kMaxTranslationFileSize) + " bytes; not loaded");
    return bytes ? std::move(*bytes) : std::string();
}

std::u16string DecodeUtf16(std::string_view bytes, bool bigEndian) {
    std::u16string text;
    text.reserve(bytes.size() / 2);
    for (size_t i = 0; i + 1 < bytes.size(); i += 2) { // a last odd byte is ignored
        const auto b0 = static_cast<unsigned char>(bytes[i]);
        const auto b1 = static_cast<unsigned char>(bytes[i + 1]);
        text.push_back(static_cast<char16_t>(bigEndian ? (b0 << 8) | b1 : (b1 << 8) | b0));
    }
    return text;
}

// The encoding is told by the first bytes; without a byte-order mark the
// file is 8-bit text in the system code page.
std::u16string DecodeFile(std::string_view bytes) {
    if (bytes.starts_with("\xFF\xFE"))
        return DecodeUtf16(bytes.substr(2), false);
    if (bytes.starts_with("\xFE\xFF"))
        return DecodeUtf16(bytes.substr(2), true);
    if (bytes.starts_with("\xEF\xBB\xBF"))
        return Utf8ToWide(bytes.substr(3));
    return AnsiToWide(bytes);
}

std::u16string_view Trim(std::u16string_view s) {
    while (!s.empty() && s.front() <= 32)
        s.remove_prefix(1);
    while (!s.empty() && s.back() <= 32)
        s.remove_suffix(1);
    return s;
}

// Names compared without regard to ASCII letter case.
std::u16string Folded(std::u16string_view s) {
    std::u16string f(s);
    for (char16_t& c : f) {
        if (c >= u'A' && c <= u'Z')
            c = static_cast<char16_t>(c - u'A' + u'a');
    }
    return f;
}

std::u16string ReplaceAll(std::u16string_view text, std::u16string_view from,
                          std::u16string_view to) {
    std::u16string out;
    out.reserve(text.size());
    size_t pos = 0;
    for (size_t hit; (hit = text.find(from, pos)) != std::u16string_view::npos;
         pos = hit + from.size())
        out.append(text.substr(pos, hit - pos)).append(to);
    out.append(text.substr(pos));
    return out;
}

// Two passes in this order, so "\\n" (two backslashes, n) ends up a line feed.
std::u16string Unescape(std::u16string_view value) {
    return ReplaceAll(ReplaceAll(value, u"\\\\", u"\\"), u"\\n", u"\n");
}

} // namespace

void TLanIniWImp::Load(const std::string& path) {
    FFileName = path;
    FTable.clear();
    const std::u16string text = DecodeFile(ReadBytes(path));

    std::set<std::u16string> sections; // folded names seen so far
    std::set<std::u16string> entries;  // folded entry names of the current section
    bool inSection = false;            // false before the first section and in repeats
    std::string prefix;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t end = text.find_first_of(u"\r\n", pos);
        if (end == std::u16string::npos)
            end = text.size();
        const std::u16string_view line = Trim(std::u16string_view(text).substr(pos, end - pos));
        pos =
            end + ((end + 1 < text.size() && text[end] == u'\r' && text[end + 1] == u'\n') ? 2 : 1);

        if (line.empty() || line.front() == u';')
            continue;
        if (line.size() >= 2 && line.front() == u'[' && line.back() == u']') {
            const std::u16string_view name = Trim(line.substr(1, line.size() - 2));
            inSection = sections.insert(Folded(name)).second;
            prefix = WideToAnsi(name) + ".";
            entries.clear();
            continue;
        }
        if (!inSection)
            continue;
        const size_t eq = line.find(u'=');
        if (eq == std::u16string_view::npos)
            continue;
        const std::u16string_view entry = Trim(line.substr(0, eq));
        if (!entries.insert(Folded(entry)).second)
            continue;
        FTable[prefix + WideToAnsi(entry)] = Unescape(line.substr(eq + 1));
    }
}

std::u16string TLanIniWImp::Translate(const std::string& key) const {
    if (const auto it = FTable.find(key); it != FTable.end())
        return it->second;
    DebugOutput("Missing translation for " + key);
    return AnsiToWide(key);
}

bool TLanIniWImp::HasKey(const std::string& key) const {
    return FTable.count(key) != 0;
}

TLanIniW::TLanIniW() : FImp(std::make_unique<TLanIniWImp>()) {}
TLanIniW::~TLanIniW() = default;

TLanIniW& LanIni() {
    // Built in static storage on first use and deliberately never destroyed.
    alignas(TLanIniW) static unsigned char storage[sizeof(TLanIniW)];
    static TLanIniW* const instance = ::new (storage) TLanIniW();
    return *instance;
}

} // namespace corvane
