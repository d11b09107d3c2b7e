// Fit to size over every whole-percent scale: at most 500 cheap size computations.
#include "fit.h"

#include "geometry/units.h"
#include "image/bwimage.h"

#include <climits>
#include <cmath>

namespace kcore {

FitResult fitScale(const QSize &picture, const PadsSettings &settings, double targetMils,
                   bool height)
{
    const auto extent = [&](int scale) {
        const QSizeF s = actualSizeMils(bwSize(picture, scale), settings);
        return height ? s.height() : s.width();
    };
    // A hair of slack, so that a target typed as the very size a scale gives is reached.
    const double target = targetMils + 1e-9 * std::max(1.0, std::abs(targetMils));
    FitResult r;
    const int largest = largestScaleWithinLimit(picture, 500);
    if (picture.isEmpty() || largest < 1 || !(settings.pitch > 0))
        return r;
    int smallest = 0; // the first scale that gives any pixels at all
    for (int scale = 1; scale <= largest; ++scale) {
        if (bwSize(picture, scale).isEmpty())
            continue;
        if (!smallest)
            smallest = scale;
        const double mils = extent(scale);
        if (mils > target)
            break; // the extent never shrinks as the scale grows
        if (!r.ok || mils > r.mils)
            r = {true, scale, mils};
    }
    if (!r.ok) {
        if (smallest)
            r = {false, smallest, extent(smallest)};
        return r;
    }
    // The next scale beyond the range would still fit: the range cannot reach the target.
    if (r.scale == largest && extent(largest + 1) <= target)
        r.ok = false;
    return r;
}

FitResult fitPage(const QSizeF &pageMils, const PadsSettings &settings, double targetMils,
                  bool height)
{
    FitResult r;
    const double side = height ? pageMils.height() : pageMils.width();
    const double other = height ? pageMils.width() : pageMils.height();
    if (!(side > 0 && other > 0 && settings.pitch > 0 && targetMils > 0))
        return r;
    const auto extent = [&](qint64 n) {
        const QSizeF s = actualSizeMils(QSize(int(n), int(n)), settings);
        return height ? s.height() : s.width();
    };
    const double target = targetMils + 1e-9 * std::max(1.0, std::abs(targetMils));
    // The file's rounding may move the extent by a mil either way from n pitches.
    qint64 n = qint64(std::min(targetMils / settings.pitch, 1e9));
    while (n < INT_MAX && extent(n + 1) <= target)
        ++n;
    while (n > 0 && extent(n) > target)
        --n;
    const auto scaleFor
            = [&](qint64 pixels) { return double(pixels) * settings.pitch / side * 100; };
    const auto within = [&](qint64 pixels) {
        const double across = std::ceil(other * scaleFor(pixels) / 100 / settings.pitch - 1e-9);
        return double(pixels) * std::max(1.0, across) <= double(maxImagePixels);
    };
    if (n < 1 || !within(n)) {
        const qint64 nearest = n < 1 ? 1 : n;
        r = {false, int(std::lround(scaleFor(nearest))), extent(nearest), scaleFor(nearest)};
        return r;
    }
    r = {true, int(std::lround(scaleFor(n))), extent(n), scaleFor(n)};
    return r;
}

QString sizeText(double mils, int unit)
{
    if (unit == UnitMillimetres)
        return QString::number(mils * mmPerMil, 'f', 3) + QStringLiteral(" mm");
    if (unit == UnitInches)
        return QString::number(mils / 1000, 'f', 4) + QStringLiteral(" inch");
    return QString::number(mils, 'f', 1) + QStringLiteral(" mils");
}

QString fitText(const FitResult &fit, double targetMils, bool height, int unit)
{
    const QString side = height ? QStringLiteral("height") : QStringLiteral("width");
    if (fit.exactScale > 0) {
        // A page scales by any amount: say the scale as closely as it matters.
        const QString scale = QString::number(fit.exactScale, 'g', 6);
        if (!fit.ok)
            return QStringLiteral("a %1 of %2 cannot be reached; the nearest is %3 at %4 %")
                    .arg(side, sizeText(targetMils, unit), sizeText(fit.mils, unit), scale);
        return QStringLiteral("%1 %2 at %3 %").arg(side, sizeText(fit.mils, unit), scale);
    }
    if (fit.scale < 1)
        return QStringLiteral("There is no picture to fit.");
    if (!fit.ok)
        return QStringLiteral("a %1 of %2 cannot be reached at 1-500 %; the nearest is %3 at %4 %")
                .arg(side, sizeText(targetMils, unit), sizeText(fit.mils, unit))
                .arg(fit.scale);
    return QStringLiteral("%1 %2 at %3 %").arg(side, sizeText(fit.mils, unit)).arg(fit.scale);
}

} // namespace kcore
