#include "SimServer.h"

#include "CallSignal.h"
#include "Certificate.h"
#include "ConnectionSocket.h"
#include "Query.h"

#include <httplib.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <unistd.h>

namespace corvane::sim {

namespace {

using Clock = std::chrono::steady_clock;

constexpr const char* kTextType = "text/plain; charset=utf-8";
constexpr int kSampleRate = 8000;
constexpr uint64_t kPieceFrames = 160; // 20 ms per write
constexpr const char* kCookieName = "QSESSID";

// What the request log line of the request being served says beyond the
// status: set by the handler, read by the logger, both on the worker thread
// that serves the request.
struct TRequestNote {
    std::string outcome; // replaces the status in the log when set
    size_t streamed = 0; // body bytes written by a content provider
    bool provider = false;
};
thread_local TRequestNote tNote;

bool IsAudioMode(const std::string& mode) {
    return mode.rfind("audio-", 0) == 0;
}

// A hold or stall of the recorder for a client whose clock runs `timeScale`
// times as fast as real time.
Clock::duration Scaled(Clock::duration d, double timeScale) {
    return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double, std::nano>(d) /
                                                       timeScale);
}

bool KnownMode(const std::string& mode) {
    static const char* const modes[] = {"none",      "error",         "notloggedin", "http500",
                                        "http401",   "stall",         "drop",        "reset",
                                        "slow",      "redirect-loop", "oversize",    "empty",
                                        "records",   "field",         "audio-split", "audio-nozero",
                                        "audio-end", "audio-stall",   "audio-cut",   "audio-reset"};
    return std::find(std::begin(modes), std::end(modes), mode) != std::end(modes);
}

std::string CookieValue(const std::string& header, const std::string& name) {
    // "a=1; QSESSID=xyz; b=2"
    size_t pos = 0;
    while (pos < header.size()) {
        while (pos < header.size() && (header[pos] == ' ' || header[pos] == ';'))
            ++pos;
        const auto end = header.find(';', pos);
        const std::string part = header.substr(pos, end == std::string::npos ? end : end - pos);
        const auto eq = part.find('=');
        if (eq != std::string::npos && part.substr(0, eq) == name)
            return part.substr(eq + 1);
        if (end == std::string::npos)
            break;
        pos = end + 1;
    }
    return {};
}

void SetText(httplib::Response& res, const std::string& body, int status = 200) {
    res.status = status;
    res.set_content(body, kTextType);
}

long long Now() {
    return static_cast<long long>(std::time(nullptr));
}

} // namespace

// One live-audio answer, written piece by piece by the library's content
// provider on the worker thread that serves the request.
struct TSimServer::TStream {
    TSimServer* server = nullptr;
    std::string header; // without the zero byte
    bool zeroByte = true;
    long long splitMs = -1;
    bool known = false;
    uint64_t serial = 0;
    std::unique_ptr<TCallSignal> signal;
    std::shared_ptr<TStreamRecord> record;
    std::string limitMode; // audio-end, -stall, -cut, -reset, or empty
    size_t limitBytes = 0;
    std::string remoteAddr;
    int remotePort = -1;
    int localPort = -1;

    bool headerDone = false;
    Clock::time_point start;
    uint64_t frames = 0;
    size_t audioBytes = 0;
    std::vector<uint8_t> buffer;

    ~TStream() {
        if (record) {
            std::lock_guard lock(record->mutex);
            record->running = false;
        }
    }

    bool Write(httplib::DataSink& sink, const void* data, size_t n, bool audio) {
        if (n == 0)
            return true;
        if (!sink.write(static_cast<const char*>(data), n))
            return false;
        tNote.streamed += n;
        if (audio) {
            audioBytes += n;
            std::lock_guard lock(record->mutex);
            record->total += n;
            const size_t keep =
                std::min(n, kMaxKeptAudio - std::min(kMaxKeptAudio, record->bytes.size()));
            record->bytes.append(static_cast<const char*>(data), keep);
        }
        return true;
    }

    // One step of the answer; false ends it by closing the connection.
    bool Step(httplib::DataSink& sink) {
        TCallBook& book = server->FBook;
        if (!headerDone) {
            if (splitMs >= 0 && header.size() >= 2) {
                const size_t half = header.size() / 2;
                if (!Write(sink, header.data(), half, false))
                    return false;
                if (!book.SleepUntil(Clock::now() + std::chrono::milliseconds(splitMs)))
                    return false;
                if (!Write(sink, header.data() + half, header.size() - half, false))
                    return false;
            } else if (!Write(sink, header.data(), header.size(), false)) {
                return false;
            }
            if (zeroByte && !Write(sink, "", 1, false))
                return false;
            headerDone = true;
            start = Clock::now();
            if (!known)
                sink.done();
            return true;
        }

        if (!limitMode.empty() && audioBytes >= limitBytes) {
            if (limitMode == "audio-end") {
                tNote.outcome = "ended by fault";
                sink.done();
                return true;
            }
            const int fd = server->FindSocket(remoteAddr, remotePort, localPort);
            if (limitMode == "audio-reset") {
                tNote.outcome = fd >= 0 && ResetConnection(fd) ? "reset by fault" : "reset failed";
                return false;
            }
            if (limitMode == "audio-stall") {
                tNote.outcome = "stalled by fault";
                if (fd >= 0) {
                    while (!book.Stopping() &&
                           !WaitForPeerClose(fd, server->FStopPipe[0], std::chrono::hours(1))) {
                    }
                } else {
                    while (book.SleepUntil(Clock::now() + std::chrono::hours(1))) {
                    }
                }
                return false;
            }
            tNote.outcome = "cut by fault"; // audio-cut: close without ending the answer
            return false;
        }

        const auto due = start + std::chrono::microseconds(frames * 1000000 / kSampleRate);
        if (Clock::now() < due) {
            if (!book.WaitWhileActive(serial, due)) {
                if (book.Stopping())
                    return false;
                tNote.outcome = "call ended";
                sink.done();
                return true;
            }
        } else if (!book.IsActive(serial)) {
            tNote.outcome = "call ended";
            sink.done();
            return true;
        }
        const size_t pieceBytes = kPieceFrames * static_cast<size_t>(signal->Channels());
        buffer.resize(pieceBytes);
        signal->Render(buffer.data(), kPieceFrames);
        size_t n = pieceBytes;
        if (!limitMode.empty())
            n = std::min(n, limitBytes - audioBytes);
        frames += kPieceFrames;
        if (!Write(sink, buffer.data(), n, true)) {
            tNote.outcome = "client gone";
            return false;
        }
        return true;
    }
};

TSimServer::TSimServer(const TSimOptions& options, TSimLog& log)
    : FOptions(options), FLog(log), FStart(Clock::now()) {
    FSettings.hold = options.hold;
    FSettings.aLaw = options.aLaw;
    FSettings.channels = options.channels;
    FSettings.user = options.user;
    FSettings.password = options.password;
    if (::pipe2(FStopPipe, O_CLOEXEC) != 0)
        throw std::runtime_error(std::string("pipe2 failed: ") + std::strerror(errno));
}

TSimServer::~TSimServer() {
    for (const int fd : FStopPipe)
        if (fd >= 0)
            ::close(fd);
}

std::string TSimServer::Url() const {
    const std::string host =
        FOptions.host.find(':') != std::string::npos ? "[" + FOptions.host + "]" : FOptions.host;
    return std::string(FOptions.https ? "https" : "http") + "://" + host + ":" +
           std::to_string(FPort);
}

void TSimServer::Setup() {
    if (!FOptions.callsFile.empty())
        LoadCallsFile(FOptions.callsFile);

    if (FOptions.https) {
        std::unique_ptr<httplib::SSLServer> ssl;
        if (!FOptions.certFile.empty()) {
            ssl = std::make_unique<httplib::SSLServer>(FOptions.certFile.c_str(),
                                                       FOptions.keyFile.c_str());
        } else {
            const TCertificate generated = GenerateSelfSigned();
            // The library's context takes its own references to both.
            ssl = std::make_unique<httplib::SSLServer>(generated.cert.get(), generated.key.get());
            if (!FOptions.certOut.empty()) {
                std::ofstream out(FOptions.certOut, std::ios::binary | std::ios::trunc);
                out << CertificatePem(generated.cert.get());
                if (!out)
                    throw std::runtime_error("cannot write " + FOptions.certOut);
            }
        }
        if (!ssl->is_valid())
            throw std::runtime_error(
                "the TLS server could not be set up (certificate or key " +
                (FOptions.certFile.empty() ? std::string("generated") : FOptions.certFile) +
                " not usable)");
        FServer = std::move(ssl);
    } else {
        FServer = std::make_unique<httplib::Server>();
    }

    // Held polls and audio streams each keep a worker for a long time; the
    // library's default of a few workers would starve them.
    FServer->new_task_queue = [] { return new httplib::ThreadPool(kWorkerThreads); };
    // Short idle times so that a stop is not kept waiting by idle connections.
    FServer->set_keep_alive_timeout(1);
    FServer->set_read_timeout(5);
    FServer->set_write_timeout(5);
    Route();

    if (FOptions.port == 0) {
        FPort = FServer->bind_to_any_port(FOptions.host);
        if (FPort <= 0)
            throw std::runtime_error("cannot listen on " + FOptions.host);
    } else {
        if (!FServer->bind_to_port(FOptions.host, FOptions.port))
            throw std::runtime_error("cannot listen on " + FOptions.host + ":" +
                                     std::to_string(FOptions.port));
        FPort = FOptions.port;
    }
}

bool TSimServer::Run() {
    return FServer->listen_after_bind();
}

void TSimServer::Stop() {
    const char byte = 1;
    [[maybe_unused]] const ssize_t n = ::write(FStopPipe[1], &byte, 1);
    FBook.Shutdown();
    if (FServer)
        FServer->stop();
}

TSimServer::TSettings TSimServer::Settings() const {
    std::lock_guard lock(FMutex);
    return FSettings;
}

long long TSimServer::MsSinceStart() const {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - FStart).count();
}

int TSimServer::FindSocket(const std::string& remoteAddr, int remotePort, int localPort) const {
    return FindConnectionSocket(remoteAddr, remotePort, localPort > 0 ? localPort : FPort);
}

void TSimServer::LoadCallsFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        throw std::runtime_error("cannot read the calls file " + path);
    std::string line;
    int lineNo = 0;
    int count = 0;
    while (std::getline(in, line)) {
        ++lineNo;
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (line.find_first_not_of(" \t") == std::string::npos || line[0] == '#')
            continue;
        std::vector<std::pair<std::string, std::string>> pairs;
        std::stringstream fields(line);
        std::string field;
        while (std::getline(fields, field, '\t')) {
            if (field.empty())
                continue;
            const auto eq = field.find('=');
            if (eq == std::string::npos)
                throw std::runtime_error(path + ":" + std::to_string(lineNo) + ": '" + field +
                                         "' is not key=value");
            pairs.emplace_back(field.substr(0, eq), field.substr(eq + 1));
        }
        TSimCall call;
        const std::string error = MakeCall(pairs, Now(), FBook.NextAutoId(), call);
        if (!error.empty())
            throw std::runtime_error(path + ":" + std::to_string(lineNo) + ": " + error);
        FBook.Add(std::move(call));
        ++count;
    }
    FLog.Line("loaded " + std::to_string(count) + " calls from " + path);
}

void TSimServer::Route() {
    httplib::Server& s = *FServer;
    s.set_pre_routing_handler([](const httplib::Request&, httplib::Response&) {
        tNote = TRequestNote();
        return httplib::Server::HandlerResponse::Unhandled;
    });
    // The library announces keep-alive even to HTTP/1.0 requests, yet closes
    // those connections after the answer; say so, as an HTTP/1.0 peer expects.
    s.set_post_routing_handler([](const httplib::Request& req, httplib::Response& res) {
        if (req.version == "HTTP/1.0") {
            res.headers.erase("Keep-Alive");
            res.set_header("Connection", "close");
        }
    });
    s.set_logger([this](const httplib::Request& req, const httplib::Response& res) {
        std::string line = req.method + " " + MaskPassword(req.target) + " ";
        line += tNote.outcome.empty() ? std::to_string(res.status)
                                      : std::to_string(res.status) + " (" + tNote.outcome + ")";
        line += " " + std::to_string(tNote.provider ? tNote.streamed : res.body.size());
        if (req.has_header("Cookie"))
            line += " cookie=\"" + req.get_header_value("Cookie") + "\"";
        line += " " + req.version;
        FLog.Line(line);
        tNote = TRequestNote();
    });

    s.Get(R"(/client\.php)",
          [this](const httplib::Request& req, httplib::Response& res) { HandleClient(req, res); });
    s.Get("/sim/requests", [this](const httplib::Request& req, httplib::Response& res) {
        ControlRequests(req, res);
    });
    s.Get("/sim/calls/add",
          [this](const httplib::Request& req, httplib::Response& res) { ControlAdd(req, res); });
    s.Get("/sim/calls/hangup", [this](const httplib::Request& req, httplib::Response& res) {
        const std::string id = QueryValue(ParseQuery(req.target), "id");
        const int n = FBook.Hangup(id);
        SetText(res, n > 0 ? "OK " + std::to_string(n) + "\n" : "no call with id " + id + "\n",
                n > 0 ? 200 : 404);
    });
    s.Get("/sim/calls/clear", [this](const httplib::Request&, httplib::Response& res) {
        SetText(res, "OK " + std::to_string(FBook.Clear()) + "\n");
    });
    s.Get("/sim/calls", [this](const httplib::Request&, httplib::Response& res) {
        SetText(res, FormatRecordList(FBook.Calls()) + "\n");
    });
    s.Get("/sim/config",
          [this](const httplib::Request& req, httplib::Response& res) { ControlConfig(req, res); });
    s.Get("/sim/fault",
          [this](const httplib::Request& req, httplib::Response& res) { ControlFault(req, res); });
    s.Get("/sim/restart", [this](const httplib::Request&, httplib::Response& res) {
        {
            std::lock_guard lock(FMutex);
            FSessions.clear();
        }
        FBook.Restart();
        SetText(res, "OK\n");
    });
    s.Get("/sim/rtcall/sent",
          [this](const httplib::Request& req, httplib::Response& res) { ControlSent(req, res); });
    s.Get("/sim/rtcall/streams", [this](const httplib::Request& req, httplib::Response& res) {
        ControlStreams(req, res);
    });
}

void TSimServer::RecordRequest(const httplib::Request& req) {
    std::string line = std::to_string(MsSinceStart()) + "\t" + req.target + "\t" +
                       req.get_header_value("Cookie") + "\t" + req.version;
    std::lock_guard lock(FMutex);
    // A bound, so that a demo left running for days does not grow without end.
    if (FRequests.size() >= kMaxRequestLines)
        FRequests.erase(FRequests.begin(), FRequests.begin() + kMaxRequestLines / 10);
    FRequests.push_back(std::move(line));
}

bool TSimServer::TakeFault(bool rtCall, TFault& fault) {
    std::lock_guard lock(FMutex);
    if (FFault.mode == "none" || FFault.count == 0)
        return false;
    if (IsAudioMode(FFault.mode) && !rtCall)
        return false;
    fault = FFault;
    if (FFault.count > 0 && --FFault.count == 0)
        FFault = TFault();
    return true;
}

bool TSimServer::CredentialsOk(const httplib::Request& req) {
    const TQueryParams params = ParseQuery(req.target);
    const TSettings settings = Settings();
    return HasQueryKey(params, "username") && HasQueryKey(params, "password") &&
           QueryValue(params, "username") == settings.user &&
           QueryValue(params, "password") == settings.password;
}

void TSimServer::SetSessionCookie(const httplib::Request& req, httplib::Response& res) {
    const std::string sent = CookieValue(req.get_header_value("Cookie"), kCookieName);
    std::lock_guard lock(FMutex);
    if (!sent.empty() && FSessions.count(sent))
        return;
    std::string id = RandomHex(26);
    if (FSessions.size() > 100000)
        FSessions.clear();
    FSessions.insert(id);
    res.set_header("Set-Cookie", std::string(kCookieName) + "=" + id + "; Path=/");
}

std::string TSimServer::PollAnswer() {
    auto [know, calls] = FBook.State();
    return "ServerTime: " + std::to_string(Now()) + "\r\nList: " + FormatRecordList(calls) +
           "\r\nKnow: " + know + "\r\n";
}

std::string TSimServer::ImmediateAnswer(const httplib::Request& req, bool rtCall) {
    const std::string zero = rtCall ? std::string(1, '\0') : std::string();
    if (!CredentialsOk(req))
        return "Error: NotLoggedIn\r\n" + zero;
    const TQueryParams params = ParseQuery(req.target);
    const std::string info = QueryValue(params, "info");
    if (info == "AllActiveCalls")
        return PollAnswer();
    if (rtCall) {
        if (!FBook.FindByRemoteId(QueryValue(params, "remid")))
            return "Error: UnknownCall\r\n" + zero;
        const TSettings settings = Settings();
        return std::string("Format: ") + (settings.aLaw ? "alaw" : "ulaw") +
               "\r\nChannels: " + std::to_string(settings.channels) + "\r\n" + zero;
    }
    return "Error: UnknownRequest\r\n";
}

void TSimServer::HandleClient(const httplib::Request& req, httplib::Response& res) {
    RecordRequest(req);
    const TQueryParams params = ParseQuery(req.target);
    const std::string info = QueryValue(params, "info");
    const bool rtCall = info == "RTCall";

    TFault fault;
    const bool faulty = TakeFault(rtCall, fault);
    if (!(faulty && fault.mode == "reset"))
        SetSessionCookie(req, res);
    if (faulty && !IsAudioMode(fault.mode) && ApplyFault(fault, req, res, rtCall))
        return;

    if (!CredentialsOk(req)) {
        SetText(res, ImmediateAnswer(req, rtCall));
        return;
    }
    if (info == "AllActiveCalls")
        HandlePoll(req, res, Settings().hold);
    else if (rtCall)
        HandleRtCall(req, res, faulty && IsAudioMode(fault.mode) ? &fault : nullptr);
    else
        SetText(res, "Error: UnknownRequest\r\n");
}

void TSimServer::HandlePoll(const httplib::Request& req, httplib::Response& res, bool hold) {
    const TQueryParams params = ParseQuery(req.target);
    long long wait = 0;
    if (!ParseInteger(QueryValue(params, "wait"), wait) || wait < 0)
        wait = 0;
    wait = std::min<long long>(wait, 60);
    if (hold && wait > 0 && HasQueryKey(params, "know")) {
        const std::string know = QueryValue(params, "know");
        if (know == FBook.Know()) {
            FBook.WaitWhileKnow(know, Clock::now() +
                                          Scaled(std::chrono::seconds(wait), FOptions.timeScale));
            tNote.outcome = know == FBook.Know() ? "held, no change" : "held until change";
        }
    }
    SetText(res, PollAnswer());
}

int TSimServer::ConnectionSocket(const httplib::Request& req) {
    return FindSocket(req.remote_addr, req.remote_port, req.local_port);
}

bool TSimServer::ApplyFault(const TFault& fault, const httplib::Request& req,
                            httplib::Response& res, bool rtCall) {
    const std::string& mode = fault.mode;
    const std::string zero = rtCall ? std::string(1, '\0') : std::string();
    tNote.outcome = "fault " + mode;
    if (mode == "error") {
        SetText(res, "Error: " + fault.text + "\r\n" + zero);
    } else if (mode == "notloggedin") {
        SetText(res, "Error: NotLoggedIn\r\n" + zero);
    } else if (mode == "http500") {
        SetText(res, "500 Internal Server Error\n", 500);
    } else if (mode == "http401") {
        res.set_header("WWW-Authenticate", "Basic realm=\"Quorin\"");
        SetText(res, "401 Unauthorized\n", 401);
    } else if (mode == "empty") {
        SetText(res, "");
    } else if (mode == "records") {
        // A list far longer than any recorder's, in the usual answer.
        const size_t count = static_cast<size_t>(fault.records >= 0 ? fault.records : 100000);
        std::string list = "[";
        list.reserve(count * (fault.id.empty() ? 16 : fault.id.size() + 9) + 2);
        for (size_t i = 0; i < count; ++i) {
            list += i ? ",{id:\"" : "{id:\"";
            list += fault.id.empty() ? std::to_string(i + 1) : fault.id;
            list += "\"}";
        }
        list += "]";
        SetText(res, "ServerTime: " + std::to_string(Now()) + "\r\nList: " + list +
                         "\r\nKnow: " + FBook.Know() + "\r\n" + zero);
    } else if (mode == "field") {
        // One more field, its value as given and padded with "x" to `bytes`.
        std::string value = fault.value;
        if (fault.bytes >= 0 && value.size() < static_cast<size_t>(fault.bytes))
            value.resize(static_cast<size_t>(fault.bytes), 'x');
        std::string body = ImmediateAnswer(req, rtCall);
        const std::string line = fault.key + ": " + value + "\r\n";
        // A stream header keeps its zero byte at the end.
        body.insert(rtCall && !body.empty() ? body.size() - 1 : body.size(), line);
        SetText(res, body);
    } else if (mode == "redirect-loop") {
        res.set_redirect(req.target, 302);
    } else if (mode == "reset") {
        const int fd = ConnectionSocket(req);
        if (fd < 0 || !ResetConnection(fd)) {
            tNote.outcome = "fault reset failed: connection socket not found";
            FLog.Line("reset fault: the connection's socket was not found");
        }
        res.status = 200;
    } else if (mode == "stall") {
        const auto span = std::chrono::ceil<std::chrono::milliseconds>(
            Scaled(std::chrono::seconds(fault.seconds), FOptions.timeScale));
        const int fd = ConnectionSocket(req);
        bool gone = false;
        if (fd >= 0)
            gone = WaitForPeerClose(fd, FStopPipe[0], span);
        else
            FBook.SleepUntil(Clock::now() + span);
        if (gone) {
            tNote.outcome = "fault stall, client gone";
            res.status = 200;
            return true;
        }
        // After the silence the request is answered as usual.
        tNote.outcome = "fault stall, then answered";
        return false;
    } else if (mode == "drop" || mode == "slow" || mode == "oversize") {
        std::string body = ImmediateAnswer(req, rtCall);
        if (mode == "oversize") {
            const size_t size = static_cast<size_t>(fault.bytes >= 0 ? fault.bytes : 1 << 20);
            // Filler under a key starting with "_", which answer parsers skip.
            auto text = std::make_shared<std::string>(body + "_Filler: ");
            res.set_content_provider(
                size, kTextType,
                [text, size](size_t offset, size_t length, httplib::DataSink& sink) {
                    char chunk[16384];
                    const size_t n = std::min(length, sizeof chunk);
                    for (size_t i = 0; i < n; ++i) {
                        const size_t at = offset + i;
                        chunk[i] = at < text->size() ? (*text)[at]
                                   : at + 2 == size  ? '\r'
                                   : at + 1 == size  ? '\n'
                                                     : 'x';
                    }
                    if (!sink.write(chunk, n))
                        return false;
                    tNote.streamed += n;
                    return true;
                });
            tNote.provider = true;
            res.status = 200;
            return true;
        }
        auto text = std::make_shared<std::string>(std::move(body));
        const long long ms = fault.ms >= 0 ? fault.ms : 50;
        const bool drop = mode == "drop";
        res.set_content_provider(
            text->size(), kTextType,
            [this, text, drop, ms](size_t offset, size_t length, httplib::DataSink& sink) {
                if (drop) {
                    // Half of the answer under a Content-Length of all of it,
                    // then the connection closes.
                    const size_t half = std::max<size_t>(1, text->size() / 2);
                    if (offset >= half || !sink.write(text->data() + offset, half - offset))
                        return false;
                    tNote.streamed += half - offset;
                    return false;
                }
                if (offset > 0 && !FBook.SleepUntil(Clock::now() + std::chrono::milliseconds(ms)))
                    return false;
                if (length == 0 || !sink.write(text->data() + offset, 1))
                    return false;
                tNote.streamed += 1;
                return true;
            });
        tNote.provider = true;
        res.status = 200;
    } else {
        return false;
    }
    return true;
}

void TSimServer::HandleRtCall(const httplib::Request& req, httplib::Response& res,
                              const TFault* audioFault) {
    const TQueryParams params = ParseQuery(req.target);
    const std::string remid = QueryValue(params, "remid");
    const auto call = FBook.FindByRemoteId(remid);
    const TSettings settings = Settings();

    auto stream = std::make_shared<TStream>();
    stream->server = this;
    stream->remoteAddr = req.remote_addr;
    stream->remotePort = req.remote_port;
    stream->localPort = req.local_port;
    if (!call) {
        stream->header = "Error: UnknownCall\r\n";
        tNote.outcome = "unknown call";
    } else {
        stream->known = true;
        stream->serial = call->serial;
        stream->header = std::string("Format: ") + (settings.aLaw ? "alaw" : "ulaw") +
                         "\r\nChannels: " + std::to_string(settings.channels) + "\r\n";
        stream->signal =
            std::make_unique<TCallSignal>(remid, call->toneHz, settings.aLaw, settings.channels);
    }
    if (audioFault) {
        const std::string& mode = audioFault->mode;
        tNote.outcome = "fault " + mode;
        if (mode == "audio-split")
            stream->splitMs = audioFault->ms >= 0 ? audioFault->ms : 500;
        else if (mode == "audio-nozero")
            stream->zeroByte = false;
        else {
            stream->limitMode = mode;
            stream->limitBytes =
                static_cast<size_t>(audioFault->bytes >= 0 ? audioFault->bytes : 10000);
        }
    }
    if (!call && !audioFault) {
        SetText(res, stream->header + std::string(1, '\0'));
        return;
    }
    if (call) {
        stream->record = std::make_shared<TStreamRecord>();
        std::lock_guard lock(FMutex);
        FLatestStreams[remid] = stream->record;
        std::erase_if(FRunningStreams, [](const auto& s) { return s.second.expired(); });
        FRunningStreams.emplace_back(remid, stream->record);
    }

    auto provider = [stream](size_t, httplib::DataSink& sink) { return stream->Step(sink); };
    // HTTP/1.0 has no chunks: the body ends when the connection closes.
    if (req.version == "HTTP/1.0")
        res.set_content_provider("application/octet-stream", provider);
    else
        res.set_chunked_content_provider("application/octet-stream", provider);
    tNote.provider = true;
    res.status = 200;
}

void TSimServer::ControlRequests(const httplib::Request& req, httplib::Response& res) {
    const bool clear = QueryValue(ParseQuery(req.target), "clear") == "1";
    std::string body;
    std::lock_guard lock(FMutex);
    for (const auto& line : FRequests)
        body += line + "\n";
    if (clear)
        FRequests.clear();
    SetText(res, body);
}

void TSimServer::ControlAdd(const httplib::Request& req, httplib::Response& res) {
    TSimCall call;
    const std::string error = MakeCall(ParseQuery(req.target), Now(), FBook.NextAutoId(), call);
    if (!error.empty()) {
        SetText(res, error + "\n", 400);
        return;
    }
    const std::string id = call.Get("id");
    FBook.Add(std::move(call));
    SetText(res, id + "\n");
}

void TSimServer::ControlConfig(const httplib::Request& req, httplib::Response& res) {
    const TQueryParams params = ParseQuery(req.target);
    TSettings s = Settings();
    for (const auto& [key, value] : params) {
        long long n = 0;
        if (key == "hold" && (value == "0" || value == "1")) {
            s.hold = value == "1";
        } else if (key == "format" && (value == "alaw" || value == "ulaw")) {
            s.aLaw = value == "alaw";
        } else if (key == "channels" && ParseInteger(value, n) && n >= 1 && n <= kMaxChannels) {
            s.channels = static_cast<int>(n);
        } else if (key == "user") {
            s.user = value;
        } else if (key == "password") {
            s.password = value;
        } else {
            SetText(res,
                    "bad setting '" + key + "'" + (key == "password" ? "" : "='" + value + "'") +
                        "\n",
                    400);
            return;
        }
    }
    std::lock_guard lock(FMutex);
    FSettings = s;
    SetText(res, "OK\n");
}

void TSimServer::ControlFault(const httplib::Request& req, httplib::Response& res) {
    const TQueryParams params = ParseQuery(req.target);
    TFault f;
    f.mode = QueryValue(params, "mode", "none");
    if (!KnownMode(f.mode)) {
        SetText(res, "unknown fault mode '" + f.mode + "'\n", 400);
        return;
    }
    auto number = [&](const char* key, long long& out) {
        if (!HasQueryKey(params, key))
            return true;
        return ParseInteger(QueryValue(params, key), out) && out >= 0;
    };
    if (!number("count", f.count) || !number("ms", f.ms) || !number("bytes", f.bytes) ||
        !number("records", f.records)) {
        SetText(res, "count, ms, bytes and records must be whole numbers of 0 or more\n", 400);
        return;
    }
    if (HasQueryKey(params, "seconds") &&
        (!ParseInteger(QueryValue(params, "seconds"), f.seconds) || f.seconds < 0)) {
        SetText(res, "seconds must be a whole number of 0 or more\n", 400);
        return;
    }
    f.text = QueryValue(params, "text", f.text);
    f.id = QueryValue(params, "id", f.id);
    f.key = QueryValue(params, "key", f.key);
    f.value = QueryValue(params, "value", f.value);
    if (f.mode == "none" || f.count == 0)
        f = TFault();
    std::lock_guard lock(FMutex);
    FFault = f;
    SetText(res, "OK\n");
}

void TSimServer::ControlSent(const httplib::Request& req, httplib::Response& res) {
    const std::string remid = QueryValue(ParseQuery(req.target), "remid");
    std::shared_ptr<TStreamRecord> record;
    {
        std::lock_guard lock(FMutex);
        const auto it = FLatestStreams.find(remid);
        if (it != FLatestStreams.end())
            record = it->second;
    }
    if (!record) {
        SetText(res, "", 404);
        return;
    }
    std::lock_guard lock(record->mutex);
    res.set_content(record->bytes, "application/octet-stream");
}

void TSimServer::ControlStreams(const httplib::Request&, httplib::Response& res) {
    std::string body;
    std::lock_guard lock(FMutex);
    for (const auto& [remid, weak] : FRunningStreams) {
        const auto record = weak.lock();
        if (!record)
            continue;
        std::lock_guard recordLock(record->mutex);
        if (record->running)
            body += remid + "\t" + std::to_string(record->total) + "\n";
    }
    SetText(res, body);
}

} // namespace corvane::sim
