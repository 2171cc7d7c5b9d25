#include "FormTranslator.h"

#include "LanIni.h"
#include "Platform.h"

#include <QAbstractButton>
#include <QAction>
#include <QGroupBox>
#include <QLabel>
#include <QMenu>
#include <QVariant>
#include <QWidget>

#include <vector>

namespace corvane {

namespace {

// The Qt property that shows an object's caption, or "" when it has none.
const char* CaptionProperty(const QObject* component) {
    if (qobject_cast<const QMenu*>(component) || qobject_cast<const QGroupBox*>(component))
        return "title";
    if (qobject_cast<const QAction*>(component) || qobject_cast<const QLabel*>(component) ||
        qobject_cast<const QAbstractButton*>(component))
        return "text";
    if (const auto* w = qobject_cast<const QWidget*>(component); w && w->isWindow())
        return "windowTitle";
    return "";
}

} // namespace

bool TranslateProperty(QObject* component, const QString& prefix, const QString& propertyName) {
    if (!component || component->objectName().isEmpty())
        return false;
    const std::string key =
        (prefix + component->objectName() + QLatin1Char('.') + propertyName).toStdString();
    if (!LanIni().HasKey(key))
        return false;
    const std::u16string text = LanIni().Translate(key);
    const QString value = QString::fromStdU16String(text);

    QByteArray qtName = propertyName.toLatin1();
    if (propertyName == QLatin1String("Hint")) {
        qtName = "toolTip";
    } else if (propertyName == QLatin1String("AccessibleName")) {
        qtName = "accessibleName";
    } else if (propertyName == QLatin1String("Caption")) {
        qtName = CaptionProperty(component);
        // Widgets that draw their caption themselves (panels) may carry it as
        // a dynamic property.
        if (qtName.isEmpty() && component->property("Caption").isValid())
            qtName = "Caption";
    }
    if (qtName.isEmpty() || (!component->property(qtName.constData()).isValid() &&
                             component->metaObject()->indexOfProperty(qtName.constData()) < 0)) {
        DebugOutput("Property " + propertyName.toStdString() + " does not exist (" + key + ")");
        return false;
    }
    component->setProperty(qtName.constData(), value);
    return true;
}

void TranslateForm(QWidget* form) {
    if (!form)
        return;
    const QString prefix = form->objectName() + QLatin1Char('.');
    // Collected first: setting a text must not disturb the walk.
    const std::vector<QObject*> children = [&] {
        const QList<QObject*> all = form->findChildren<QObject*>();
        return std::vector<QObject*>(all.begin(), all.end());
    }();
    for (QObject* child : children)
        for (const char* property : {"Caption", "Hint", "AccessibleName"})
            TranslateProperty(child, prefix, QString::fromLatin1(property));
}

} // namespace corvane
