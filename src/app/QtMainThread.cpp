#include "QtMainThread.h"

#include "MainThread.h"

#include <QCoreApplication>
#include <QGuiApplication>
#include <QMessageBox>
#include <QMetaObject>
#include <QObject>

#include <atomic>
#include <memory>
#include <mutex>

namespace corvane {

namespace {

ErrorBoxHook& Hook() {
    static ErrorBoxHook hook;
    return hook;
}

// Shared with the wake-up function, which any thread may call at any time,
// even while the receiver is being destroyed: the mutex makes "post to it" and
// "it is gone" exclusive.
struct WakeTarget {
    std::mutex mutex;
    QObject* receiver = nullptr;
    // One queued CheckSynchronize is enough however many calls were queued.
    std::atomic<bool> scheduled{false};
};

class TDispatcher : public QObject {
public:
    explicit TDispatcher(std::shared_ptr<WakeTarget> target)
        : QObject(QCoreApplication::instance()), FTarget(std::move(target)) {
        std::lock_guard lock(FTarget->mutex);
        FTarget->receiver = this;
    }
    ~TDispatcher() override {
        SetMainThreadWakeup({});
        std::lock_guard lock(FTarget->mutex);
        FTarget->receiver = nullptr;
    }

private:
    std::shared_ptr<WakeTarget> FTarget;
};

TDispatcher* g_dispatcher = nullptr; // GUI thread only

void Wake(const std::shared_ptr<WakeTarget>& target) {
    if (target->scheduled.exchange(true))
        return;
    std::lock_guard lock(target->mutex);
    if (!target->receiver) {
        target->scheduled = false;
        return;
    }
    QMetaObject::invokeMethod(
        target->receiver,
        [target] {
            // Cleared before running, so a call queued meanwhile schedules a new pass.
            target->scheduled = false;
            CheckSynchronize();
        },
        Qt::QueuedConnection);
}

} // namespace

void InstallQtMainThread() {
    SetMainThread();
    if (!g_dispatcher) {
        auto target = std::make_shared<WakeTarget>();
        g_dispatcher = new TDispatcher(target); // owned by the application object
        QObject::connect(g_dispatcher, &QObject::destroyed, [] { g_dispatcher = nullptr; });
        SetMainThreadWakeup([target] { Wake(target); });
    }
    SetPostedExceptionHandler([](std::exception_ptr error) { ShowExceptionBox(error); });
    // Calls queued before the adapter existed would otherwise wait for the next one.
    Post([] {});
}

void UninstallQtMainThread() {
    SetPostedExceptionHandler({});
    delete g_dispatcher; // also removes the wake-up
}

void ShowExceptionBox(std::exception_ptr error) {
    QString message;
    if (error) {
        try {
            std::rethrow_exception(error);
        } catch (const std::exception& e) {
            message = QString::fromUtf8(e.what());
        } catch (...) {
            // Not one of ours: shown as an error without a message.
        }
    }
    if (Hook()) {
        Hook()(message);
        return;
    }
    // The message may quote a peer; it is never read as rich text.
    QMessageBox box(QMessageBox::Critical, QGuiApplication::applicationDisplayName(), message,
                    QMessageBox::Ok);
    box.setTextFormat(Qt::PlainText);
    box.exec();
}

void SetErrorBoxHook(ErrorBoxHook hook) {
    Hook() = std::move(hook);
}

} // namespace corvane
