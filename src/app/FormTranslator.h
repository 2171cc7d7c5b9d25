#pragma once

// Sets the captions of a window's widgets and menu actions from the
// translation table (LanIni), by object name: the key of an object is
// "<prefix><object name>.<property>". GUI thread only.

#include <QString>

class QObject;
class QWidget;

namespace corvane {

// When the table holds "<prefix><name>.<property>", sets the object's property
// of that name to the translated text. "Caption" stands for the visible text
// of the object: a menu's title, an action's, label's or button's text, a
// group box's title, a window's title. "Hint" is the tooltip and
// "AccessibleName" the name a screen reader announces. A key naming an object
// that has no such property is logged to the debugger channel and skipped.
// Returns whether a text was set.
bool TranslateProperty(QObject* component, const QString& prefix, const QString& propertyName);

// TranslateProperty(child, "<form name>.", property) with "Caption", "Hint"
// and "AccessibleName" for every named object below `form` (widgets at any
// depth, menus and their actions). The form's own caption is left alone.
void TranslateForm(QWidget* form);

} // namespace corvane
