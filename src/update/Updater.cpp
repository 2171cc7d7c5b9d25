#include "Updater.h"

#include "Files.h"
#include "HttpCli.h"
#include "IniFile.h"
#include "MainThread.h"
#include "Platform.h"
#include "UpdateVerify.h"

#ifdef _WIN32
#include "PlatformWindows.h"

#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <exception>
#include <optional>

namespace corvane {

namespace {

// A manifest is a few kilobytes; anything far larger is not one.
constexpr size_t kMaxManifestSize = 256 * 1024;
// A base64 DER signature of P-256 is under a hundred characters.
constexpr size_t kMaxSignatureSize = 4096;
// What a download may exceed the Size its manifest states by, or a tenth of
// that Size when more: a file may have changed a little since the manifest
// was written.
constexpr size_t kDownloadSlack = 64 * 1024;
// Upper bound for the counts a manifest states, so that a broken count does
// not turn into billions of reads.
constexpr int kMaxCount = 1000;

constexpr std::string_view kMainDir = "%MAIN_DIR%";

std::string ErrnoText(int err) {
    return std::strerror(err);
}

// Only the scheme http is fetched, in any letter case.
bool IsHttp(const std::string& source) {
    const auto colon = source.find(':');
    std::string scheme = colon == std::string::npos ? "" : source.substr(0, colon);
    std::transform(scheme.begin(), scheme.end(), scheme.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return scheme == "http";
}

int ClampCount(int n) {
    return std::clamp(n, 0, kMaxCount);
}

std::int32_t PartValue(std::string_view text) {
    int value = 0;
    return ParseIniInteger(text, value) ? value : 0;
}

// The file system's part: the download is written through a C runtime
// descriptor on either system; Windows wants wide paths for it.
#ifdef _WIN32

constexpr const char* kCopyToolName = "FileCopy.exe";

int CreateDownloadFile(const std::string& path) {
    return ::_wopen(WidePath(path).c_str(),
                    _O_WRONLY | _O_CREAT | _O_TRUNC | _O_BINARY | _O_NOINHERIT,
                    _S_IREAD | _S_IWRITE);
}

long WriteSome(int fd, const char* data, size_t len) {
    return ::_write(fd, data, static_cast<unsigned>(std::min<size_t>(len, 1u << 30)));
}

int CloseFile(int fd) {
    return ::_close(fd);
}

int RemoveFile(const std::string& path) {
    return ::_wunlink(WidePath(path).c_str());
}

// The volume and file index of a folder: two paths of one folder may differ
// in letter case, separators or a link on the way.
bool FolderIdentity(const std::string& path, BY_HANDLE_FILE_INFORMATION& info) {
    const HANDLE folder = CreateFileW(WidePath(path).c_str(), 0,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (folder == INVALID_HANDLE_VALUE)
        return false;
    const bool ok = GetFileInformationByHandle(folder, &info) != 0;
    CloseHandle(folder);
    return ok;
}

bool SameFolder(const std::string& a, const std::string& b) {
    BY_HANDLE_FILE_INFORMATION ia{};
    BY_HANDLE_FILE_INFORMATION ib{};
    if (!FolderIdentity(a, ia) || !FolderIdentity(b, ib))
        return a == b;
    return ia.dwVolumeSerialNumber == ib.dwVolumeSerialNumber &&
           ia.nFileIndexHigh == ib.nFileIndexHigh && ia.nFileIndexLow == ib.nFileIndexLow;
}

#else

constexpr const char* kCopyToolName = "FileCopy";

int CreateDownloadFile(const std::string& path) {
    return ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
}

ssize_t WriteSome(int fd, const char* data, size_t len) {
    return ::write(fd, data, len);
}

int CloseFile(int fd) {
    return ::close(fd);
}

int RemoveFile(const std::string& path) {
    return ::unlink(path.c_str());
}

bool SameFolder(const std::string& a, const std::string& b) {
    struct stat sa {};
    struct stat sb {};
    if (::stat(a.c_str(), &sa) != 0 || ::stat(b.c_str(), &sb) != 0)
        return a == b;
    return sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

#endif

bool WriteAll(int fd, const char* data, size_t len) {
    while (len > 0) {
        const auto n = WriteSome(fd, data, len);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        data += n;
        len -= static_cast<size_t>(n);
    }
    return true;
}

std::string ParentFolder(const std::string& path) {
    const auto slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

// Removes a file left by an earlier update; false with `why` set when it is
// there and stays.
bool RemoveStale(const std::string& path, std::string& why) {
    if (RemoveFile(path) == 0 || errno == ENOENT || errno == ENOTDIR)
        return true;
    why = "cannot remove " + path + ", left by an earlier update: " + ErrnoText(errno);
    return false;
}

} // namespace

// ---------------------------------------------------------------------------
// Versions

tVersion TranslateVersion(std::string_view text) {
    tVersion v;
    size_t part = 0;
    size_t dot;
    while ((dot = text.find('.')) != std::string_view::npos) {
        const std::string_view piece = text.substr(0, dot);
        if (part < v.Parts.size() && piece != "*")
            v.Parts[part] = PartValue(piece);
        text.remove_prefix(dot + 1);
        ++part;
    }
    if (part < v.Parts.size() && !text.empty() && text.find('*') == std::string_view::npos)
        v.Parts[part] = PartValue(text);
    return v;
}

bool UpdateNeeded(const tVersion& installed, const tVersion& latest) {
    for (size_t i = 0; i < installed.Parts.size(); ++i)
        if (latest.Parts[i] != installed.Parts[i])
            return latest.Parts[i] > installed.Parts[i];
    return false;
}

bool MaskMatches(const tVersion& mask, const tVersion& installed) {
    for (size_t i = 0; i < mask.Parts.size(); ++i)
        if (mask.Parts[i] != -1 && mask.Parts[i] != installed.Parts[i])
            return false;
    return true;
}

// ---------------------------------------------------------------------------
// Folders and the copy tool's parameters

std::string GetUpdatesFolder() {
    const std::string appData = UserAppDataFolder();
    if (!appData.empty()) {
        const std::string folder = appData + "/Brindlex/Updates";
        if (ForceDirectories(folder))
            return folder + "/";
    }
    return ProgramFolder();
}

std::string UpdateManifestUrl() {
    return std::string("http://") + CORVANE_UPDATE_HOST + "/softwupd/corvane.ini";
}

std::string BuildCopyToolParameters(int processId, const std::string& program,
                                    const std::vector<std::string>& files) {
    std::string text = "-id " + std::to_string(processId) + " -p \"" + program + " -u\"";
    for (const std::string& file : files)
        text += " -f \"" + file + "\"";
    return text;
}

bool ParseCopyToolArgs(const std::vector<std::string>& args, TCopyToolArgs& out,
                       std::string& error) {
    out = TCopyToolArgs{};
    bool haveId = false;
    bool haveProgram = false;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& name = args[i];
        if (name != "-id" && name != "-p" && name != "-f") {
            error = "unexpected argument \"" + name + "\"";
            return false;
        }
        if (i + 1 >= args.size()) {
            error = name + " without a value";
            return false;
        }
        const std::string& value = args[++i];
        if (name == "-id") {
            int pid = 0;
            const auto [end, ec] = std::from_chars(value.data(), value.data() + value.size(), pid);
            if (haveId || ec != std::errc() || end != value.data() + value.size() || pid <= 0) {
                error = haveId ? "-id given twice" : "-id \"" + value + "\" is no process id";
                return false;
            }
            out.ProcessId = pid;
            haveId = true;
        } else if (name == "-p") {
            if (haveProgram) {
                error = "-p given twice";
                return false;
            }
            // The program's path and its arguments share one quoted value.
            constexpr std::string_view restart = " -u";
            if (value.size() > restart.size() && value.ends_with(restart)) {
                out.Program = value.substr(0, value.size() - restart.size());
                out.ProgramParameters = "-u";
            } else {
                out.Program = value;
            }
            haveProgram = true;
        } else {
            out.Files.push_back(value);
        }
    }
    if (!haveId || !haveProgram || out.Program.empty()) {
        error = !haveId ? "-id is missing" : "-p is missing";
        return false;
    }
    return true;
}

// ---------------------------------------------------------------------------
// TUpdater

TUpdater::TUpdater()
    : UpdatesFolder(GetUpdatesFolder()), ProgramFile(ProgramPath()),
      CopyTool(ProgramFolder() + kCopyToolName), ProcessId(CurrentProcessId()),
      UpdateKeyPem(CompiledUpdateKey()) {
    UpdateFile = UpdatesFolder + "update.ini";
}

TUpdater::~TUpdater() {
    CloseDownloadFile();
}

void TUpdater::Log(const std::string& line) const {
    if (OnLog)
        OnLog(line);
    else
        DebugOutput("Updater: " + line);
}

const std::string& TUpdater::GetCurrentVersion() {
    if (FCurrentVersion.empty())
        FCurrentVersion = ProgramVersion();
    return FCurrentVersion;
}

std::string TUpdater::GetDescription(int index) const {
    if (index < 0 || static_cast<size_t>(index) >= FDescriptions.size())
        return {};
    return FDescriptions[static_cast<size_t>(index)];
}

int TUpdater::GetDescriptionCount() const {
    return static_cast<int>(FDescriptions.size());
}

std::string TUpdater::GetUpdateFilename(int index) const {
    if (!FItems || index < 0 || static_cast<size_t>(index) >= FItems->size())
        return {};
    return (*FItems)[static_cast<size_t>(index)].Target;
}

int TUpdater::GetUpdateCount() const {
    return FItems ? static_cast<int>(FItems->size()) : 0;
}

void TUpdater::CancelUpdate() {
    FItems.reset();
    if (FBusy && FHttpClient) {
        FCancelled = true;
        FHttpClient->Abort();
    }
}

THttpCli& TUpdater::Client() {
    if (!FHttpClient) {
        FHttpClient = std::make_unique<THttpCli>();
        FHttpClient->OnDocData = [this](THttpCli&, const char* data, size_t len) {
            HttpCli1DocData(data, len);
        };
        FHttpClient->OnDocEnd = [this](THttpCli&) { HttpClientDocEnd(); };
    }
    FHttpClient->Proxy = ProxyServer;
    FHttpClient->ProxyPort = ProxyPort;
    return *FHttpClient;
}

void TUpdater::HttpCli1DocData(const char* data, size_t len) {
    if (FDownloadBody) {
        // Bounded by the client's MaxBodySize.
        FDownloadBody->append(data, len);
    } else {
        if (FDownloadFile < 0)
            return;
        if (!WriteAll(FDownloadFile, data, len)) {
            Log("Writing the download failed: " + ErrnoText(errno));
            FWriteFailed = true;
            CloseDownloadFile();
            FHttpClient->Abort();
            return;
        }
    }
    FProgress += static_cast<std::uint32_t>(len);
    if (OnProgress)
        OnProgress(*this, FProgress);
}

void TUpdater::HttpClientDocEnd() {
    CloseDownloadFile();
}

void TUpdater::CloseDownloadFile() {
    if (FDownloadFile < 0)
        return;
    if (CloseFile(FDownloadFile) != 0 && errno != EINTR) {
        Log("Closing the download failed: " + ErrnoText(errno));
        FWriteFailed = true;
    }
    FDownloadFile = -1;
}

bool TUpdater::Transfer(const std::string& url, const std::string& what,
                        std::exception_ptr& foreign) {
    THttpCli& client = Client();
    FWriteFailed = false;
    FProgress = 0;
    client.URL = url;

    bool ok = true;
    FBusy = true;
    try {
        client.GetPieces([this] {
            if (OnIdle)
                OnIdle();
            else if (IsMainThread())
                CheckSynchronize();
        });
    } catch (const EHttpException& e) {
        Log(std::string("Download failed: ") + e.what());
        ok = false;
    } catch (...) {
        // Thrown by an event handler of the caller: the download is lost,
        // the exception is theirs.
        foreign = std::current_exception();
        ok = false;
    }
    FBusy = false;
    CloseDownloadFile();
    if (ok && FWriteFailed)
        ok = false;
    if (ok && FCancelled) {
        Log("Download cancelled: " + what);
        ok = false;
    }
    // 401 and 407 come back as answers; their body is no update file.
    const int status = client.StatusCode();
    if (ok && (status < 200 || status > 299)) {
        Log("Download failed: HTTP status " + std::to_string(status));
        ok = false;
    }
    return ok;
}

size_t TUpdater::DownloadLimit(std::int32_t size) const {
    if (size <= 0)
        return MaxDownloadSize;
    const auto stated = static_cast<size_t>(size);
    return std::min(stated + std::max(kDownloadSlack, stated / 10), MaxDownloadSize);
}

bool TUpdater::Fetch(const std::string& url, const std::string& path, std::int32_t size) {
    const int fd = CreateDownloadFile(path);
    if (fd < 0) {
        Log("Cannot create " + path + ": " + ErrnoText(errno));
        return false;
    }
    FDownloadFile = fd;
    FDownloadBody = nullptr;
    std::exception_ptr foreign;
    // A server that sends more than the manifest says must not fill the disk.
    Client().MaxBodySize = DownloadLimit(size);
    const bool ok = Transfer(url, path, foreign);
    FHttpClient->MaxBodySize = 0;
    if (!ok)
        RemoveFile(path);
    if (foreign)
        std::rethrow_exception(foreign);
    return ok;
}

bool TUpdater::FetchText(const std::string& url, size_t limit, std::string& bytes) {
    bytes.clear();
    if (url.starts_with("file://")) {
        const std::string source = url.substr(7);
        bool tooLarge = false;
        std::optional<std::string> read = ReadWholeFile(source, limit, &tooLarge);
        if (!read) {
            const std::string why =
                tooLarge ? "larger than " + std::to_string(limit) + " bytes" : ErrnoText(errno);
            Log("Cannot read " + source + ": " + why);
            return false;
        }
        bytes = std::move(*read);
        return true;
    }
    THttpCli& client = Client();
    client.MaxBodySize = limit;
    FDownloadBody = &bytes;
    std::exception_ptr foreign;
    const bool ok = Transfer(url, url, foreign);
    FDownloadBody = nullptr;
    client.MaxBodySize = 0;
    if (foreign)
        std::rethrow_exception(foreign);
    return ok;
}

bool TUpdater::VerifyManifest(const std::string& bytes) {
    if (UpdateKeyPem.empty())
        return true;
    std::string signature;
    if (!FetchText(URL + ".sig", kMaxSignatureSize, signature)) {
        Log("Update not verified: the signature " + URL + ".sig cannot be fetched");
        return false;
    }
    std::string why;
    if (!VerifyUpdateSignature(bytes, signature, UpdateKeyPem, why)) {
        Log("Update not verified: " + why);
        return false;
    }
    return true;
}

bool TUpdater::CheckUpdate() {
    if (FBusy)
        return false;
    // Every check reflects the manifest it fetched, nothing of an earlier one.
    FItems.reset();
    FDescriptions.clear();
    FNeedRestart = false;
    FLatestVersion.clear();
    FCancelled = false;
    FUnverified = false;
    FCheckResult = tCheckResult::NoUpdate;
    Client();

    // Without a fresh, verified manifest there is nothing to decide: a file
    // left by an earlier check may describe an update that is long gone.
    std::string bytes;
    std::string error;
    bool ok = false;
    try {
        ok = FetchText(URL, kMaxManifestSize, bytes);
    } catch (...) {
        // An event handler's exception: the check failed all the same.
        RemoveFile(UpdateFile);
        throw;
    }
    if (!ok) {
        Log("Update server not reached: the manifest " + URL + " cannot be fetched");
        FCheckResult = tCheckResult::Unreachable;
    } else if (!VerifyManifest(bytes)) {
        FUnverified = true;
        FCheckResult = tCheckResult::Unverified;
        ok = false;
    } else if (!ReplaceFileAtomically(UpdateFile, bytes, 0644, &error)) {
        Log("Manifest not stored: " + error);
        ok = false;
    }
    if (!ok) {
        RemoveFile(UpdateFile);
        return false;
    }
    ReadManifest(bytes);
    if (FUnverified) {
        FItems.reset();
        FNeedRestart = false;
        FCheckResult = tCheckResult::Unverified;
        RemoveFile(UpdateFile);
        return false;
    }
    if (FItems && !FItems->empty())
        FCheckResult = tCheckResult::Available;
    return FCheckResult == tCheckResult::Available;
}

void TUpdater::ReadManifest(const std::string& bytes) {
    // Parsed once: a manifest of many sections read key by key would be
    // parsed again for every key.
    const TIniText ini(bytes);
    FLatestVersion = ini.ReadString("General", "LatestVersion", "0");
    const tVersion installed = TranslateVersion(FCurrentVersion);
    const tVersion latest = TranslateVersion(FLatestVersion);
    if (!IgnoreCurrentVersion && !UpdateNeeded(installed, latest))
        return;

    const int versions = ClampCount(ini.ReadInteger("General", "VersionCount", 0));
    std::string chosen;
    bool found = false;
    for (int i = 0; i < versions && !found; ++i) {
        const std::string section =
            ini.ReadString("General", "VersionSection" + std::to_string(i), "");
        if (MaskMatches(TranslateVersion(ini.ReadString(section, "Mask", "")), installed)) {
            chosen = section;
            found = true;
        }
    }
    if (!found)
        return;

    const int files = ClampCount(ini.ReadInteger(chosen, "FileCount", 0));
    for (int j = 0; j < files; ++j) {
        const std::string section = ini.ReadString(chosen, "FileSection" + std::to_string(j), "");
        if (section.empty())
            continue;
        tItemUpdate item;
        item.Source = ini.ReadString(section, "Source", "");
        item.Target = ini.ReadString(section, "Target", "");
        item.Size = ini.ReadInteger(section, "Size", 0);
        item.UseTemp = ini.ReadInteger(section, "UseTemp", 0) != 0;
        item.Sha256 = ini.ReadString(section, "SHA256", "");
        std::transform(item.Sha256.begin(), item.Sha256.end(), item.Sha256.begin(),
                       [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
        // A signed manifest vouches for its files only through their digests.
        if (item.Sha256.empty() && !UpdateKeyPem.empty()) {
            Log("Update not verified: the file section " + section + " has no SHA256");
            FUnverified = true;
        } else if (!item.Sha256.empty() && !IsSha256Hex(item.Sha256)) {
            Log("Update not verified: the SHA256 of the file section " + section +
                " is not 64 hex digits");
            FUnverified = true;
        }
        if (ini.ReadBool(section, "NeedRestart", false))
            FNeedRestart = true;
        if (!FItems)
            FItems = std::make_unique<std::vector<tItemUpdate>>();
        FItems->push_back(std::move(item));
    }
    const int lines = ClampCount(ini.ReadInteger(chosen, "DescriptionCount", 0));
    for (int k = 0; k < lines; ++k)
        FDescriptions.push_back(ini.ReadString(chosen, "Description" + std::to_string(k), ""));
}

std::string TUpdater::ResolveTarget(const std::string& target, std::string& why) const {
    // "%MAIN_DIR%\" (or "/") stands for the updates folder, where the copy
    // tool picks the files up; the manifest's backslashes separate folders.
    std::string resolved;
    size_t found = std::string::npos;
    for (size_t pos = target.find(kMainDir); pos != std::string::npos;
         pos = target.find(kMainDir, pos + 1)) {
        const size_t after = pos + kMainDir.size();
        if (after < target.size() && (target[after] == '\\' || target[after] == '/')) {
            found = pos;
            break;
        }
    }
    const auto slashes = [](std::string text) {
        std::replace(text.begin(), text.end(), '\\', '/');
        return text;
    };
    if (found != std::string::npos)
        resolved = slashes(target.substr(0, found)) + UpdatesFolder +
                   slashes(target.substr(found + kMainDir.size() + 1));
    else
        resolved = slashes(target);

    for (const char c : resolved) {
        if (c == '"' || static_cast<unsigned char>(c) < 0x20) {
            why = "holds a quotation mark or a control character";
            return {};
        }
    }
    if (UpdatesFolder.empty() || !resolved.starts_with(UpdatesFolder)) {
        why = "lies outside the updates folder " + UpdatesFolder;
        return {};
    }
    const std::string rel = resolved.substr(UpdatesFolder.size());
    size_t begin = 0;
    while (true) {
        const size_t end = std::min(rel.find('/', begin), rel.size());
        const std::string_view part(rel.data() + begin, end - begin);
        if (part.empty() || part == "." || part == "..") {
            why = "is not a plain file path below the updates folder";
            return {};
        }
        if (end == rel.size())
            break;
        begin = end + 1;
    }
    return resolved;
}

bool TUpdater::DoUpdate() {
    if (!FItems || FBusy)
        return false;
    FCancelled = false;
    FUnverified = false;

    // A manifest may name only files below the updates folder: anything else
    // would let whoever serves the manifest write anywhere the user can.
    std::vector<std::string> targets;
    for (const tItemUpdate& item : *FItems) {
        std::string why;
        targets.push_back(ResolveTarget(item.Target, why));
        if (targets.back().empty()) {
            Log("Update refused: the target \"" + item.Target + "\" " + why);
            return false;
        }
    }
    if (ProgramFile.find('"') != std::string::npos) {
        Log("Update refused: the program path holds a quotation mark: " + ProgramFile);
        return false;
    }
    // The copy tool installs "<target>.temp" when there is one, else
    // "<target>": a file an earlier, failed update left there must not pass
    // for what this one fetched. An item that is not fetched installs nothing,
    // unless the updates folder is the program's own, where "<target>" is
    // the installed file itself.
    const bool inProgramFolder = SameFolder(UpdatesFolder, ParentFolder(ProgramFile));
    for (size_t i = 0; i < targets.size(); ++i) {
        std::string why;
        if (!RemoveStale(targets[i] + ".temp", why) ||
            (!IsHttp((*FItems)[i].Source) && !inProgramFolder && !RemoveStale(targets[i], why))) {
            Log("Update refused: " + why);
            return false;
        }
    }

    std::vector<std::string> files;
    FCopyToolParameters = BuildCopyToolParameters(ProcessId, ProgramFile, files);
    bool result = false;
    for (size_t i = 0; i < targets.size(); ++i) {
        if (!FItems || i >= FItems->size())
            return false; // cancelled during the previous download
        tItemUpdate& item = (*FItems)[i];
        item.Target = targets[i];
        files.push_back(item.Target);
        FCopyToolParameters = BuildCopyToolParameters(ProcessId, ProgramFile, files);
        FFileSize = item.Size;

        if (!IsHttp(item.Source)) {
            Log("Not fetched (no http source): " + item.Source);
            continue;
        }
        // The item may go away during the download (CancelUpdate).
        const std::string source = item.Source;
        const bool useTemp = item.UseTemp;
        const std::string digest = item.Sha256;
        const std::string output = item.Target + (useTemp ? ".temp" : "");
        ForceDirectories(ParentFolder(output));
        if (!Fetch(source, output, item.Size))
            return false;
        if (!FItems)
            return false;
        if (!digest.empty()) {
            std::string why;
            const std::string actual = FileSha256Hex(output, why);
            if (actual != digest) {
                RemoveFile(output);
                FUnverified = true;
                Log("Update not verified: " +
                    (actual.empty()
                         ? why
                         : output + " has the SHA256 " + actual + ", the manifest says " + digest) +
                    "; the file is deleted");
                return false;
            }
        }
        result = true;
        if (useTemp || FNeedRestart) {
            FNeedRestart = true;
            FRunCopyTool = true;
        }
    }
    if (FRunCopyTool) {
        if (!StartProgram(CopyTool, FCopyToolParameters)) {
            Log("Cannot start the copy tool " + CopyTool);
            return false;
        }
        Log("Copy tool started: " + CopyTool + " " + FCopyToolParameters);
    }
    return result;
}

} // namespace corvane
