#pragma once

// The engine as the main window runs it: the session with the recorder, its
// start and what happens when it stops, and the status line that shows the
// status codes for 9.5 s, and beside it, for good, whether the connection
// stands or since when it is lost.

#include "Corvane.h"

#include <QObject>
#include <QString>
#include <QTime>

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

class QLabel;
class QStatusBar;
class QTimer;

namespace corvane {

// What HandleEngineStopped does once the engine reports that it stopped; the
// numbers are the ones the log writes.
enum class TAtStop : uint8_t {
    Restart = 0, // hand over the settings and start again
    Close = 1,   // destroy the session and close the window
    Report = 2,  // show "engine stopped"
};

class TEngineController : public QObject {
public:
    struct Hooks {
        std::function<void(const std::string&)> Log;
        // The engine raised a new list; on the polling thread.
        std::function<void()> CallsChanged;
        // Every start clears the received-list mark (the no-call line waits
        // for the next list).
        std::function<void()> Started;
        // Half a second after a start that failed for missing settings, with
        // the page to open (1 account, 2 server connection).
        std::function<void(int page)> MissingSettings;
        // Whether a monitor still borrows the session.
        std::function<bool()> MonitorAlive;
        std::function<void()> CloseWindow;
        // The connection state changed between lost and not lost.
        std::function<void(bool lost)> ConnectionChanged;
    };

    // Shown in a permanent part of the status line, apart from the short-lived texts.
    enum class TConnection : uint8_t {
        Unknown = 0, // no answer yet since the program started
        Connected = 1,
        Lost = 2, // a failure reported (status 1, 2, 8, or the engine stopped)
    };

    // GUI thread. `statusBar` shows the status texts.
    TEngineController(QObject* parent, QStatusBar& statusBar, Hooks hooks);
    ~TEngineController() override;

    // GUI thread: creates the session and connects its events.
    void CreateClient(const TQuorinConfig& config);
    // GUI thread: ends a run still going and destroys the session.
    void DestroyClient();
    TCorvane* Client() const { return FClient.get(); }

    // GUI thread, unless said otherwise.
    void TryStartEngine();
    void StartUpTimerTimer();
    void HandleEngineStopped();
    void HandleStatusCode(TStatusCode code); // any thread
    void ShowStatusCode(TStatusCode code);
    void ShowStatusText(const QString& text);
    void StatusClearTimerTimer();
    // The settings in force; the next start hands them to the session.
    void SetConfig(const TQuorinConfig& config) { FConfig = config; }
    // After new connection settings: starts at once when nothing runs, else
    // stops the engine and starts again once it has stopped.
    void Reconnect();
    // The close protocol: true while the engine still has to stop (it was
    // asked to); destroys an idle session unless a monitor borrows it.
    bool StopForClose();

    TAtStop AtStop() const { return eAtStop; }
    TStartResult StartResult() const { return FStartResult; }
    QString StatusText() const;

    // GUI thread: a good answer arrived; the connection is back.
    void SetConnected();
    TConnection Connection() const { return FConnection; }
    // The permanent connection text, in the language loaded now.
    QString ConnectionText() const;
    // Shows the connection text again (after a change of language).
    void ShowConnection();

    // The text shown for a status code; empty for codes without one.
    static QString StatusCodeText(TStatusCode code);

    QTimer* StartUpTimer = nullptr;
    QTimer* StatusClearTimer = nullptr;
    QLabel* ConnectionLbl = nullptr;

private:
    void SetConnection(TConnection state);

    QStatusBar& FStatusBar;
    Hooks FHooks;
    std::unique_ptr<TCorvane> FClient;
    TQuorinConfig FConfig; // the settings the next start uses
    TAtStop eAtStop = TAtStop::Report;
    TStartResult FStartResult = TStartResult::Ok;
    TStatusCode FPendingStatus{};
    std::recursive_mutex FStatusLock; // guards FPendingStatus; never taken on the GUI thread
    TConnection FConnection = TConnection::Unknown;
    QTime FLostSince; // local time of the first failure since the last good answer
};

} // namespace corvane
