#include "CallMonitor.h"

#include "AnswerFormat.h"
#include "Corvane.h"
#include "G711.h"
#include "HttpCli.h"
#include "LogFile.h"

#include <algorithm>
#include <cstring>

namespace corvane {

namespace {
constexpr int32_t FramesPerBlock = 4096; // 512 ms at 8000 frames per second
constexpr int BlockCount = 8;
constexpr int StartFree = 5; // three blocks queued
} // namespace

// Marks one of the monitor's own calls as running, for Busy().
class TCallMonitor::TBusyScope {
public:
    explicit TBusyScope(TCallMonitor& monitor) : FMonitor(monitor) { ++FMonitor.FBusy; }
    ~TBusyScope() { --FMonitor.FBusy; }
    TBusyScope(const TBusyScope&) = delete;
    TBusyScope& operator=(const TBusyScope&) = delete;

private:
    TCallMonitor& FMonitor;
};

TCallMonitor::TCallMonitor(TCorvane& session, const TCallInfo& call, TWaveDevice* device)
    : FCall(call), FPlainClient(std::make_unique<THttpCli>()),
      FTlsClient(std::make_unique<TSslHttpCli>()), FSession(&session), FDevice(device) {
    FSession->HookCookies(*FPlainClient, *FTlsClient);
}

TCallMonitor::~TCallMonitor() {
    Stop();
    FClosedWaveOut.reset();
    FInputChunk.reset();
    FPcmBuffer.reset();
    // The clients end their network threads before they go.
    FPlainClient.reset();
    FTlsClient.reset();
}

void TCallMonitor::SetInactivityLimit(std::chrono::milliseconds limit) {
    FPlainClient->Timeout = limit;
    FTlsClient->Timeout = limit;
}

void TCallMonitor::Start() {
    const TBusyScope busy(*this);
    if (FStarted || FFinishNotified.load())
        return; // one request per monitor
    FStarted = true;
    const std::string url = FSession->BaseUrl() + "?info=RTCall&remid=" + FCall.remoteid;
    FSession->Log("Monitor: " + FSession->BaseUrl() +
                  "?info=RTCall&remid=" + LogSafe(FCall.remoteid));
    FClient = &FSession->SelectHttpClient(*FPlainClient, *FTlsClient);
    // Holding the session's context keeps it alive even when the session
    // replaces it at its next start.
    FTlsClient->SetSslContext(FSession->SslContext());
    FClient->OnDocData = [this](THttpCli&, const char* data, size_t n) { HandleDocData(data, n); };
    FClient->OnDocEnd = [this](THttpCli&) { HandleDocEnd(); };
    FClient->OnRequestDone = [this](THttpCli&, const THttpResult& result) {
        HandleRequestDone(result);
    };
    FClient->URL = url + "&" + FSession->CredentialsQuery();
    // A recorder sends its audio in pieces of a few tens of milliseconds;
    // taking them a tenth of a second at a time keeps the network and main
    // threads asleep most of the time, far below the half second of audio a
    // block holds.
    FClient->DeliveryInterval = DeliveryInterval;
    FHeaderPending = true;
    FDocumentEnded = false;
    FClient->GetASync();
}

void TCallMonitor::HandleDocData(const char* data, size_t n) {
    const TBusyScope busy(*this);
    if (n == 0)
        return;
    const auto* bytes = reinterpret_cast<const uint8_t*>(data);
    if (FHeaderPending) {
        const auto* zero = static_cast<const uint8_t*>(std::memchr(bytes, 0, n));
        const size_t headerPart = zero ? static_cast<size_t>(zero - bytes) : n;
        if (FHeaderBuffer.size() + headerPart > MaxHeaderSize) {
            FHeaderPending = false;
            FSession->Log("Monitor: stream header longer than " + std::to_string(MaxHeaderSize) +
                          " bytes; stream refused");
            FSession->ReportStatus(TStatusCode::ServerError);
            Stop();
            return;
        }
        FHeaderBuffer.append(data, headerPart);
        if (!zero)
            return;
        FHeaderPending = false;
        if (!OpenStream(FHeaderBuffer))
            return; // the rest of this piece is dropped
        bytes += headerPart + 1;
        n -= headerPart + 1;
    }
    AssembleBlocks(bytes, n);
}

bool TCallMonitor::OpenStream(const std::string& header) {
    const StrMap fields = ParseAnswer(header);
    FSession->LogFields(fields);
    if (fields.count("Error")) {
        FSession->ReportStatus(TStatusCode::ServerError);
        Stop();
        return false;
    }
    const auto format = fields.find("Format");
    FALaw = format != fields.end() && format->second == "alaw";
    const auto channels = fields.find("Channels");
    FChannels = channels == fields.end() ? 1 : ParseInt32(channels->second, 1);
    if (FChannels < 1 || FChannels > MaxChannels) {
        // Such a count cannot be a telephone stream, and a buffer size made
        // from it would overflow or be refused by the output.
        FSession->Log("Monitor: unusable channel count " + LogSafe(channels->second) +
                      "; stream refused");
        FSession->ReportStatus(TStatusCode::ServerError);
        Stop();
        return false;
    }

    // Kept aside until it is open: a failing Open waits for its worker and
    // meanwhile runs queued main-thread calls, our next data pieces among them,
    // which must find no output.
    auto waveOut = std::make_unique<TWaveOut>(FDevice);
    waveOut->OnFinish = [this](TWaveOut&) { HandleAudioFinished(); };
    waveOut->OnDeviceFailure = [this](TWaveOut&) { HandleAudioFailed(); };
    waveOut->SetBufferSize(FChannels * FramesPerBlock * 2);
    waveOut->SetBufferCount(BlockCount);
    waveOut->SetBitsPerSample(16);
    waveOut->SetChannels(static_cast<uint16_t>(FChannels));
    waveOut->SetTriggerPosition(4);
    if (!waveOut->Open(WaveMapper)) {
        // The output has shown why; without it every block would show another
        // message while nothing can be heard.
        FSession->Log("Monitor: wave output not opened; listening ends");
        Stop();
        return false;
    }
    if (FStopped) {
        // Stopped by an event that ran while the output was opening.
        waveOut->Close();
        return false;
    }

    FChunkSize = static_cast<int32_t>(static_cast<uint32_t>(waveOut->GetBufferSize()) / 2);
    FInputChunk = std::make_unique<uint8_t[]>(static_cast<size_t>(FChunkSize));
    FPcmBuffer = std::make_unique<int16_t[]>(static_cast<size_t>(FChunkSize));
    FWaveOut = std::move(waveOut);
    FChunkFill = 0;
    return true;
}

void TCallMonitor::AssembleBlocks(const uint8_t* p, size_t m) {
    if (!FWaveOut || FChunkSize <= 0)
        return;
    while (m > 0) {
        const size_t k = std::min(m, static_cast<size_t>(FChunkSize - FChunkFill));
        std::memcpy(FInputChunk.get() + FChunkFill, p, k);
        FChunkFill += static_cast<int32_t>(k);
        p += k;
        m -= k;
        if (FChunkFill < FChunkSize)
            continue;
        FChunkFill = 0;
        if (FWaveOut->GetBufferFree() <= 1) {
            FSession->Log("No room in buffer for data");
            continue;
        }
        const size_t samples = static_cast<size_t>(FChunkSize);
        if (FALaw)
            ExpandALaw(FInputChunk.get(), FPcmBuffer.get(), samples);
        else
            ExpandULaw(FInputChunk.get(), FPcmBuffer.get(), samples);
        FWaveOut->Queue(FPcmBuffer.get());
        if (!FWaveOut)
            return; // stopped while the output showed a message
        if (!FPlaying.load() && FWaveOut->GetBufferFree() == StartFree) {
            FSession->Log("Starting play");
            FWaveOut->Play();
            FPlaying = true;
        }
    }
}

void TCallMonitor::HandleDocEnd() {
    const TBusyScope busy(*this);
    FSession->Log("Monitor HTTP Doc End");
    const bool headerIncomplete = FHeaderPending;
    FHeaderPending = false;
    FDocumentEnded = true;
    if (headerIncomplete) {
        // Nothing could be played; without a report listening would just end.
        FSession->Log("Monitor: the answer ended inside its header");
        FSession->ReportStatus(TStatusCode::ServerError);
    }
    if (!FPlaying.load())
        Finish();
}

void TCallMonitor::HandleRequestDone(const THttpResult& result) {
    const TBusyScope busy(*this);
    if (result.Ok)
        return;
    FSession->Log("Monitor HTTP error: " + result.Error);
    if (FDocumentEnded.load()) {
        // The body had begun and its end has been handled. A stream that went
        // silent past the inactivity limit is a failed request all the same.
        if (result.Kind == THttpErrorKind::Timeout)
            FSession->ReportStatus(TStatusCode::ConnectFailed);
        return;
    }
    // Failed before any body byte: no document end will come, so listening
    // would otherwise wait for ever.
    FSession->ReportStatus(result.Kind == THttpErrorKind::Status ? TStatusCode::ServerError
                                                                 : TStatusCode::ConnectFailed);
    FDocumentEnded = true;
    FHeaderPending = false;
    Finish();
}

void TCallMonitor::HandleAudioFinished() {
    FSession->Log("Monitor audio finished");
    FPlaying = false;
    if (FDocumentEnded.load())
        Finish();
}

void TCallMonitor::HandleAudioFailed() {
    FSession->Log("Monitor: the sound output failed; listening ends");
    // Nothing more could be heard: the rest of the answer is not fetched.
    if (FClient)
        FClient->Abort();
    FPlaying = false;
    Finish();
}

void TCallMonitor::Stop() {
    const TBusyScope busy(*this);
    FStopped = true;
    if (!FDocumentEnded.load() && FClient)
        FClient->Abort();
    FHeaderPending = false;
    if (FWaveOut) {
        // Taken out first: closing serves main-thread calls while it waits for
        // the worker, and one of them may reach Stop again. Kept, not freed:
        // this Stop may run inside a message box of one of its calls.
        FClosedWaveOut = std::move(FWaveOut);
        FClosedWaveOut->Close();
    }
    Finish();
}

void TCallMonitor::Finish() {
    if (FFinishNotified.exchange(true))
        return;
    if (OnFinished)
        OnFinished();
}

} // namespace corvane
