#include "TestSupport.h"

#include "MainThread.h"

#include <cctype>
#include <cerrno>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

// The helpers that are the same on every platform.

namespace corvane::test {

namespace {

// Paths are UTF-8 everywhere in the project; Windows' narrow file names are not.
std::filesystem::path PathOf(const std::string& utf8) {
    return std::filesystem::path(std::u8string(utf8.begin(), utf8.end()));
}

} // namespace

std::string ReadFile(const std::string& path) {
    std::ifstream in(PathOf(path), std::ios::binary);
    if (!in)
        throw std::runtime_error("cannot read " + path);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

void WriteFile(const std::string& path, const std::string& bytes) {
    std::ofstream out(PathOf(path), std::ios::binary | std::ios::trunc);
    if (!out)
        throw std::runtime_error("cannot write " + path);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::string UrlDecode(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '+') {
            out.push_back(' ');
        } else if (c == '%' && i + 2 < text.size() &&
                   std::isxdigit(static_cast<unsigned char>(text[i + 1])) &&
                   std::isxdigit(static_cast<unsigned char>(text[i + 2]))) {
            out.push_back(static_cast<char>(std::stoi(text.substr(i + 1, 2), nullptr, 16)));
            i += 2;
        } else {
            out.push_back(c);
        }
    }
    return out;
}

std::string QueryValue(const std::string& query, const std::string& key) {
    size_t pos = 0;
    while (pos <= query.size()) {
        size_t amp = query.find('&', pos);
        if (amp == std::string::npos)
            amp = query.size();
        const std::string part = query.substr(pos, amp - pos);
        const auto eq = part.find('=');
        if (eq != std::string::npos && part.substr(0, eq) == key)
            return UrlDecode(part.substr(eq + 1));
        pos = amp + 1;
    }
    return {};
}

std::string QuorinSim::Request::Query() const {
    const auto q = target.find('?');
    return q == std::string::npos ? std::string() : target.substr(q + 1);
}

std::vector<QuorinSim::Request> QuorinSim::Requests() const {
    std::vector<Request> out;
    std::istringstream in(Control("/sim/requests"));
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (line.empty())
            continue;
        std::vector<std::string> f;
        size_t pos = 0;
        while (true) {
            const auto tab = line.find('\t', pos);
            f.push_back(line.substr(pos, tab == std::string::npos ? std::string::npos : tab - pos));
            if (tab == std::string::npos)
                break;
            pos = tab + 1;
        }
        Request r;
        r.ms = f.size() > 0 ? std::atol(f[0].c_str()) : 0;
        r.target = f.size() > 1 ? f[1] : "";
        r.cookie = f.size() > 2 ? f[2] : "";
        r.version = f.size() > 3 ? f[3] : "";
        out.push_back(std::move(r));
    }
    return out;
}

std::vector<QuorinSim::Request> QuorinSim::Requests(const std::string& info) const {
    std::vector<Request> out;
    for (auto& r : Requests())
        if (r.Param("info") == info)
            out.push_back(r);
    return out;
}

void ChildProcess::Reader(int fd) {
    std::string pending;
    char buf[4096];
    while (true) {
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        pending.append(buf, static_cast<size_t>(n));
        size_t pos;
        while ((pos = pending.find('\n')) != std::string::npos) {
            std::lock_guard lock(FMutex);
            FLines.push_back(pending.substr(0, pos));
            pending.erase(0, pos + 1);
        }
    }
    ::close(fd);
    std::lock_guard lock(FMutex);
    if (!pending.empty())
        FLines.push_back(pending);
    FReaderDone = true;
    FReaderDoneCv.notify_all();
}

void ChildProcess::AwaitReaderAfterExit() {
    if (Running())
        return;
    // A grandchild may keep the pipe open; do not wait for it for ever.
    std::unique_lock lock(FMutex);
    FReaderDoneCv.wait_for(lock, std::chrono::seconds(2), [this] { return FReaderDone; });
}

std::string ChildProcess::WaitForLine(const std::string& text, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (true) {
        {
            std::lock_guard lock(FMutex);
            for (const auto& l : FLines)
                if (l.find(text) != std::string::npos)
                    return l;
        }
        if (std::chrono::steady_clock::now() >= deadline || !Running())
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    AwaitReaderAfterExit();
    std::lock_guard lock(FMutex);
    for (const auto& l : FLines)
        if (l.find(text) != std::string::npos)
            return l;
    return {};
}

std::vector<std::string> ChildProcess::Lines() {
    AwaitReaderAfterExit();
    std::lock_guard lock(FMutex);
    return FLines;
}

bool PumpUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!done()) {
        if (std::chrono::steady_clock::now() >= deadline)
            return done();
        WaitAndCheckSynchronize(5);
    }
    return true;
}

void PumpFor(std::chrono::milliseconds duration) {
    const auto deadline = std::chrono::steady_clock::now() + duration;
    while (std::chrono::steady_clock::now() < deadline)
        WaitAndCheckSynchronize(5);
}

} // namespace corvane::test
