#pragma once

#include <QDateTime>
#include <QString>

namespace corvane {

// The platform's default date-time text: the regional short date, a blank and
// the regional long time without its time-zone field; the date alone at
// exactly midnight. Any thread.
QString DateTimeText(const QDateTime& local);

} // namespace corvane
