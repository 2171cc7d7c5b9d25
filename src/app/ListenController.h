#pragma once

// Live listening as the main window runs it: at most one monitor, the switch
// to another call once the current monitor has gone, automatic listening to
// a new call, and the destruction of a finished monitor half a second after
// its notification, never inside it nor while one of its calls (a message box
// it shows) is still running.

#include "CallList.h"

#include <QObject>

#include <functional>
#include <memory>
#include <string>

class QTimer;

namespace corvane {

class TCallGrid;
class TCallMonitor;
class TCorvane;

class TListenController : public QObject {
public:
    struct Hooks {
        std::function<void(const std::string&)> Log;
        // The session the monitors borrow; null once it has been destroyed.
        std::function<TCorvane*()> Session;
        // Whether the window is closing: nothing new starts then, and the
        // close is asked again once the monitor has gone.
        std::function<bool()> Closing;
        std::function<void()> CloseWindow;
    };

    // GUI thread. `grid` supplies the calls and the selection, and shows the
    // listen icons.
    TListenController(QObject* parent, TCallGrid& grid, Hooks hooks);
    ~TListenController() override;

    // GUI thread, all of them.
    void ListenToSelectedCall();
    void ListenToCall(int index);
    void StartAutoListen(bool startAuto);
    void PlayPause();
    // Stops the monitor, if any; its notification follows.
    void Stop();
    void MonitorStopTimerTimer();
    // The monitor's end notification. Any thread; a worker waits for the GUI thread.
    void HandleMonitorStopped();
    // Ends listening at once (the window is being destroyed).
    void Destroy();

    TCallMonitor* Monitor() const { return FMonitor.get(); }
    bool SwitchPending() const { return FSwitchPending; }
    // The id of the call listened to, or null.
    const std::string* ListenedCallId() const;

    QTimer* MonitorStopTimer = nullptr;

private:
    TCallGrid& FGrid;
    Hooks FHooks;
    std::unique_ptr<TCallMonitor> FMonitor;
    bool FSwitchPending = false;
};

} // namespace corvane
