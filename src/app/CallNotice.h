#pragma once

// The new-call notice: a tray icon while the option is on, and a tray
// message when a call begins while the user works in another window. A click
// on the message brings the window back with that call selected. GUI thread.

#include "CallList.h"

#include <QObject>
#include <QString>

#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>

class QSystemTrayIcon;

namespace corvane {

// Whether the desktop shows tray icons (a status notifier or a system tray).
// Tests may decide it; std::nullopt asks the desktop again.
bool TrayAvailable();
void OverrideTrayAvailable(std::optional<bool> available);

class TCallNotice : public QObject {
public:
    struct Hooks {
        // True while the user looks at the window: active and not minimised.
        std::function<bool()> WindowAttentive;
        // Shows the window and selects the call with this id.
        std::function<void(const std::string& id)> ShowCall;
    };

    TCallNotice(QObject* parent, Hooks hooks);
    ~TCallNotice() override;

    // Turns the notice on or off. On shows the tray icon, where there is a
    // tray; without one the notice stays off.
    void SetEnabled(bool enabled);
    bool Active() const { return FActive; }

    // The next list only teaches which calls exist (after a start, nothing in
    // it is news to the user).
    void Forget();
    // After each list: the calls that were not in the last one are new; while
    // the notice is on and the window is not attentive, one message names
    // them (the first ones, with their remote number and name).
    void ListChanged(const TCallList& calls);

    // The message seam: by default the tray icon's balloon or notification.
    std::function<void(const QString& title, const QString& text)> ShowMessage;
    // The user clicked the last message.
    void MessageClicked();
    // The call the last message named first; empty before any message.
    const std::string& NoticedCallId() const { return FNoticedId; }

private:
    Hooks FHooks;
    bool FActive = false;
    bool FPrimed = false;
    std::set<std::string> FKnownIds;
    std::string FNoticedId;
    std::unique_ptr<QSystemTrayIcon> FTray;
};

} // namespace corvane
