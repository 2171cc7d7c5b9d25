// Update manifests as a web server (or whoever sits between) may deliver
// them, and the version texts in them. The first input line is the installed
// version, the second a file name for the copy tool's parameter text, the
// rest the manifest. Downloads go to a proxy on a closed port of 127.0.0.1,
// so they fail at once; the copy tool does not exist.

#include "Platform.h"
#include "Updater.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include <unistd.h>

using namespace corvane;

namespace {

std::string gFolder;

void RemoveFolder() {
    std::error_code ec;
    std::filesystem::remove_all(gFolder, ec);
}

std::string_view NextLine(std::string_view& rest) {
    const size_t lf = rest.find('\n');
    const std::string_view line = rest.substr(0, lf);
    rest = lf == std::string_view::npos ? std::string_view() : rest.substr(lf + 1);
    return line;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (gFolder.empty()) {
        const char* dir = ::access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
        gFolder = std::string(dir) + "/corvane-fuzz-update-" + std::to_string(::getpid()) + "/";
        std::filesystem::create_directories(gFolder + "updates");
        std::atexit(RemoveFolder);
    }
    std::string_view rest(reinterpret_cast<const char*>(data), size);
    const std::string installed(NextLine(rest));
    const std::string fileName(NextLine(rest));

    const tVersion v = TranslateVersion(installed);
    (void)UpdateNeeded(v, TranslateVersion(fileName));
    (void)MaskMatches(TranslateVersion(fileName), v);

    // The copy tool must get back exactly what the updater meant to hand it,
    // for names it can carry (a quote cannot be, nor a backslash before the
    // closing quote).
    const std::string parameters =
        BuildCopyToolParameters(4242, "/opt/corvane/corvane", {fileName, "b"});
    TCopyToolArgs args;
    std::string error;
    const bool parsed = ParseCopyToolArgs(SplitParameterText(parameters), args, error);
    if (fileName.find('"') == std::string::npos && fileName.find('\0') == std::string::npos &&
        !fileName.ends_with('\\')) {
        if (!parsed || args.ProcessId != 4242 || args.Program != "/opt/corvane/corvane" ||
            args.Files != std::vector<std::string>{fileName, "b"})
            std::abort();
    }

    const std::string manifest = gFolder + "manifest.ini";
    FILE* f = std::fopen(manifest.c_str(), "wb");
    if (!f)
        std::abort();
    if (!rest.empty() && std::fwrite(rest.data(), 1, rest.size(), f) != rest.size())
        std::abort();
    std::fclose(f);

    TUpdater updater;
    updater.OnLog = [](const std::string&) {};
    updater.UpdateKeyPem.clear(); // the manifest parser, not the signature check
    updater.URL = "file://" + manifest;
    updater.UpdatesFolder = gFolder + "updates/";
    updater.UpdateFile = updater.UpdatesFolder + "update.ini";
    updater.CopyTool = gFolder + "no-such-FileCopy";
    updater.ProxyServer = "127.0.0.1";
    updater.ProxyPort = "9";
    updater.SetCurrentVersion(installed);
    updater.IgnoreCurrentVersion = !installed.empty() && installed[0] == '!';
    if (updater.CheckUpdate()) {
        for (int i = 0; i < updater.GetUpdateCount(); ++i)
            (void)updater.GetUpdateFilename(i);
        for (int i = 0; i < updater.GetDescriptionCount(); ++i)
            (void)updater.GetDescription(i);
        updater.DoUpdate();
    }
    return 0;
}
