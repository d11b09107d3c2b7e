// Taking over the settings an earlier version kept without a maker's name.
#include "settings.h"

#include <QCoreApplication>
#include <QSettings>

void adoptUnnamedSettings()
{
#ifdef Q_OS_WIN
    // The registry has no place for settings without an organization name; an INI file in
    // %APPDATA% keeps them, then and now.
    QSettings::setDefaultFormat(QSettings::IniFormat);
#endif
    QSettings settings;
    if (!settings.allKeys().isEmpty())
        return;
    const QSettings old(QSettings::defaultFormat(), QSettings::UserScope,
                        QStringLiteral("Unknown Organization"),
                        QCoreApplication::applicationName());
    for (const QString &key : old.allKeys())
        settings.setValue(key, old.value(key));
}
