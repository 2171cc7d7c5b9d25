// Program entry of the Quorin Call Monitor client.

#include "CorvaneMainForm.h"
#include "FormUpdater.h"
#include "QtMainThread.h"
#include "SettingsForm.h"
#include "WaveOut.h"

#include <QApplication>
#include <QIcon>

#include <exception>
#include <string>
#include <vector>

namespace {

// An exception that escapes an event handler is shown in the standard error
// box and the message loop goes on.
class TCorvaneApplication : public QApplication {
public:
    using QApplication::QApplication;

    bool notify(QObject* receiver, QEvent* event) override {
        try {
            return QApplication::notify(receiver, event);
        } catch (...) {
            corvane::ShowExceptionBox(std::current_exception());
            return false;
        }
    }
};

} // namespace

int main(int argc, char** argv) {
    TCorvaneApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Quorin Call Monitor"));
    QApplication::setOrganizationName(QStringLiteral("Brindlex"));
    // Wayland desktops match the window to its menu entry and icon by this id.
    QGuiApplication::setDesktopFileName(QStringLiteral("com.brindlex.QuorinCallMonitor"));
    QIcon icon;
    for (int size : {16, 32, 48, 256})
        icon.addFile(QStringLiteral(":/res/AppIcon%1.png").arg(size));
    QApplication::setWindowIcon(icon);

    try {
        corvane::InstallQtMainThread();
        std::vector<std::string> args;
        for (int i = 1; i < argc; ++i)
            args.emplace_back(argv[i]);
        corvane::SetWaveOutMessageBox(corvane::ShowWaveOutMessage);
        corvane::TCorvaneMainForm form(args);
        // One settings dialog for the whole run, so it keeps its page and
        // language choice between openings. The update dialog made here is
        // not the one the Help menu shows (that one is made afresh each time).
        auto* settingsForm = new corvane::TSettingsForm(&form);
        new corvane::TFormUpdater(&form);
        form.SetSettingsDialogRunner(
            [settingsForm](QWidget* parent, int page, const corvane::TQuorinConfig& config) {
                return settingsForm->Run(parent, page, config);
            });
        form.show();
        const int rc = QApplication::exec();
        corvane::SetWaveOutMessageBox(nullptr);
        corvane::UninstallQtMainThread();
        return rc;
    } catch (...) {
        corvane::ShowExceptionBox(std::current_exception());
        return 1;
    }
}
