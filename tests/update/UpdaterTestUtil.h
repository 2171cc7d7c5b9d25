#pragma once

// Shared by the updater and copy tool tests: a fresh per-user folder for each
// test and manifests built from a list of files.

#include "TestSupport.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdlib>
#include <string>
#include <vector>

namespace corvane::test {

// Points the per-user application-data folder at a fresh temporary folder
// for the life of the object (the updater and the copy tool find their
// updates folder below it).
class ScopedAppData {
public:
    ScopedAppData() {
        if (const char* old = std::getenv("XDG_CONFIG_HOME")) {
            FHadOld = true;
            FOld = old;
        }
        ::setenv("XDG_CONFIG_HOME", FDir.Path().c_str(), 1);
    }
    ~ScopedAppData() {
        if (FHadOld)
            ::setenv("XDG_CONFIG_HOME", FOld.c_str(), 1);
        else
            ::unsetenv("XDG_CONFIG_HOME");
    }
    ScopedAppData(const ScopedAppData&) = delete;
    ScopedAppData& operator=(const ScopedAppData&) = delete;

    const TempDir& Dir() const { return FDir; }
    std::string Updates() const { return FDir.Path() + "/Brindlex/Updates/"; }

private:
    TempDir FDir;
    bool FHadOld = false;
    std::string FOld;
};

struct ManifestFile {
    std::string Source;
    std::string Target;
    int Size = 0;
    bool UseTemp = false;
    bool NeedRestart = false;
    std::string Sha256{}; // written as SHA256= when not empty
};

// A manifest offering version 2.0 to every installed version with `files`.
inline std::string BuildManifest(const std::vector<ManifestFile>& files) {
    std::string text = "[General]\r\nLatestVersion=2.0\r\nVersionCount=1\r\n"
                       "VersionSection0=V\r\n[V]\r\nMask=\r\nDescriptionCount=1\r\n"
                       "Description0=notes\r\nFileCount=" +
                       std::to_string(files.size()) + "\r\n";
    for (size_t i = 0; i < files.size(); ++i)
        text += "FileSection" + std::to_string(i) + "=F" + std::to_string(i) + "\r\n";
    for (size_t i = 0; i < files.size(); ++i) {
        const ManifestFile& f = files[i];
        text += "[F" + std::to_string(i) + "]\r\nSource=" + f.Source + "\r\nTarget=" + f.Target +
                "\r\nSize=" + std::to_string(f.Size) + "\r\nUseTemp=" + (f.UseTemp ? "1" : "0") +
                "\r\nNeedRestart=" + (f.NeedRestart ? "1" : "0") + "\r\n";
        if (!f.Sha256.empty())
            text += "SHA256=" + f.Sha256 + "\r\n";
    }
    return text;
}

// An executable shell script.
inline void WriteScript(const std::string& path, const std::string& body) {
    WriteFile(path, "#!/bin/sh\n" + body);
    ::chmod(path.c_str(), 0755);
}

// A script that writes its arguments, one a line, to "<script>.args" (in one
// step, so that a reader never sees half of it).
inline void WriteArgsRecorder(const std::string& path) {
    WriteScript(path, "for a in \"$@\"; do printf '%s\\n' \"$a\"; done > \"$0.args.part\"\n"
                      "mv \"$0.args.part\" \"$0.args\"\n");
}

} // namespace corvane::test
