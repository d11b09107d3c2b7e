// Taking over the settings an earlier version kept without a maker's name, and the stack's
// options kept from one run to the next.
#include "settings.h"

#include <QColor>
#include <QCoreApplication>
#include <QSettings>

#include <cmath>

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

namespace {

// A remembered limit, or the default when it is missing or no longer one a board maker has.
double limit(const QSettings &settings, const char *key, double fallback)
{
    bool ok = false;
    const double mils = settings.value(QLatin1String(key)).toDouble(&ok);
    // Earlier versions kept 0.15 mm and 0.1 mm rounded, which then read back as 5.905 mil.
    if (ok && (mils == 5.9055 || mils == 3.937))
        return (mils == 5.9055 ? 0.15 : 0.1) / 0.0254;
    return ok && mils >= 0.1 && mils <= 1000 ? mils : fallback;
}

} // namespace

StackOptions loadStackOptions()
{
    const QSettings settings;
    StackOptions o;
    // As "#RRGGBB=finish", the form --finish takes; a palette that no longer reads is dropped.
    const QStringList rules = settings.value(QStringLiteral("stack/palette")).toStringList();
    kcore::Palette palette;
    QString why;
    bool read = !rules.isEmpty();
    for (const QString &rule : rules)
        read = read && kcore::addFinishRule(rule, &palette, &why);
    if (read)
        o.palette = palette;
    o.bottom = settings.value(QStringLiteral("stack/side")).toString() == QLatin1String("bottom");
    bool ok = false;
    const double expansion
            = settings.value(QStringLiteral("stack/maskExpansionMils")).toDouble(&ok);
    if (ok && std::isfinite(expansion) && std::abs(expansion) <= 1000)
        o.maskExpansionMils = expansion;
    const int mask = StackLook::maskKeys().indexOf(
            settings.value(QStringLiteral("stack/maskColour")).toString());
    if (mask >= 0)
        o.look.mask = mask;
    o.look.hasl
            = settings.value(QStringLiteral("stack/plating")).toString() == QLatin1String("hasl");
    o.look.blackSilk = settings.value(QStringLiteral("stack/silkColour")).toString()
            == QLatin1String("black");
    kcore::StackLimits &l = o.limits;
    l.copperLine = limit(settings, "stack/copperLineMils", l.copperLine);
    l.copperSpace = limit(settings, "stack/copperSpaceMils", l.copperSpace);
    l.silkLine = limit(settings, "stack/silkLineMils", l.silkLine);
    l.silkSpace = limit(settings, "stack/silkSpaceMils", l.silkSpace);
    l.maskWeb = limit(settings, "stack/maskWebMils", l.maskWeb);
    return o;
}

void saveStackOptions(const StackOptions &o)
{
    QSettings settings;
    QStringList rules;
    for (const kcore::PaletteEntry &entry : o.palette)
        rules << QColor(entry.colour).name(QColor::HexRgb).toUpper() + QLatin1Char('=')
                        + kcore::finishKey(entry.finish);
    settings.setValue(QStringLiteral("stack/palette"), rules);
    settings.setValue(QStringLiteral("stack/side"),
                      o.bottom ? QStringLiteral("bottom") : QStringLiteral("top"));
    // One that is no number is not kept: the last number stays.
    if (std::isfinite(o.maskExpansionMils))
        settings.setValue(QStringLiteral("stack/maskExpansionMils"), o.maskExpansionMils);
    settings.setValue(QStringLiteral("stack/maskColour"), StackLook::maskKeys().value(o.look.mask));
    settings.setValue(QStringLiteral("stack/plating"),
                      o.look.hasl ? QStringLiteral("hasl") : QStringLiteral("enig"));
    settings.setValue(QStringLiteral("stack/silkColour"),
                      o.look.blackSilk ? QStringLiteral("black") : QStringLiteral("white"));
    settings.setValue(QStringLiteral("stack/copperLineMils"), o.limits.copperLine);
    settings.setValue(QStringLiteral("stack/copperSpaceMils"), o.limits.copperSpace);
    settings.setValue(QStringLiteral("stack/silkLineMils"), o.limits.silkLine);
    settings.setValue(QStringLiteral("stack/silkSpaceMils"), o.limits.silkSpace);
    settings.setValue(QStringLiteral("stack/maskWebMils"), o.limits.maskWeb);
}

ToneOptions loadToneOptions()
{
    const QSettings settings;
    ToneOptions o;
    o.halftone
            = settings.value(QStringLiteral("board/tones")).toString() == QLatin1String("halftone");
    bool ok = false;
    const double cell = settings.value(QStringLiteral("board/cellMils")).toDouble(&ok);
    if (ok && cell > 0 && cell <= 100000)
        o.cellMils = cell;
    kcore::Finish finish;
    if (kcore::finishFromKey(settings.value(QStringLiteral("stack/halftoneFinish")).toString(),
                             &finish)
        && (finish == kcore::Finish::Gold || finish == kcore::Finish::Bare))
        o.finish = finish;
    return o;
}

void saveToneOptions(const ToneOptions &o)
{
    QSettings settings;
    settings.setValue(QStringLiteral("board/tones"),
                      o.halftone ? QStringLiteral("halftone") : QStringLiteral("threshold"));
    settings.setValue(QStringLiteral("board/cellMils"), o.cellMils);
    settings.setValue(QStringLiteral("stack/halftoneFinish"), kcore::finishKey(o.finish));
}
