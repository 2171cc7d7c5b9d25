#pragma once

// Acknowledges every message box that shows up, keeping its text, so that a
// test goes on past a modal box the way a user would.

#include <QApplication>
#include <QMessageBox>
#include <QObject>
#include <QTimer>
#include <QWidget>

#include <string>
#include <vector>

namespace corvane::test {

class MessageBoxCloser {
public:
    MessageBoxCloser() {
        FTimer.setInterval(20);
        QObject::connect(&FTimer, &QTimer::timeout, [this] {
            for (QWidget* w : QApplication::topLevelWidgets())
                if (auto* box = qobject_cast<QMessageBox*>(w); box && box->isVisible()) {
                    Texts.push_back(box->text().toStdString());
                    Formats.push_back(box->textFormat());
                    box->done(QMessageBox::Ok);
                }
        });
        FTimer.start();
    }
    std::vector<std::string> Texts;
    std::vector<Qt::TextFormat> Formats;

private:
    QTimer FTimer;
};

} // namespace corvane::test
