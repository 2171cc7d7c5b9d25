// corvane-ini: writes a client.ini with the program's own settings code, the
// password protected as the program stores it. Used by the demo to prepare a
// throw-away data folder.
//
//   corvane-ini <client.ini> <server> <user name> <password> [language] [autolisten 0|1]

#include "QuorinConfig.h"

#include <cstdio>
#include <exception>
#include <string>

int main(int argc, char** argv) {
    if (argc < 5 || argc > 7) {
        std::fprintf(stderr, "usage: corvane-ini <client.ini> <server> <user name> <password> "
                             "[language] [autolisten 0|1]\n");
        return 2;
    }
    try {
        corvane::TQuorinConfig config;
        config.Load(argv[1]);
        config.Server = argv[2];
        config.UserName = argv[3];
        config.Password = argv[4];
        if (argc > 5)
            config.Language = argv[5];
        if (argc > 6)
            config.StartAuto = std::string(argv[6]) == "1";
        config.Save(argv[1]);
        return 0;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "corvane-ini: %s\n", e.what());
        return 1;
    }
}
