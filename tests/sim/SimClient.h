#pragma once

// Raw-socket HTTP for the simulator's tests: the exact bytes on the wire, the
// way a connection ends (close or reset), and a small reader of the recorder's
// answer format and record list, written from the format's rules.

#include <chrono>
#include <map>
#include <string>
#include <vector>

namespace corvane::test {

struct TRawAnswer {
    std::string head; // status line and headers, without the blank line
    std::string body;
    int status = 0;
    bool complete = false; // the head was received in full
    bool closed = false;   // the server closed the connection (FIN)
    bool reset = false;    // the connection ended with ECONNRESET
    bool timedOut = false; // the time ran out with the connection still open

    // The first header of that name (case-insensitive), "" when absent.
    std::string Header(const std::string& name) const;
    bool HasHeader(const std::string& name) const;
};

class TRawConnection {
public:
    explicit TRawConnection(int port);
    ~TRawConnection();
    TRawConnection(const TRawConnection&) = delete;
    TRawConnection& operator=(const TRawConnection&) = delete;

    void Send(const std::string& bytes);
    // Sends "GET target HTTP/<version>" with a Host header and `extraHeaders`
    // (each ending in CR LF).
    void SendGet(const std::string& target, const std::string& version = "1.0",
                 const std::string& extraHeaders = "");
    // Reads until the connection ends or `timeout` passes and parses the answer.
    TRawAnswer ReadAnswer(std::chrono::milliseconds timeout = std::chrono::seconds(10));
    // Appends what arrives to `into` until at least `count` bytes are there,
    // the connection ends, or `timeout` passes. Returns false when it ended.
    bool ReadAtLeast(std::string& into, size_t count, std::chrono::milliseconds timeout);
    // Appends everything that arrives within `duration`. Returns false when the
    // connection ended.
    bool ReadFor(std::string& into, std::chrono::milliseconds duration);
    // Reads to the end of the connection, up to `timeout`.
    void ReadToEnd(std::string& into, std::chrono::milliseconds timeout);

    bool Closed() const { return FClosed; }
    bool Reset() const { return FReset; }
    void Close();

private:
    // One read of at most what is there; false when the connection ended.
    bool ReadSome(std::string& into, std::chrono::steady_clock::time_point deadline);

    int FFd = -1;
    bool FClosed = false;
    bool FReset = false;
};

// Runs a program to its end and returns its standard output and error; the
// exit status goes to `exitCode` (-1 when killed by a signal).
std::string RunToEnd(const std::string& program, const std::vector<std::string>& args,
                     int& exitCode);

// One-shot GET on a new connection.
TRawAnswer RawGet(int port, const std::string& target, const std::string& version = "1.0",
                  const std::string& extraHeaders = "",
                  std::chrono::milliseconds timeout = std::chrono::seconds(10));

// Splits raw bytes into head and body and fills status.
void ParseRawAnswer(const std::string& raw, TRawAnswer& answer);

// The answer format: lines split at CR LF or CR; "key: value"; keys starting
// with "_" and lines without a colon are skipped.
std::map<std::string, std::string> ParseAnswerText(const std::string& text);

// The record list: "[" {key:value,...} ... "]", values unquoted with the
// escapes \n, \r and \<char>.
using TRecord = std::vector<std::pair<std::string, std::string>>;
std::vector<TRecord> ParseRecordList(const std::string& text);
std::string FieldOf(const TRecord& record, const std::string& key);

// The client's credentials encoding: letters, digits and $()*,-./:@_ as
// themselves, blank as "+", every other byte as %XX.
std::string EncodeCredential(const std::string& text);

// ITU-T G.711 expansion to 16-bit linear, for checking what the simulator sends.
int ALawToLinear(unsigned char code);
int ULawToLinear(unsigned char code);

// Relative power of `hz` in 16-bit samples (Goertzel), 0..1 of a full-scale sine.
double TonePower(const std::vector<int>& samples, double hz, int rate = 8000);

} // namespace corvane::test
