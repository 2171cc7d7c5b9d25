// Answer texts as they come off the wire: ParseAnswer and SplitLines must
// accept anything, and what they return must follow from the text.

#include "AnswerFormat.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string_view>

using namespace corvane;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const std::string_view upToNul = text.substr(0, text.find('\0'));

    const TStringLt lines = SplitLines(text);
    size_t total = 0;
    for (const std::string& line : lines) {
        if (line.find('\r') != std::string::npos || line.find('\0') != std::string::npos)
            std::abort();
        total += line.size();
    }
    if (lines.Count() == 0 || total > upToNul.size())
        std::abort();

    const StrMap fields = ParseAnswer(text);
    for (const auto& [key, value] : fields) {
        if (key.empty() || key.front() == '_' || key.find(':') != std::string::npos)
            std::abort();
        if (key.size() + value.size() + 1 > upToNul.size())
            std::abort();
    }
    return 0;
}
