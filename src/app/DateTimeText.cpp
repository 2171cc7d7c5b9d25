#include "DateTimeText.h"

#include <QLocale>

namespace corvane {

namespace {

// The long time format without its time-zone field ("t", "tt", ...), which
// the log and the grid leave out.
QString WithoutTimeZone(const QString& format) {
    QString out;
    bool quoted = false;
    for (const QChar c : format) {
        if (c == QLatin1Char('\''))
            quoted = !quoted;
        if (!quoted && c == QLatin1Char('t'))
            continue;
        out += c;
    }
    return out.simplified();
}

struct RegionalFormats {
    QLocale locale = QLocale::system();
    QString date = locale.dateFormat(QLocale::ShortFormat);
    QString time = WithoutTimeZone(locale.timeFormat(QLocale::LongFormat));
};

const RegionalFormats& Formats() {
    static const RegionalFormats formats; // thread-safe initialisation
    return formats;
}

} // namespace

QString DateTimeText(const QDateTime& local) {
    const RegionalFormats& f = Formats();
    QString text = f.locale.toString(local.date(), f.date);
    const QTime t = local.time();
    if (t.hour() != 0 || t.minute() != 0 || t.second() != 0)
        text += QLatin1Char(' ') + f.locale.toString(t, f.time);
    return text;
}

} // namespace corvane
