#include "SimClient.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <numbers>
#include <stdexcept>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace corvane::test {

namespace {

std::string Lower(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return s;
}

} // namespace

std::string TRawAnswer::Header(const std::string& name) const {
    const std::string want = Lower(name) + ":";
    size_t pos = head.find("\r\n");
    while (pos != std::string::npos) {
        pos += 2;
        const auto end = head.find("\r\n", pos);
        const std::string line = head.substr(pos, end == std::string::npos ? end : end - pos);
        if (Lower(line.substr(0, want.size())) == want) {
            const auto v = line.find_first_not_of(' ', want.size());
            return v == std::string::npos ? std::string() : line.substr(v);
        }
        pos = end;
    }
    return {};
}

bool TRawAnswer::HasHeader(const std::string& name) const {
    const std::string want = "\r\n" + Lower(name) + ":";
    return Lower(head).find(want) != std::string::npos;
}

TRawConnection::TRawConnection(int port) {
    FFd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (FFd < 0)
        throw std::runtime_error("socket failed");
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<uint16_t>(port));
    if (::connect(FFd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        ::close(FFd);
        throw std::runtime_error("connect to port " + std::to_string(port) + " failed");
    }
}

TRawConnection::~TRawConnection() {
    Close();
}

void TRawConnection::Close() {
    if (FFd >= 0)
        ::close(FFd);
    FFd = -1;
}

void TRawConnection::Send(const std::string& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::send(FFd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            throw std::runtime_error("send failed");
        done += static_cast<size_t>(n);
    }
}

void TRawConnection::SendGet(const std::string& target, const std::string& version,
                             const std::string& extraHeaders) {
    Send("GET " + target + " HTTP/" + version + "\r\nHost: 127.0.0.1\r\n" + extraHeaders + "\r\n");
}

bool TRawConnection::ReadSome(std::string& into, std::chrono::steady_clock::time_point deadline) {
    if (FClosed || FReset || FFd < 0)
        return false;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0)
        return true;
    pollfd p{FFd, POLLIN, 0};
    const int r = ::poll(&p, 1, static_cast<int>(left.count()));
    if (r <= 0)
        return true; // time-out (or EINTR): still open
    char buf[65536];
    const ssize_t n = ::recv(FFd, buf, sizeof buf, 0);
    if (n > 0) {
        into.append(buf, static_cast<size_t>(n));
        return true;
    }
    if (n == 0)
        FClosed = true;
    else if (errno == ECONNRESET)
        FReset = true;
    else if (errno == EINTR || errno == EAGAIN)
        return true;
    else
        FClosed = true;
    return false;
}

bool TRawConnection::ReadAtLeast(std::string& into, size_t count,
                                 std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (into.size() < count && std::chrono::steady_clock::now() < deadline)
        if (!ReadSome(into, deadline))
            return false;
    return true;
}

bool TRawConnection::ReadFor(std::string& into, std::chrono::milliseconds duration) {
    const auto deadline = std::chrono::steady_clock::now() + duration;
    while (std::chrono::steady_clock::now() < deadline)
        if (!ReadSome(into, deadline))
            return false;
    return true;
}

void TRawConnection::ReadToEnd(std::string& into, std::chrono::milliseconds timeout) {
    ReadFor(into, timeout);
}

TRawAnswer TRawConnection::ReadAnswer(std::chrono::milliseconds timeout) {
    std::string raw;
    const bool open = ReadFor(raw, timeout);
    TRawAnswer answer;
    ParseRawAnswer(raw, answer);
    answer.closed = FClosed;
    answer.reset = FReset;
    answer.timedOut = open;
    return answer;
}

void ParseRawAnswer(const std::string& raw, TRawAnswer& answer) {
    const auto end = raw.find("\r\n\r\n");
    if (end == std::string::npos) {
        answer.head = raw;
        return;
    }
    answer.complete = true;
    answer.head = raw.substr(0, end);
    answer.body = raw.substr(end + 4);
    const auto sp = answer.head.find(' ');
    answer.status = sp == std::string::npos ? 0 : std::atoi(answer.head.c_str() + sp + 1);
}

std::string RunToEnd(const std::string& program, const std::vector<std::string>& args,
                     int& exitCode) {
    int out[2];
    if (::pipe2(out, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe failed");
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, out[1], 1);
    posix_spawn_file_actions_adddup2(&fa, out[1], 2);
    std::vector<std::string> store{program};
    store.insert(store.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : store)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t pid = -1;
    const int rc = ::posix_spawn(&pid, program.c_str(), &fa, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&fa);
    ::close(out[1]);
    if (rc != 0) {
        ::close(out[0]);
        throw std::runtime_error("cannot start " + program);
    }
    std::string output;
    char buf[4096];
    while (true) {
        const ssize_t n = ::read(out[0], buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        output.append(buf, static_cast<size_t>(n));
    }
    ::close(out[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return output;
}

TRawAnswer RawGet(int port, const std::string& target, const std::string& version,
                  const std::string& extraHeaders, std::chrono::milliseconds timeout) {
    TRawConnection c(port);
    c.SendGet(target, version, extraHeaders);
    return c.ReadAnswer(timeout);
}

std::map<std::string, std::string> ParseAnswerText(const std::string& text) {
    std::map<std::string, std::string> out;
    const std::string t = text.substr(0, text.find('\0'));
    size_t start = 0;
    while (start <= t.size()) {
        size_t cr = t.find('\r', start);
        const std::string line = t.substr(start, cr == std::string::npos ? cr : cr - start);
        const auto colon = line.find(':');
        if (colon != std::string::npos && colon > 0 && line[0] != '_')
            out[line.substr(0, colon)] = colon + 2 <= line.size() ? line.substr(colon + 2) : "";
        if (cr == std::string::npos)
            break;
        start = cr + 1;
        if (start < t.size() && t[start] == '\n')
            ++start;
    }
    return out;
}

namespace {

std::string Unquote(const std::string& v) {
    std::string out;
    enum { Outside, Inside, Escape } state = Outside;
    for (const char c : v) {
        if (state == Outside) {
            if (c == '"')
                state = Inside;
            else
                out.push_back(c);
        } else if (state == Inside) {
            if (c == '\\')
                state = Escape;
            else if (c == '"')
                state = Outside;
            else
                out.push_back(c);
        } else {
            out.push_back(c == 'n' ? '\n' : c == 'r' ? '\r' : c);
            state = Inside;
        }
    }
    return out;
}

} // namespace

std::vector<TRecord> ParseRecordList(const std::string& text) {
    std::vector<TRecord> records;
    enum { Before, Between, Key, Value, After } state = Before;
    std::string key, value;
    bool open = false;
    for (const char c : text) {
        if (c == '\0')
            break;
        switch (state) {
        case Before:
            if (c == '[')
                state = Between;
            break;
        case Between:
            open = false;
            if (c == '{')
                state = Key;
            else if (c == ']')
                state = After;
            break;
        case Key:
            if (c == ':')
                state = Value;
            else
                key.push_back(c);
            break;
        case Value:
            if (c == ',' || c == '}') {
                if (!open) {
                    records.emplace_back();
                    open = true;
                }
                records.back().emplace_back(key, Unquote(value));
                key.clear();
                value.clear();
                state = c == ',' ? Key : Between;
            } else {
                value.push_back(c);
            }
            break;
        case After:
            break;
        }
    }
    return records;
}

std::string FieldOf(const TRecord& record, const std::string& key) {
    for (const auto& [k, v] : record)
        if (k == key)
            return v;
    return {};
}

std::string EncodeCredential(const std::string& text) {
    static const char hex[] = "0123456789ABCDEF";
    static const std::string plain = "$()*,-./:@_";
    std::string out;
    for (const char c : text) {
        const auto b = static_cast<unsigned char>(c);
        if (std::isalnum(b) && b < 128)
            out.push_back(c);
        else if (plain.find(c) != std::string::npos)
            out.push_back(c);
        else if (c == ' ')
            out.push_back('+');
        else {
            out.push_back('%');
            out.push_back(hex[b >> 4]);
            out.push_back(hex[b & 15]);
        }
    }
    return out;
}

int ALawToLinear(unsigned char code) {
    const int a = code ^ 0x55;
    const int segment = (a >> 4) & 7;
    int t = (a & 15) << 4;
    if (segment == 0)
        t += 8;
    else
        t = (t + 0x108) << (segment - 1);
    return (a & 0x80) ? t : -t;
}

int ULawToLinear(unsigned char code) {
    const int u = ~code & 0xFF;
    int t = ((u & 15) << 3) + 0x84;
    t <<= (u >> 4) & 7;
    return (u & 0x80) ? 0x84 - t : t - 0x84;
}

double TonePower(const std::vector<int>& samples, double hz, int rate) {
    if (samples.empty())
        return 0;
    const double w = 2.0 * std::numbers::pi * hz / rate;
    const double coeff = 2.0 * std::cos(w);
    double s1 = 0, s2 = 0;
    for (const int x : samples) {
        const double s = x / 32768.0 + coeff * s1 - s2;
        s2 = s1;
        s1 = s;
    }
    const double power = s1 * s1 + s2 * s2 - coeff * s1 * s2;
    const double n = static_cast<double>(samples.size());
    return 4.0 * power / (n * n); // 1.0 for a full-scale sine at exactly hz
}

} // namespace corvane::test
