#pragma once

// The online updater: fetches the update manifest (an INI file) over http or
// from a file:// path, decides whether an update applies to the installed
// version and which files make it up, downloads those files into the per-user
// updates folder and starts the copy tool (FileCopy beside the program), which
// installs them once the program has ended.
//
// Everything runs on the UI thread. A download blocks its caller, but the
// OnIdle hook keeps being called meanwhile (the UI processes its events
// there), so OnProgress and other UI events run in the middle of CheckUpdate
// and DoUpdate. The caller keeps the user from starting a second check or
// download meanwhile.

#include <array>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace corvane {

class THttpCli;

// A version of four parts, most significant first; -1 stands for a part that
// is absent or given as "*".
struct tVersion {
    std::array<std::int32_t, 4> Parts{-1, -1, -1, -1};
    bool operator==(const tVersion&) const = default;
};

// One file of an update.
struct tItemUpdate {
    std::string Source; // URL of the file
    std::string Target; // destination path; "%MAIN_DIR%\" stands for the updates folder
    std::int32_t Size = 0;
    bool UseTemp = false; // fetched into Target + ".temp"
    std::string Sha256;   // 64 hex digits of the file's digest; empty: not stated
};

// How the last CheckUpdate ended.
enum class tCheckResult {
    NoUpdate,    // the manifest offers nothing for the installed version
    Available,   // files to fetch
    Unreachable, // the manifest could not be fetched (the log says why)
    Unverified,  // the manifest's signature or a file's digest is missing or wrong
};

// "5.0.12.34" -> 5,0,12,34; "5.0" and "5.0.*.*" -> 5,0,-1,-1; a part that is
// not a number counts 0 ("5..1" -> 5,0,1,-1); "" and "*" -> all -1. Parts
// after the fourth are ignored.
tVersion TranslateVersion(std::string_view text);

// True when `latest` is newer than `installed`, comparing part by part as
// signed numbers (so 5.0.12 is older than 5.0.12.0).
bool UpdateNeeded(const tVersion& installed, const tVersion& latest);

// True when every part of `mask` is -1 or equals that part of `installed`.
bool MaskMatches(const tVersion& mask, const tVersion& installed);

// The per-user updates folder "<appdata>/Brindlex/Updates/", created with any
// missing parents; the program's folder when that is not possible. Ends in '/'.
std::string GetUpdatesFolder();

// The manifest on the maker's update server, "http://<host>/softwupd/corvane.ini";
// the host is set when the program is built.
std::string UpdateManifestUrl();

// The copy tool's parameter text: -id <pid> -p "<program> -u" -f "<file>"...
// (the closing quote of -p comes after -u).
std::string BuildCopyToolParameters(int processId, const std::string& program,
                                    const std::vector<std::string>& files);

// What the copy tool takes from its arguments (the parameter text above split
// by the Windows command-line rules).
struct TCopyToolArgs {
    int ProcessId = 0;
    std::string Program;           // the program to restart
    std::string ProgramParameters; // its arguments ("-u")
    std::vector<std::string> Files;
};
// False with `error` set when the arguments do not have that form.
bool ParseCopyToolArgs(const std::vector<std::string>& args, TCopyToolArgs& out,
                       std::string& error);

class TUpdater {
public:
    TUpdater();
    ~TUpdater();
    TUpdater(const TUpdater&) = delete;
    TUpdater& operator=(const TUpdater&) = delete;

    // --- Properties ---------------------------------------------------------
    // Where the manifest comes from: an http URL, or "file://" + a local path.
    std::string URL;
    // Where the fetched manifest is stored; the updates folder + "update.ini".
    std::string UpdateFile;
    // When true, CheckUpdate offers the manifest's files whatever the
    // installed version.
    bool IgnoreCurrentVersion = false;
    // HTTP proxy host (empty: direct connection) and port.
    std::string ProxyServer;
    std::string ProxyPort;

    // Called after every received piece of a download with the bytes received
    // so far. It may call CancelUpdate (the download then fails).
    std::function<void(TUpdater& sender, std::uint32_t position)> OnProgress;
    // Called about every 20 ms while a download runs; the UI processes its
    // events here. Unset: posted main-thread calls are run (CheckSynchronize).
    std::function<void()> OnIdle;
    // One line per failure or step worth knowing; unset: the debugger channel.
    std::function<void(const std::string& line)> OnLog;

    // Set by the constructor; tests and unusual installs change them.
    std::string UpdatesFolder; // GetUpdatesFolder()
    std::string ProgramFile;   // ProgramPath(): restarted by the copy tool
    std::string CopyTool;      // ProgramFolder() + "FileCopy" (".exe" on Windows)
    int ProcessId;             // CurrentProcessId(): the copy tool waits for its end
    // The largest download accepted, whatever Size the manifest states; a
    // file with a positive Size may exceed it by a small margin only. Past
    // the limit the download fails.
    size_t MaxDownloadSize = 512 * 1024 * 1024;
    // PEM text of the ECDSA P-256 key the manifest must be signed with
    // (CompiledUpdateKey()); empty: manifests are unsigned, but a file's
    // SHA256 that a manifest states is still checked.
    std::string UpdateKeyPem;

    // The installed version; GetCurrentVersion fills an empty one with the
    // version compiled into the program.
    void SetCurrentVersion(const std::string& version) { FCurrentVersion = version; }
    const std::string& GetCurrentVersion();

    // "LatestVersion" of the manifest after CheckUpdate; empty before.
    const std::string& LatestVersion() const { return FLatestVersion; }
    // Bytes received so far by the running (or last) download.
    std::uint32_t Progress() const { return FProgress; }
    // Size stated by the manifest for the file being downloaded.
    std::int32_t iFileSize() const { return FFileSize; }
    // The program must close so that the copy tool can finish the update.
    bool NeedRestart() const { return FNeedRestart; }
    // DoUpdate started (or had to start) the copy tool.
    bool RunCopyTool() const { return FRunCopyTool; }
    // The parameter text DoUpdate built last (empty before).
    const std::string& CopyToolParameters() const { return FCopyToolParameters; }
    // How the last CheckUpdate ended.
    tCheckResult CheckResult() const { return FCheckResult; }
    // The last check or download failed a signature or digest check.
    bool Unverified() const { return FUnverified; }

    std::string GetDescription(int index) const;
    int GetDescriptionCount() const;
    std::string GetUpdateFilename(int index) const;
    int GetUpdateCount() const;

    // --- Operations ---------------------------------------------------------
    // Fetches the manifest into UpdateFile and collects the files of the
    // version section that serves the installed version. True when there is
    // at least one file to fetch.
    bool CheckUpdate();
    // Downloads every http item, then starts the copy tool when an item needs
    // it. True when every item was fetched (and the copy tool, if needed, was
    // started); a failed download leaves no partial file behind, nor does a
    // file whose digest differs from the manifest's SHA256.
    bool DoUpdate();
    // Forgets the items; a running download is aborted (it fails).
    void CancelUpdate();

private:
    void Log(const std::string& line) const;
    THttpCli& Client();
    // GET of `url` into the file `path`, piece by piece, of at most about
    // `size` bytes (see DownloadLimit). On failure the file is removed and
    // false returned.
    bool Fetch(const std::string& url, const std::string& path, std::int32_t size);
    // The most bytes a download of a file of the stated size may bring.
    size_t DownloadLimit(std::int32_t size) const;
    // The GET itself, into FDownloadFile or FDownloadBody as the caller set
    // up; `what` names the destination in the log. An exception of an event
    // handler ends up in `foreign` for the caller to rethrow after cleaning up.
    bool Transfer(const std::string& url, const std::string& what, std::exception_ptr& foreign);
    // The text at `url` (http or file://) of at most `limit` bytes; false,
    // logged, when it cannot be had.
    bool FetchText(const std::string& url, size_t limit, std::string& bytes);
    // With a key, the manifest's signature at URL + ".sig" must verify.
    bool VerifyManifest(const std::string& bytes);
    void ReadManifest(const std::string& bytes);
    // The target with "%MAIN_DIR%\" replaced and '\' made '/'; empty when it
    // does not lie inside the updates folder.
    std::string ResolveTarget(const std::string& target, std::string& why) const;
    void HttpCli1DocData(const char* data, size_t len);
    void HttpClientDocEnd();
    void CloseDownloadFile();

    std::string FCurrentVersion;
    std::string FLatestVersion;
    std::uint32_t FProgress = 0;
    std::int32_t FFileSize = 0;
    bool FNeedRestart = false;
    bool FRunCopyTool = false;
    tCheckResult FCheckResult = tCheckResult::NoUpdate;
    bool FUnverified = false;
    std::unique_ptr<std::vector<tItemUpdate>> FItems;
    std::vector<std::string> FDescriptions;
    std::string FCopyToolParameters;
    int FDownloadFile = -1;               // descriptor of the running download's output
    std::string* FDownloadBody = nullptr; // or the text it goes to (the manifest)
    bool FWriteFailed = false;
    bool FBusy = false;
    bool FCancelled = false;
    std::unique_ptr<THttpCli> FHttpClient;
};

} // namespace corvane
