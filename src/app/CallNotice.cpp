#include "CallNotice.h"

#include "LanIni.h"

#include <QApplication>
#include <QIcon>
#include <QStringList>
#include <QSystemTrayIcon>

#include <vector>

namespace corvane {

namespace {

// Calls named in one message; a burst of more is summed up.
constexpr size_t MaxNamedCalls = 3;

std::optional<bool>& TrayOverride() {
    static std::optional<bool> value;
    return value;
}

QString CallLine(const TCallInfo& call) {
    QString line = QString::fromStdU16String(call.remote);
    const QString name = QString::fromStdU16String(call.rname);
    if (!name.isEmpty())
        line += (line.isEmpty() ? QString() : QStringLiteral("  ")) + name;
    return line;
}

} // namespace

bool TrayAvailable() {
    if (TrayOverride())
        return *TrayOverride();
    return QSystemTrayIcon::isSystemTrayAvailable();
}

void OverrideTrayAvailable(std::optional<bool> available) {
    TrayOverride() = available;
}

TCallNotice::TCallNotice(QObject* parent, Hooks hooks) : QObject(parent), FHooks(std::move(hooks)) {
    ShowMessage = [this](const QString& title, const QString& text) {
        if (FTray)
            FTray->showMessage(title, text, QSystemTrayIcon::Information);
    };
}

TCallNotice::~TCallNotice() = default;

void TCallNotice::SetEnabled(bool enabled) {
    FActive = enabled && TrayAvailable();
    if (!FActive) {
        FTray.reset();
        return;
    }
    if (FTray)
        return;
    FTray = std::make_unique<QSystemTrayIcon>(QApplication::windowIcon());
    FTray->setToolTip(QStringLiteral("Quorin Call Monitor"));
    connect(FTray.get(), &QSystemTrayIcon::messageClicked, this, [this] { MessageClicked(); });
    connect(FTray.get(), &QSystemTrayIcon::activated, this,
            [this](QSystemTrayIcon::ActivationReason reason) {
                if (reason == QSystemTrayIcon::Trigger && FHooks.ShowCall)
                    FHooks.ShowCall(std::string());
            });
    FTray->show();
}

void TCallNotice::Forget() {
    FPrimed = false;
    FKnownIds.clear();
}

void TCallNotice::ListChanged(const TCallList& calls) {
    std::set<std::string> ids;
    std::vector<const TCallInfo*> fresh;
    for (const auto& call : calls) {
        ids.insert(call->id);
        if (FPrimed && !FKnownIds.count(call->id))
            fresh.push_back(call.get());
    }
    FKnownIds = std::move(ids);
    FPrimed = true;
    if (fresh.empty() || !FActive || (FHooks.WindowAttentive && FHooks.WindowAttentive()))
        return;

    QStringList lines;
    for (size_t i = 0; i < fresh.size() && i < MaxNamedCalls; ++i)
        lines << CallLine(*fresh[i]);
    if (fresh.size() > MaxNamedCalls)
        lines << QStringLiteral("+%1").arg(fresh.size() - MaxNamedCalls);
    FNoticedId = fresh.front()->id;
    ShowMessage(QString::fromStdU16String(LanIni().Translate("Main.NewCall")),
                lines.join(QLatin1Char('\n')));
}

void TCallNotice::MessageClicked() {
    if (FHooks.ShowCall)
        FHooks.ShowCall(FNoticedId);
}

} // namespace corvane
