// Settings files as a user or another program may have left them: the INI
// reader, the integer rules, the settings record's Load (with the password
// decryption) and a write into the same file, which must read back.
// The file lives on tmpfs where there is one, so that every write's fsync
// costs nothing.

#include "IniFile.h"
#include "QuorinConfig.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include <unistd.h>

using namespace corvane;

namespace {

std::string FuzzFile() {
    const char* dir = ::access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
    return std::string(dir) + "/corvane-fuzz-ini-" + std::to_string(::getpid()) + ".ini";
}

void Store(const std::string& path, std::string_view bytes) {
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f)
        std::abort();
    if (!bytes.empty() && std::fwrite(bytes.data(), 1, bytes.size(), f) != bytes.size())
        std::abort();
    std::fclose(f);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const std::string path = FuzzFile();
    static const bool cleanup = [] {
        std::atexit([] { std::remove(path.c_str()); });
        return true;
    }();
    (void)cleanup;
    const std::string_view text(reinterpret_cast<const char*>(data), size);

    int number = 0;
    ParseIniInteger(text.substr(0, 40), number);

    Store(path, text);
    TIniFile ini(path);
    for (const char* section : {"General", "User_fuzz", ""}) {
        for (const char* key : {"Server", "Password", "Secure", ""}) {
            if (ini.ReadString(section, key, "").size() > TIniFile::MaxValueLength)
                std::abort();
            ini.ReadBool(section, key, true);
        }
    }
    TQuorinConfig config;
    config.WindowsUser = "fuzz";
    config.Load(path);

    // Take a section name, key and value from the input itself; when the
    // writer accepts them they must read back unchanged (the value is framed
    // by letters so that neither trimming nor unquoting applies).
    const size_t cut = text.size() / 3;
    const std::string_view section = text.substr(0, std::min<size_t>(cut, 12));
    const std::string_view key = text.substr(cut, std::min<size_t>(cut, 12));
    std::string value = "v"; // appended: "v" + std::string trips GCC 12's -Wrestrict at -O3
    value += text.substr(2 * cut, 20);
    value += 'v';
    try {
        ini.WriteString(section, key, value);
    } catch (const EIniFileError&) {
        return 0; // a name or value the file cannot hold
    }
    if (ini.ReadString(section, key, "<missing>") != value)
        std::abort();
    return 0;
}
