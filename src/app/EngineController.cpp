#include "EngineController.h"

#include "MainThread.h"

#include <QStatusBar>
#include <QTimer>

namespace corvane {

TEngineController::TEngineController(QObject* parent, QStatusBar& statusBar, Hooks hooks)
    : QObject(parent), FStatusBar(statusBar), FHooks(std::move(hooks)) {
    auto timer = [this](const char* name, int ms, void (TEngineController::*handler)()) {
        auto* t = new QTimer(this);
        t->setObjectName(QString::fromLatin1(name));
        t->setInterval(ms);
        connect(t, &QTimer::timeout, this, handler);
        return t;
    };
    StartUpTimer = timer("StartUpTimer", 500, &TEngineController::StartUpTimerTimer);
    StartUpTimer->start();
    StatusClearTimer = timer("StatusClearTimer", 9500, &TEngineController::StatusClearTimerTimer);
}

TEngineController::~TEngineController() {
    DestroyClient();
}

void TEngineController::CreateClient(const TQuorinConfig& config) {
    FClient = std::make_unique<TCorvane>();
    FClient->OnLog = [this](const std::string& text) { FHooks.Log(text); };
    FClient->OnStopped = [this](TCorvane&) { HandleEngineStopped(); };
    FClient->OnCallsChanged = [this](TCorvane&) { FHooks.CallsChanged(); };
    FClient->OnStatus = [this](int32_t code) { HandleStatusCode(code); };
    FConfig = config;
    FClient->SetConfig(FConfig);
}

void TEngineController::DestroyClient() {
    if (!FClient)
        return;
    FClient->OnStopped = nullptr;
    FClient.reset();
}

void TEngineController::TryStartEngine() {
    if (!FClient)
        return;
    eAtStop = AtStopReport;
    FHooks.Log("Try start");
    FStartResult = FClient->Start();
    if (!StartUpTimer->isActive())
        StartUpTimer->start();
    FHooks.Log("Start result: " + std::to_string(FStartResult));
    FHooks.Started();
}

void TEngineController::StartUpTimerTimer() {
    StartUpTimer->stop();
    if (FStartResult == MissingCredentials || FStartResult == MissingServer)
        FHooks.MissingSettings(FStartResult);
}

void TEngineController::HandleEngineStopped() {
    FHooks.Log("Engine stopped eAtStop:" + std::to_string(eAtStop));
    switch (eAtStop) {
    case AtStopRestart:
        FClient->SetConfig(FConfig);
        TryStartEngine();
        break;
    case AtStopClose:
        // The session is still inside its own notification; it goes, and the
        // window closes, once that has returned. A monitor still winding down
        // borrows the session, so then the close protocol keeps it until the
        // monitor has gone.
        QMetaObject::invokeMethod(
            this,
            [this] {
                if (!FHooks.MonitorAlive())
                    FClient.reset();
                FHooks.CloseWindow();
            },
            Qt::QueuedConnection);
        break;
    default:
        HandleStatusCode(EngineStopped);
        break;
    }
}

void TEngineController::HandleStatusCode(int32_t code) {
    FHooks.Log("Message code " + std::to_string(code));
    // The GUI thread shows it at once and never takes the lock: a worker
    // holds it while it waits for the GUI thread.
    if (IsMainThread()) {
        ShowStatusCode(code);
        return;
    }
    try {
        std::lock_guard lock(FStatusLock);
        FPendingStatus = code;
        Synchronize([this] { ShowStatusCode(FPendingStatus); });
    } catch (...) {
        // Showing the text failed; it is in the log.
    }
}

QString TEngineController::StatusCodeText(int32_t code) {
    switch (code) {
    case LogOnRefused:
        return QStringLiteral("Log on failed. Please check username and password");
    case ConnectFailed:
        return QStringLiteral("Could not connect. Reasons could be an incorrect Quorin Server IP "
                              "address, or a firewall");
    case EngineStopped:
        return QStringLiteral("Engine stopped. Please see log file.");
    case ServerError:
        return QStringLiteral("Error reported by the server. Please see log file.");
    default:
        return QString();
    }
}

void TEngineController::ShowStatusCode(int32_t code) {
    const QString text = StatusCodeText(code);
    if (!text.isEmpty())
        ShowStatusText(text);
}

void TEngineController::ShowStatusText(const QString& text) {
    FStatusBar.showMessage(text);
    StatusClearTimer->stop();
    StatusClearTimer->start();
}

void TEngineController::StatusClearTimerTimer() {
    StatusClearTimer->stop();
    FStatusBar.clearMessage();
}

QString TEngineController::StatusText() const {
    return FStatusBar.currentMessage();
}

void TEngineController::Reconnect() {
    if (!FClient)
        return;
    if (FStartResult != StartOk || !FClient->IsRunning()) {
        // Nothing runs (a failed start, or the engine stopped by itself):
        // start at once with the new settings.
        FClient->SetConfig(FConfig);
        TryStartEngine();
    } else {
        eAtStop = AtStopRestart;
        FClient->Stop();
    }
}

bool TEngineController::StopForClose() {
    if (!FClient)
        return false;
    if (FClient->IsRunning()) {
        eAtStop = AtStopClose;
        FClient->Stop();
        return true;
    }
    // While a monitor exists it still borrows the session.
    if (!FHooks.MonitorAlive())
        FClient.reset();
    return false;
}

} // namespace corvane
