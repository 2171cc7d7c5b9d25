#include "NetTestServers.h"

#include <regex>
#include <stdexcept>

// The well-behaved test HTTP server on Windows, where neither cpp-httplib's
// code nor OpenSSL is at hand: the same routes, served one request per
// connection over RawServer. No TLS.

namespace corvane::test {

namespace {

struct Answer {
    int Status = 200;
    std::vector<std::string> Headers; // "Name: value"
    std::string Body;
};

const char* Reason(int status) {
    switch (status) {
    case 200:
        return "OK";
    case 302:
        return "Found";
    case 404:
        return "Not Found";
    default:
        return "Status";
    }
}

Answer Route(const std::string& target) {
    const std::string path = target.substr(0, target.find('?'));
    std::smatch m;
    Answer a;
    if (path == "/body") {
        a.Body = "hello world";
    } else if (std::regex_match(path, m, std::regex(R"(/status/(\d+))"))) {
        a.Status = std::stoi(m[1].str());
        a.Body = "status body " + m[1].str();
    } else if (path == "/redirect") {
        a.Status = 302;
        a.Headers = {"Location: /body"};
        a.Body = "redirect body";
    } else if (path == "/loop") {
        a.Status = 302;
        a.Headers = {"Location: " + target};
    } else if (path == "/cookies") {
        a.Headers = {"Set-Cookie: a=1; Path=/", "Set-Cookie: b=2"};
        a.Body = "cookies";
    } else if (path == "/cookie-redirect") {
        a.Status = 302;
        a.Headers = {"Set-Cookie: c=3", "Location: /cookies"};
    } else if (std::regex_match(path, m, std::regex(R"(/goto/(https?)/([^/]+)/(\d+)(/.*))"))) {
        a.Status = 302;
        a.Headers = {"Location: " + m[1].str() + "://" + m[2].str() + ":" + m[3].str() +
                     m[4].str()};
    } else if (std::regex_match(path, m, std::regex(R"(/size/(\d+))"))) {
        a.Body.assign(std::stoul(m[1].str()), 'x');
    } else {
        a.Status = 404;
    }
    return a;
}

} // namespace

TestHttpServer::TestHttpServer(const CertificateFiles* tls) : FTls(false) {
    if (tls)
        throw std::runtime_error("the Windows test HTTP server speaks no TLS");
    FRaw =
        std::make_unique<RawServer>([this](RawServer& server, int fd) { Serve(server, fd); }, 64);
    FPort = FRaw->Port();
}

TestHttpServer::~TestHttpServer() = default;

std::string TestHttpServer::Url(const std::string& path, const std::string& host) const {
    return "http://" + host + ":" + std::to_string(FPort) + path;
}

std::vector<SeenRequest> TestHttpServer::Requests() const {
    std::lock_guard lock(FMutex);
    return FRequests;
}

void TestHttpServer::Serve(RawServer& server, int fd) {
    const std::string head = server.ReadHead(fd);
    if (head.empty())
        return;
    SeenRequest seen;
    size_t lineEnd = head.find("\r\n");
    const std::string first = head.substr(0, lineEnd);
    const size_t sp1 = first.find(' ');
    const size_t sp2 = first.find(' ', sp1 + 1);
    seen.Method = first.substr(0, sp1);
    seen.Target = first.substr(sp1 + 1, sp2 - sp1 - 1);
    seen.Version = first.substr(sp2 + 1);
    for (size_t pos = lineEnd + 2; pos < head.size();) {
        const size_t end = head.find("\r\n", pos);
        const std::string line = head.substr(pos, end - pos);
        pos = end + 2;
        const size_t colon = line.find(':');
        if (line.empty() || colon == std::string::npos)
            continue;
        const size_t value = line.find_first_not_of(' ', colon + 1);
        seen.Headers.emplace(line.substr(0, colon),
                             value == std::string::npos ? std::string() : line.substr(value));
    }
    const Answer a = Route(seen.Target);
    {
        std::lock_guard lock(FMutex);
        FRequests.push_back(seen);
    }
    std::string answer = "HTTP/1.1 " + std::to_string(a.Status) + " " + Reason(a.Status) + "\r\n";
    for (const auto& h : a.Headers)
        answer += h + "\r\n";
    answer += "Content-Type: text/plain\r\nContent-Length: " + std::to_string(a.Body.size()) +
              "\r\nConnection: close\r\n\r\n";
    if (seen.Method != "HEAD")
        answer += a.Body;
    RawServer::Send(fd, answer);
}

} // namespace corvane::test
