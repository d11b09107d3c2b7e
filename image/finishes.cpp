// Board finishes read from a colour picture through a palette.
#include "finishes.h"

#include <QImage>
#include <QRegularExpression>

#include <algorithm>
#include <cmath>

namespace kcore {

namespace {

const char *const finishKeys[finishCount] = {"board", "copper", "gold", "bare", "silk"};

// How much nearer, in RGB levels, the line between two colours must be than the nearest colour
// itself for a pixel to be read as a mix: a flat area's noise stays its own colour.
constexpr double mixMargin = 4;

} // namespace

QString finishKey(Finish finish)
{
    return QString::fromLatin1(finishKeys[int(finish)]);
}

bool finishFromKey(const QString &key, Finish *finish)
{
    for (int i = 0; i < finishCount; ++i) {
        if (key.compare(QLatin1String(finishKeys[i]), Qt::CaseInsensitive) == 0) {
            *finish = Finish(i);
            return true;
        }
    }
    return false;
}

QList<Finish> finishes()
{
    return {Finish::Board, Finish::Copper, Finish::Gold, Finish::Bare, Finish::Silk};
}

Palette defaultPalette()
{
    return {{0xff0b3d1e, Finish::Board}, {0xff000000, Finish::Board}, {0xff3a8a4a, Finish::Copper},
            {0xffd4af37, Finish::Gold},  {0xffc8b48c, Finish::Bare},  {0xffffffff, Finish::Silk}};
}

bool addFinishRule(const QString &rule, Palette *palette, QString *why)
{
    const qsizetype equals = rule.indexOf('=');
    const QString colour = rule.left(equals).trimmed();
    const QString key = equals < 0 ? QString() : rule.mid(equals + 1).trimmed();
    static const QRegularExpression hex(QStringLiteral("^#[0-9A-Fa-f]{6}$"));
    if (equals < 0 || !hex.match(colour).hasMatch()) {
        *why = QStringLiteral("takes #RRGGBB=FINISH, not \"%1\"").arg(rule);
        return false;
    }
    Finish finish;
    if (!finishFromKey(key, &finish)) {
        QStringList keys;
        for (const char *k : finishKeys)
            keys << QString::fromLatin1(k);
        *why = QStringLiteral("\"%1\" is not a finish: %2").arg(key, keys.join(", "));
        return false;
    }
    const QRgb rgb = 0xff000000u | colour.mid(1).toUInt(nullptr, 16);
    for (PaletteEntry &entry : *palette) {
        if (entry.colour == rgb) {
            entry.finish = finish;
            return true;
        }
    }
    palette->append({rgb, finish});
    return true;
}

QRgb paletteBoard(const Palette &palette)
{
    for (const PaletteEntry &entry : palette)
        if (entry.finish == Finish::Board)
            return entry.colour;
    return 0xff000000;
}

FinishReader::FinishReader(const Palette &palette) : m_cache(size_t(1) << cacheBits)
{
    for (const PaletteEntry &entry : palette)
        m_colours.push_back({double(qRed(entry.colour)), double(qGreen(entry.colour)),
                             double(qBlue(entry.colour)), entry.finish});
    for (size_t i = 0; i < m_colours.size(); ++i) {
        for (size_t j = i + 1; j < m_colours.size(); ++j) {
            const Colour &p = m_colours[i], &q = m_colours[j];
            const double dr = p.r - q.r, dg = p.g - q.g, db = p.b - q.b;
            const double length2 = dr * dr + dg * dg + db * db;
            if (length2 > 0)
                m_pairs.push_back({i, j, dr, dg, db, 1 / length2});
        }
    }
    const QRgb board = paletteBoard(palette);
    m_board = {double(qRed(board)), double(qGreen(board)), double(qBlue(board)), Finish::Board};
    // Every slot starts as the transparent pixel, whose key is 0, read right.
    const FinishReading transparent = classify(0);
    for (Slot &slot : m_cache)
        slot = {0, transparent};
}

FinishReading FinishReader::classify(QRgb pixel) const
{
    FinishReading reading;
    FinishShares &shares = reading.shares;
    if (m_colours.empty()) {
        shares[int(Finish::Board)] = 255;
        return reading;
    }
    const double a = qAlpha(pixel) / 255.0;
    const double r = a * qRed(pixel) + (1 - a) * m_board.r;
    const double g = a * qGreen(pixel) + (1 - a) * m_board.g;
    const double b = a * qBlue(pixel) + (1 - a) * m_board.b;
    // Squared distances throughout: the one root taken is the two nearest's, to compare them.
    const auto distance2 = [&](double pr, double pg, double pb) {
        return (r - pr) * (r - pr) + (g - pg) * (g - pg) + (b - pb) * (b - pb);
    };
    size_t nearest = 0;
    double single = INFINITY;
    for (size_t i = 0; i < m_colours.size(); ++i) {
        const Colour &c = m_colours[i];
        const double d = distance2(c.r, c.g, c.b);
        if (d < single) {
            single = d;
            nearest = i;
        }
    }
    // The nearest point of each line between two colours, as a share t of the first.
    size_t first = 0, second = 0;
    double mixed = INFINITY, share = 1;
    for (const Pair &pair : m_pairs) {
        const Colour &q = m_colours[pair.q];
        const double t = std::clamp(
                ((r - q.r) * pair.dr + (g - q.g) * pair.dg + (b - q.b) * pair.db) * pair.inverse,
                0.0, 1.0);
        const double d = distance2(q.r + t * pair.dr, q.g + t * pair.dg, q.b + t * pair.db);
        if (d < mixed) {
            mixed = d;
            first = pair.p;
            second = pair.q;
            share = t;
        }
    }
    single = std::sqrt(single);
    mixed = std::sqrt(mixed);
    reading.nearest = int(nearest);
    reading.unmatched = std::min(single, mixed) > unmatchedDistance;
    if (single <= mixed + mixMargin) {
        shares[int(m_colours[nearest].finish)] = 255;
        return reading;
    }
    const int firstShare = int(std::lround(share * 255));
    shares[int(m_colours[first].finish)] += uchar(firstShare);
    shares[int(m_colours[second].finish)] += uchar(255 - firstShare);
    return reading;
}

QRgb commonColour(const QImage &image, const QPoint &at, int radius)
{
    if (!image.rect().contains(at))
        return 0;
    // Few pixels: counted by a plain search, first seen wins a tie.
    std::vector<std::pair<QRgb, int>> counts;
    const QRect around = QRect(at - QPoint(radius, radius), at + QPoint(radius, radius))
                                 .intersected(image.rect());
    for (int y = around.top(); y <= around.bottom(); ++y) {
        for (int x = around.left(); x <= around.right(); ++x) {
            const QRgb c = image.pixel(x, y) | 0xff000000u;
            const auto seen = std::find_if(counts.begin(), counts.end(),
                                           [c](const auto &p) { return p.first == c; });
            if (seen == counts.end())
                counts.push_back({c, 1});
            else
                ++seen->second;
        }
    }
    return std::max_element(counts.begin(), counts.end(),
                            [](const auto &p, const auto &q) { return p.second < q.second; })
            ->first;
}

void PaletteTally::add(const FinishReading &reading, QRgb pixel, qint64 count)
{
    m_pixels += count;
    if (size_t(reading.nearest) < m_nearest.size())
        m_nearest[size_t(reading.nearest)] += count;
    if (!reading.unmatched)
        return;
    m_unmatched += count;
    if (m_bins.empty())
        m_bins.resize(4096);
    Bin &bin = m_bins[(pixel >> 12 & 0xf00) | (pixel >> 8 & 0xf0) | (pixel >> 4 & 0xf)];
    if (!bin.count)
        bin.first = pixel | 0xff000000u;
    bin.count += count;
}

qint64 PaletteTally::nearest(int entry) const
{
    return entry >= 0 && size_t(entry) < m_nearest.size() ? m_nearest[size_t(entry)] : 0;
}

std::vector<int> PaletteTally::tenths() const
{
    std::vector<int> tenths(m_nearest.size(), 0);
    if (m_pixels <= 0)
        return tenths;
    // Each share rounded down, then the tenths that leaves over to the largest remainders.
    std::vector<std::pair<qint64, size_t>> remainders;
    int given = 0;
    for (size_t i = 0; i < m_nearest.size(); ++i) {
        const qint64 scaled = m_nearest[i] * 1000;
        tenths[i] = int(scaled / m_pixels);
        given += tenths[i];
        remainders.push_back({scaled % m_pixels, i});
    }
    std::stable_sort(remainders.begin(), remainders.end(),
                     [](const auto &p, const auto &q) { return p.first > q.first; });
    for (size_t k = 0; given < 1000 && k < remainders.size(); ++k, ++given)
        ++tenths[remainders[k].second];
    return tenths;
}

QRgb PaletteTally::commonUnmatched() const
{
    const auto most
            = std::max_element(m_bins.begin(), m_bins.end(),
                               [](const Bin &p, const Bin &q) { return p.count < q.count; });
    return most == m_bins.end() || !most->count ? 0 : most->first;
}

} // namespace kcore
