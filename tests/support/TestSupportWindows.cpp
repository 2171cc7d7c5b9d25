#include "TestSupport.h"

#include "Platform.h"

#include <atomic>
#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>

#include <fcntl.h>
#include <io.h>
#include <winsock2.h>
#include <ws2tcpip.h>

#include <windows.h>

// The Windows side of the test helpers: folders, loopback sockets and child
// processes through Windows' own calls. Paths given at build time are the
// build machine's; under Wine they are reached through drive Z:.

namespace corvane::test {

namespace {

std::string HostPath(const char* path) {
    const std::string p = path;
    return !p.empty() && p[0] == '/' ? "Z:" + p : p;
}

// Winsock starts once per process and stays up until it ends.
void StartWinsock() {
    static const bool started = [] {
        WSADATA data;
        return WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }();
    if (!started)
        throw std::runtime_error("WSAStartup failed");
}

// One argument of a command line as the child's start-up code splits it.
std::wstring QuoteArgument(const std::string& arg) {
    const std::u16string wide = Utf8ToWide(arg);
    std::wstring in(wide.begin(), wide.end());
    if (!in.empty() && in.find_first_of(L" \t\"") == std::wstring::npos)
        return in;
    std::wstring out = L"\"";
    size_t backslashes = 0;
    for (const wchar_t c : in) {
        if (c == L'\\') {
            ++backslashes;
            continue;
        }
        if (c == L'"')
            out.append(backslashes * 2 + 1, L'\\');
        else
            out.append(backslashes, L'\\');
        backslashes = 0;
        out.push_back(c);
    }
    out.append(backslashes * 2, L'\\');
    out.push_back(L'"');
    return out;
}

} // namespace

std::string BinDir() {
    return HostPath(CORVANE_BIN_DIR);
}
std::string TestDataDir() {
    return HostPath(CORVANE_TEST_DATA_DIR);
}
std::string SourceDir() {
    return HostPath(CORVANE_SOURCE_DIR);
}

TempDir::TempDir() {
    static std::atomic<unsigned> counter{0};
    std::error_code ec;
    const std::filesystem::path base = std::filesystem::temp_directory_path(ec);
    if (ec)
        throw std::runtime_error("no temporary folder: " + ec.message());
    for (int attempt = 0; attempt < 100; ++attempt) {
        const std::filesystem::path dir =
            base / ("corvane-test-" + std::to_string(GetCurrentProcessId()) + "-" +
                    std::to_string(GetTickCount64() % 100000) + "-" + std::to_string(++counter));
        if (CreateDirectoryW(dir.c_str(), nullptr)) {
            const std::u8string u8 = dir.generic_u8string();
            FPath.assign(u8.begin(), u8.end());
            return;
        }
    }
    throw std::runtime_error("cannot create a temporary folder below " + base.string());
}

TempDir::~TempDir() {
    std::error_code ec;
    const std::filesystem::path root(std::u8string(FPath.begin(), FPath.end()));
    // Read-only files cannot be deleted on Windows; make them writable first.
    for (auto it = std::filesystem::recursive_directory_iterator(root, ec);
         !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec))
        SetFileAttributesW(it->path().c_str(), FILE_ATTRIBUTE_NORMAL);
    std::filesystem::remove_all(root, ec);
}

int FreePort() {
    StartWinsock();
    const SOCKET s = ::socket(AF_INET, SOCK_STREAM, 0);
    if (s == INVALID_SOCKET)
        throw std::runtime_error("socket failed");
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = 0;
    if (::bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        ::closesocket(s);
        throw std::runtime_error("bind failed");
    }
    int len = sizeof addr;
    ::getsockname(s, reinterpret_cast<sockaddr*>(&addr), &len);
    ::closesocket(s);
    return ntohs(addr.sin_port);
}

ChildProcess::ChildProcess(const std::string& program, const std::vector<std::string>& args,
                           const std::vector<std::string>& extraEnv) {
    SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    HANDLE readEnd = nullptr;
    HANDLE writeEnd = nullptr;
    if (!CreatePipe(&readEnd, &writeEnd, &inherit, 0))
        throw std::runtime_error("pipe failed");
    SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);

    std::wstring commandLine = QuoteArgument(program);
    for (const auto& a : args)
        commandLine += L" " + QuoteArgument(a);
    // The environment block: ours, then the extra "NAME=value" entries.
    std::wstring environment;
    if (!extraEnv.empty()) {
        if (wchar_t* block = GetEnvironmentStringsW()) {
            for (const wchar_t* e = block; *e; e += wcslen(e) + 1)
                environment.append(e).push_back(L'\0');
            FreeEnvironmentStringsW(block);
        }
        for (const auto& e : extraEnv) {
            const std::u16string wide = Utf8ToWide(e);
            environment.append(wide.begin(), wide.end()).push_back(L'\0');
        }
        environment.push_back(L'\0');
    }

    STARTUPINFOW si{};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    si.hStdOutput = writeEnd;
    si.hStdError = writeEnd;
    PROCESS_INFORMATION pi{};
    const std::u16string wideProgram = Utf8ToWide(program);
    const std::wstring applicationName(wideProgram.begin(), wideProgram.end());
    const BOOL started =
        CreateProcessW(applicationName.c_str(), commandLine.data(), nullptr, nullptr, TRUE,
                       CREATE_UNICODE_ENVIRONMENT | CREATE_NO_WINDOW,
                       environment.empty() ? nullptr : environment.data(), nullptr, &si, &pi);
    const DWORD error = GetLastError();
    CloseHandle(writeEnd);
    if (!started) {
        CloseHandle(readEnd);
        throw std::runtime_error("cannot start " + program + ": error " + std::to_string(error));
    }
    CloseHandle(pi.hThread);
    FProcess = pi.hProcess;
    FPid = static_cast<pid_t>(pi.dwProcessId);
    const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(readEnd), _O_RDONLY | _O_BINARY);
    FReader = std::thread([this, fd] { Reader(fd); });
}

ChildProcess::~ChildProcess() {
    Stop();
    if (FReader.joinable())
        FReader.join();
    if (FProcess)
        CloseHandle(static_cast<HANDLE>(FProcess));
}

bool ChildProcess::Running() {
    if (FReaped || !FProcess)
        return false;
    if (WaitForSingleObject(static_cast<HANDLE>(FProcess), 0) != WAIT_OBJECT_0)
        return true;
    DWORD code = 0;
    GetExitCodeProcess(static_cast<HANDLE>(FProcess), &code);
    FExitCode = static_cast<int>(code);
    FReaped = true;
    return false;
}

// Windows has no polite signal for a console-less child: it is ended at once.
void ChildProcess::Stop() {
    if (!FProcess || !Running())
        return;
    TerminateProcess(static_cast<HANDLE>(FProcess), 1);
    WaitForSingleObject(static_cast<HANDLE>(FProcess), 5000);
    FReaped = true;
    FExitCode = -1;
}

std::string HttpGetRaw(int port, const std::string& target, int* status) {
    StartWinsock();
    const SOCKET s = ::socket(AF_INET, SOCK_STREAM, 0);
    if (s == INVALID_SOCKET)
        throw std::runtime_error("socket failed");
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<u_short>(port));
    if (::connect(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        ::closesocket(s);
        throw std::runtime_error("connect to port " + std::to_string(port) + " failed");
    }
    std::string request = "GET ";
    request += target;
    request += " HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n";
    if (::send(s, request.data(), static_cast<int>(request.size()), 0) !=
        static_cast<int>(request.size())) {
        ::closesocket(s);
        throw std::runtime_error("send failed");
    }
    std::string answer;
    char buf[8192];
    while (true) {
        const int n = ::recv(s, buf, sizeof buf, 0);
        if (n <= 0)
            break;
        answer.append(buf, static_cast<size_t>(n));
    }
    ::closesocket(s);
    const auto end = answer.find("\r\n\r\n");
    if (end == std::string::npos)
        throw std::runtime_error("no HTTP answer from port " + std::to_string(port));
    if (status) {
        const auto sp = answer.find(' ');
        *status = sp != std::string::npos ? std::atoi(answer.c_str() + sp + 1) : 0;
    }
    return answer.substr(end + 4);
}

namespace {

int LauncherPort() {
    const char* port = std::getenv("CORVANE_HOST_LAUNCHER");
    if (!port || !*port)
        throw std::runtime_error("CORVANE_HOST_LAUNCHER is not set: the simulator is started by "
                                 "tests/windows/host_launcher.py on the build machine");
    return std::atoi(port);
}

std::string QueryEscaped(const std::string& text) {
    static const char hex[] = "0123456789ABCDEF";
    std::string out;
    for (const char c : text) {
        const auto u = static_cast<unsigned char>(c);
        if (std::isalnum(u) || c == '-' || c == '_' || c == '.' || c == '~') {
            out.push_back(c);
        } else {
            out.push_back('%');
            out.push_back(hex[u >> 4]);
            out.push_back(hex[u & 15]);
        }
    }
    return out;
}

} // namespace

QuorinSim::QuorinSim(const std::vector<std::string>& args) {
    std::string target = "/sim/start?";
    for (const auto& a : args) {
        target += "arg=";
        target += QueryEscaped(a);
        target += '&';
    }
    int status = 0;
    const std::string answer = HttpGetRaw(LauncherPort(), target, &status);
    const auto blank = answer.find(' ');
    if (status != 200 || blank == std::string::npos)
        throw std::runtime_error("quorin-sim did not start: " + answer);
    FRemoteId = std::atoi(answer.c_str());
    FPort = std::atoi(answer.c_str() + blank + 1);
}

QuorinSim::~QuorinSim() {
    try {
        HttpGetRaw(LauncherPort(), "/sim/stop?id=" + std::to_string(FRemoteId));
    } catch (...) {
        // The launcher ends every simulator it started when it ends.
    }
}

} // namespace corvane::test
