#include "HelpPage.h"

#include "LanIni.h"
#include "Platform.h"

#include <QDesktopServices>
#include <QGuiApplication>
#include <QMessageBox>
#include <QUrl>

namespace corvane {

bool OpenHelpPage(QWidget* parent, const QString& page) {
    const char* failure = nullptr;
    if (!FileExists(page.toStdString()))
        failure = "Main.ManualMissing";
    else if (!QDesktopServices::openUrl(QUrl::fromLocalFile(page)))
        failure = "Main.ManualNotOpened";
    if (!failure)
        return true;
    // Plain text: a path may hold characters rich text would interpret.
    QMessageBox box(QMessageBox::Warning, QGuiApplication::applicationDisplayName(),
                    QString::fromStdU16String(LanIni().Translate(failure)) + QLatin1Char('\n') +
                        page,
                    QMessageBox::Ok, parent);
    box.setTextFormat(Qt::PlainText);
    box.exec();
    return false;
}

} // namespace corvane
