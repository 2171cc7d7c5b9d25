#include "EngineController.h"

#include "LanIni.h"
#include "MainThread.h"

#include <QLabel>
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
    ConnectionLbl = new QLabel(&FStatusBar);
    ConnectionLbl->setObjectName(QStringLiteral("ConnectionLbl"));
    ConnectionLbl->setTextFormat(Qt::PlainText);
    FStatusBar.addPermanentWidget(ConnectionLbl);
}

TEngineController::~TEngineController() {
    DestroyClient();
}

void TEngineController::CreateClient(const TQuorinConfig& config) {
    FClient = std::make_unique<TCorvane>();
    FClient->OnLog = [this](const std::string& text) { FHooks.Log(text); };
    FClient->OnStopped = [this](TCorvane&) { HandleEngineStopped(); };
    FClient->OnCallsChanged = [this](TCorvane&) { FHooks.CallsChanged(); };
    FClient->OnStatus = [this](TStatusCode code) { HandleStatusCode(code); };
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
    eAtStop = TAtStop::Report;
    FHooks.Log("Try start");
    FStartResult = FClient->Start();
    if (!StartUpTimer->isActive())
        StartUpTimer->start();
    FHooks.Log("Start result: " + std::to_string(StartResultNumber(FStartResult)));
    FHooks.Started();
}

void TEngineController::StartUpTimerTimer() {
    StartUpTimer->stop();
    // The start result names the settings page to open.
    if (FStartResult == TStartResult::MissingCredentials ||
        FStartResult == TStartResult::MissingServer)
        FHooks.MissingSettings(StartResultNumber(FStartResult));
}

void TEngineController::HandleEngineStopped() {
    FHooks.Log("Engine stopped eAtStop:" + std::to_string(static_cast<int>(eAtStop)));
    switch (eAtStop) {
    case TAtStop::Restart:
        FClient->SetConfig(FConfig);
        TryStartEngine();
        break;
    case TAtStop::Close:
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
    case TAtStop::Report:
        HandleStatusCode(TStatusCode::EngineStopped);
        break;
    }
}

void TEngineController::HandleStatusCode(TStatusCode code) {
    FHooks.Log("Message code " + std::to_string(StatusNumber(code)));
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

QString TEngineController::StatusCodeText(TStatusCode code) {
    switch (code) {
    case TStatusCode::LogOnRefused:
        return QStringLiteral("Log on failed. Please check username and password");
    case TStatusCode::ConnectFailed:
        return QStringLiteral("Could not connect. Reasons could be an incorrect Quorin Server IP "
                              "address, or a firewall");
    case TStatusCode::EngineStopped:
        return QStringLiteral("Engine stopped. Please see log file.");
    case TStatusCode::ServerError:
        return QStringLiteral("Error reported by the server. Please see log file.");
    }
    return QString(); // any other code is only logged
}

void TEngineController::ShowStatusCode(TStatusCode code) {
    switch (code) {
    case TStatusCode::LogOnRefused:
    case TStatusCode::ConnectFailed:
    case TStatusCode::ServerError:
    case TStatusCode::EngineStopped:
        SetConnection(TConnection::Lost);
        break;
    }
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

void TEngineController::SetConnected() {
    SetConnection(TConnection::Connected);
}

void TEngineController::SetConnection(TConnection state) {
    if (state == FConnection)
        return;
    const bool wasLost = FConnection == TConnection::Lost;
    FConnection = state;
    if (state == TConnection::Lost)
        FLostSince = QTime::currentTime();
    ShowConnection();
    if (wasLost != (state == TConnection::Lost) && FHooks.ConnectionChanged)
        FHooks.ConnectionChanged(state == TConnection::Lost);
}

QString TEngineController::ConnectionText() const {
    auto tr = [](const char* key) { return QString::fromStdU16String(LanIni().Translate(key)); };
    switch (FConnection) {
    case TConnection::Unknown:
        return QString();
    case TConnection::Connected:
        return LanIni().HasKey("Main.Connected") ? tr("Main.Connected")
                                                 : QStringLiteral("Connected");
    case TConnection::Lost: {
        QString text = LanIni().HasKey("Main.ConnectionLost")
                           ? tr("Main.ConnectionLost")
                           : QStringLiteral("Connection lost since %s");
        text.replace(QStringLiteral("%s"), FLostSince.toString(QStringLiteral("HH:mm:ss")));
        return text;
    }
    }
    return QString();
}

void TEngineController::ShowConnection() {
    ConnectionLbl->setText(ConnectionText());
}

void TEngineController::Reconnect() {
    if (!FClient)
        return;
    if (FStartResult != TStartResult::Ok || !FClient->IsRunning()) {
        // Nothing runs (a failed start, or the engine stopped by itself):
        // start at once with the new settings.
        FClient->SetConfig(FConfig);
        TryStartEngine();
    } else {
        eAtStop = TAtStop::Restart;
        FClient->Stop();
    }
}

bool TEngineController::StopForClose() {
    if (!FClient)
        return false;
    if (FClient->IsRunning()) {
        eAtStop = TAtStop::Close;
        FClient->Stop();
        return true;
    }
    // While a monitor exists it still borrows the session.
    if (!FHooks.MonitorAlive())
        FClient.reset();
    return false;
}

} // namespace corvane
