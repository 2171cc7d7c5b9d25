// Translation files as they may lie beside the program: any bytes, in any of
// the four encodings the loader recognises by its first bytes.

#include "LanIni.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include <unistd.h>

using namespace corvane;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const std::string path = [] {
        const char* dir = ::access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
        std::string p =
            std::string(dir) + "/corvane-fuzz-lan-" + std::to_string(::getpid()) + ".uln";
        static std::string removeAtExit;
        removeAtExit = p;
        std::atexit([] { std::remove(removeAtExit.c_str()); });
        return p;
    }();
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f)
        std::abort();
    if (size && std::fwrite(data, 1, size, f) != size)
        std::abort();
    std::fclose(f);

    TLanIniWImp table;
    table.Load(path);
    for (const auto& [key, text] : table.Table()) {
        // Every key is "Section.Entry"; a text that Translate returns is the one stored.
        if (key.find('.') == std::string::npos || table.Translate(key) != text)
            std::abort();
    }
    (void)table.HasKey("Main.Options");
    return 0;
}
