#include "ListenController.h"

#include "CallGrid.h"
#include "CallMonitor.h"
#include "Corvane.h"
#include "LogFile.h"
#include "MainThread.h"

#include <QTimer>

namespace corvane {

namespace {
// Automatic listening picks a call younger than this, in seconds.
constexpr int32_t NewCallAge = 6;
} // namespace

TListenController::TListenController(QObject* parent, TCallGrid& grid, Hooks hooks)
    : QObject(parent), FGrid(grid), FHooks(std::move(hooks)) {
    MonitorStopTimer = new QTimer(this);
    MonitorStopTimer->setObjectName(QStringLiteral("MonitorStopTimer"));
    MonitorStopTimer->setInterval(500);
    connect(MonitorStopTimer, &QTimer::timeout, this, [this] { MonitorStopTimerTimer(); });
    FGrid.ListenedCallId = [this] { return ListenedCallId(); };
}

TListenController::~TListenController() {
    Destroy();
    FGrid.ListenedCallId = nullptr;
}

void TListenController::Destroy() {
    // Its end notification may still arrive (from the audio thread too); it
    // only arms MonitorStopTimer, which is stopped here.
    FMonitor.reset();
    MonitorStopTimer->stop();
}

const std::string* TListenController::ListenedCallId() const {
    return FMonitor ? &FMonitor->FCall.id : nullptr;
}

void TListenController::ListenToSelectedCall() {
    ListenToCall(FGrid.SelectedTopRow() - 1);
}

void TListenController::ListenToCall(int index) {
    const TCallList& calls = FGrid.Calls();
    TCorvane* session = FHooks.Session();
    if (index < 0 || static_cast<size_t>(index) >= calls.size() || !session)
        return;
    // Closing: whatever is listened to is being stopped, nothing new starts.
    if (FHooks.Closing())
        return;
    const TCallInfo& call = *calls[static_cast<size_t>(index)];
    if (!FMonitor) {
        FHooks.Log("Monitor ID:" + LogSafe(call.id));
        FMonitor = std::make_unique<TCallMonitor>(*session, call);
        FMonitor->OnFinished = [this] { HandleMonitorStopped(); };
        FMonitor->Start();
        FGrid.viewport()->update();
    } else if (FMonitor->FCall.id != call.id) {
        // The switch completes in MonitorStopTimerTimer, once this monitor has gone.
        FSwitchPending = true;
        FMonitor->Stop();
    }
}

void TListenController::StartAutoListen(bool startAuto) {
    if (FMonitor || !startAuto)
        return;
    const TCallList& calls = FGrid.Calls();
    for (size_t i = 0; i < calls.size(); ++i)
        if (calls[i]->length < NewCallAge) {
            ListenToCall(static_cast<int>(i));
            return;
        }
}

void TListenController::PlayPause() {
    if (FMonitor) {
        FSwitchPending = false; // a stop asked for now is not a switch
        FMonitor->Stop();
    } else {
        ListenToSelectedCall();
    }
}

void TListenController::Stop() {
    if (FMonitor)
        FMonitor->Stop();
}

void TListenController::HandleMonitorStopped() {
    Synchronize([this] {
        if (!MonitorStopTimer->isActive())
            MonitorStopTimer->start();
    });
}

void TListenController::MonitorStopTimerTimer() {
    MonitorStopTimer->stop();
    if (!FMonitor)
        return;
    if (FMonitor->Busy()) {
        // A message box of the monitor's runs this timer; the monitor goes
        // once its own call has returned.
        MonitorStopTimer->start();
        return;
    }
    FHooks.Log("Monitor stopped (1)");
    FMonitor.reset();
    MonitorStopTimer->stop();
    FHooks.Log("Monitor stopped (2)");
    FGrid.viewport()->update();
    if (FHooks.Closing())
        FHooks.CloseWindow();
    if (FSwitchPending) {
        FSwitchPending = false;
        ListenToSelectedCall();
    }
}

} // namespace corvane
