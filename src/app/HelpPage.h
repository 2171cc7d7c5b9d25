#pragma once

// Pages of the HTML manual that lies beside the program, opened in the
// desktop's browser. GUI thread only.

#include <QString>

class QWidget;

namespace corvane {

// Opens `page`, a local HTML file. A page that is missing, or that the desktop
// cannot open, is reported in a message box over `parent`; returns whether
// the page was handed to the browser.
bool OpenHelpPage(QWidget* parent, const QString& page);

} // namespace corvane
