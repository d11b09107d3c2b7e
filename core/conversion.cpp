// The conversion's source, its one check before writing, its images, rows, file and fab check.
#include "conversion.h"

#include "board/inkwidth.h"
#include "geometry/layers.h"
#include "geometry/units.h"
#include "image/edgegrey.h"
#include "image/greyimage.h"
#include "image/imagealloc.h"
#include "image/picture.h"
#include "image/svglayers.h"

#include <QBuffer>
#include <QFile>

#include <algorithm>
#include <cmath>
#include <limits>
#include <set>
#include <utility>

namespace kcore {

namespace {

// The webs of the mask from its two checks: every opening as drawn, and gold's grown; one found
// by both, at the same place, once.
SpaceReport mergedWebs(SpaceReport drawn, const SpaceReport &gold)
{
    std::set<std::pair<double, double>> known;
    for (const SpaceFinding &d : drawn.findings)
        known.insert({d.mils.x(), d.mils.y()});
    for (const SpaceFinding &g : gold.findings) {
        if (known.count({g.mils.x(), g.mils.y()}))
            continue;
        drawn.findings.push_back(g);
        ++(g.closed ? drawn.closedGaps : drawn.narrowGaps);
    }
    return drawn;
}

// What fab-safe art depends on beyond the image: the file's geometry and the limits. Empty when
// the settings ask for no fab-safe art.
QString fabSafeKey(const ConversionSettings &c)
{
    if (!c.fabSafe.on || c.stack.on || c.halftone.on)
        return QString();
    const PadsSettings p = checkedAs(c.pads);
    return QStringLiteral("%1 %2 %3 %4 %5 %6 %7")
            .arg(p.pitch, 0, 'g', 17)
            .arg(int(p.format))
            .arg(p.metric)
            .arg(p.exactEnds)
            .arg(p.smoothEdges)
            .arg(c.fabSafe.minLineMils, 0, 'g', 17)
            .arg(c.fabSafe.minSpaceMils, 0, 'g', 17);
}

int wholePercent(double scalePercent)
{
    return int(std::lround(qBound(0.0, scalePercent, 1e6)));
}

} // namespace

Source Source::open(const QString &path, int page, QString *why)
{
    Source s;
    if (isVectorFile(path)) {
        std::unique_ptr<VectorDocument> document = VectorDocument::open(path, page, why);
        if (!document)
            return s;
        if (document->kind() == VectorDocument::Svg) {
            QFile file(path);
            if (file.open(QIODevice::ReadOnly))
                s.m_svg = file.readAll();
        }
        s.m_vector = std::move(document);
    } else {
        s.m_picture = loadPicture(path, why);
        if (s.m_picture.isNull())
            return s;
    }
    s.m_path = path;
    return s;
}

Source Source::fromData(const QByteArray &data, int page, QString *why)
{
    Source s;
    VectorDocument::Kind kind;
    if (isVectorData(data, &kind)) {
        s.m_vector = VectorDocument::fromData(data, kind, page, why);
        if (kind == VectorDocument::Svg)
            s.m_svg = data;
        return s;
    }
    QBuffer buffer;
    buffer.setData(data);
    buffer.open(QIODevice::ReadOnly);
    s.m_picture = loadPicture(&buffer, why);
    return s;
}

Source Source::fromPicture(const QImage &picture, const QString &path)
{
    Source s;
    s.m_picture = picture;
    s.m_path = path;
    return s;
}

QSize Source::grid(const ConversionSettings &settings) const
{
    if (m_vector)
        return vectorGrid(m_vector->pageMils(), settings.scalePercent, settings.pads.pitch);
    return bwSize(m_picture.size(), wholePercent(settings.scalePercent));
}

QSize Source::request(const ConversionSettings &settings) const
{
    if (m_vector)
        return grid(settings);
    return scaledRequest(m_picture.size(), wholePercent(settings.scalePercent));
}

int Source::largestScale(const ConversionSettings &settings, int maxPercent) const
{
    if (!m_vector)
        return largestScaleWithinLimit(m_picture.size(), maxPercent);
    ConversionSettings s = settings;
    for (int p = maxPercent; p > 0; --p) {
        s.scalePercent = p;
        if (!beyondPixelBound(grid(s)))
            return p;
    }
    return 0;
}

QImage Source::colour(const ConversionSettings &settings) const
{
    if (!m_vector)
        return m_picture;
    const QSize g = grid(settings);
    if (g.isEmpty() || beyondPixelBound(g))
        return QImage();
    return renderVectorPage(*m_vector, g, settings.scalePercent, settings.pads.pitch);
}

std::unique_ptr<RowStream> Source::rows(const ConversionSettings &settings,
                                        const std::shared_ptr<const HalftoneScreen> &screen) const
{
    std::unique_ptr<RowStream> rows;
    if (m_vector)
        rows = std::make_unique<VectorRows>(*m_vector, settings.scalePercent, settings.pads.pitch,
                                            settings.pads.threshold, settings.invert);
    else
        rows = std::make_unique<BwRows>(m_picture, settings.pads.threshold, settings.invert,
                                        wholePercent(settings.scalePercent));
    if (!settings.halftone.on || !screen)
        return rows;
    return std::make_unique<HalftoneRows>(std::move(rows), screen, settings.invert,
                                          settings.pads.smoothEdges, settings.pads.threshold);
}

QStringList Source::boardLayers() const
{
    QStringList labels;
    if (m_svg.isEmpty())
        return labels;
    int side, plane;
    bool mirrored;
    for (const SvgLayer &layer : svgLayerLabels(m_svg))
        if (planeOfLabel(layer.label, false, &side, &plane, &mirrored))
            labels << layer.label;
    return labels;
}

QImage Source::stackColour(const ConversionSettings &settings) const
{
    if (!m_vector)
        return m_picture;
    const QSize g = grid(settings);
    if (g.isEmpty() || beyondPixelBound(g))
        return QImage();
    // Where the page is bare, the board is.
    return renderVectorPage(*m_vector, g, settings.scalePercent, settings.pads.pitch,
                            paletteBoard(settings.stack.palette));
}

std::unique_ptr<PlaneSource>
Source::planes(const ConversionSettings &settings, const QImage &colour,
               const std::shared_ptr<const HalftoneScreen> &screen) const
{
    const QSize g = grid(settings);
    if (g.isEmpty() || isNull())
        return nullptr;
    const StackSettings &stack = settings.stack;
    if (settings.halftone.on) {
        // The picture's grey as dots of one finish; its colours and layers are not read.
        if (!screen)
            return nullptr;
        ConversionSettings single = settings;
        single.pads.threshold = stackThreshold;
        return halftoneSource(rows(single, screen), stack.halftoneFinish, stack.bottom,
                              settings.pads.smoothEdges);
    }
    std::vector<DrawnLayer> drawn;
    bool layered = false; // a board layer named, drawn or not: the colours are not read
    const QList<SvgLayer> layers = m_svg.isEmpty() ? QList<SvgLayer>() : svgLayerLabels(m_svg);
    for (const SvgLayer &layer : layers) {
        DrawnLayer d;
        if (!planeOfLabel(layer.label, stack.bottom, &d.side, &d.plane, &d.mirrored))
            continue;
        layered = true;
        if (d.plane < 0)
            continue; // board: nothing drawn
        // The layer alone in black ink: its coverage is how dark the page is.
        const std::unique_ptr<VectorDocument> alone = VectorDocument::fromData(
                svgLayerAlone(m_svg, layer.index), VectorDocument::Svg, m_vector->page());
        if (!alone)
            return nullptr;
        const QImage page = renderVectorPage(*alone, g, settings.scalePercent, settings.pads.pitch);
        if (page.isNull())
            return nullptr;
        d.coverage = allocateImage(g.width(), g.height(), QImage::Format_Grayscale8);
        if (d.coverage.isNull())
            return nullptr;
        for (int y = 0; y < g.height(); ++y) {
            const auto *from = reinterpret_cast<const QRgb *>(page.constScanLine(y));
            uchar *to = d.coverage.scanLine(y);
            for (int x = 0; x < g.width(); ++x)
                to[x] = uchar(255 - qGray(from[x]));
        }
        drawn.push_back(d);
    }
    if (layered)
        return layerSource(drawn, g);
    if (m_vector && colour.isNull())
        return paletteSource(*m_vector, g,
                             vectorPixelsPerMil(settings.scalePercent, settings.pads.pitch),
                             stack.palette, stack.bottom);
    const QImage image = colour.isNull() ? stackColour(settings) : colour;
    if (image.isNull())
        return nullptr;
    return paletteSource(image, g, stack.palette, stack.bottom);
}

int Source::stackSides(const StackSettings &stack) const
{
    // As planes() reads them: a document's board layers drawn each on its side, the board
    // layer drawing nothing; else the palette's finishes on the side chosen.
    int sides = 0;
    bool layered = false;
    int side, plane;
    bool mirrored;
    if (!m_svg.isEmpty())
        for (const SvgLayer &layer : svgLayerLabels(m_svg))
            if (planeOfLabel(layer.label, stack.bottom, &side, &plane, &mirrored)) {
                layered = true;
                if (plane >= 0)
                    sides |= 1 << side;
            }
    if (layered)
        return sides ? sides : 1;
    return stack.bottom ? 2 : 1;
}

void useStackLimits(ConversionSettings *settings, const StackLimits &limits)
{
    HalftoneSettings &h = settings->halftone;
    switch (settings->stack.halftoneFinish) {
    case Finish::Gold:
        // Its openings, grown by the expansion on either side, keep the mask's web between them.
        h.minLineMils = limits.copperLine;
        h.minSpaceMils
                = std::max(limits.copperSpace,
                           limits.maskWeb + 2 * std::max(0.0, settings->stack.maskExpansionMils));
        break;
    case Finish::Bare:
        h.minLineMils = h.minSpaceMils = limits.maskWeb;
        break;
    case Finish::Copper:
        h.minLineMils = limits.copperLine;
        h.minSpaceMils = limits.copperSpace;
        break;
    default:
        h.minLineMils = limits.silkLine;
        h.minSpaceMils = limits.silkSpace;
    }
}

WriteCheck checkWrite(const QString &widthText, int unit, const ConversionSettings &settings,
                      const Source &source, const QString &notBuilt, int shownUnit,
                      const QString &noScreen)
{
    const QString width = lineWidthProblem(widthText, unit);
    if (!width.isEmpty())
        return {Refusal::LineWidth, width};
    // A stack's layers are its side's own; what it can refuse is its expansion.
    const QString layer = settings.stack.on
            ? stackExpansionProblem(settings.pads.pitch, settings.stack.maskExpansionMils,
                                    shownUnit < 0 ? unit : shownUnit)
            : artworkLayerProblem(settings.pads);
    if (!layer.isEmpty())
        return {Refusal::Layer, layer};
    if (settings.halftone.on && !noScreen.isEmpty())
        return {Refusal::Halftone, noScreen};
    if (source.isNull())
        return {Refusal::NoSource, QString()};
    const QSize request = source.request(settings);
    if (beyondPixelBound(request))
        return {Refusal::TooManyPixels, tooManyPixelsMessage(settings.scalePercent, request)};
    if (!notBuilt.isEmpty())
        return {Refusal::NotBuilt, notBuilt};
    const QSize grid = source.grid(settings);
    if (grid.isEmpty())
        return {Refusal::NoPixels, QString()};
    if (!artworkFits(grid, settings.pads,
                     settings.stack.on ? settings.stack.maskExpansionMils : 0.0))
        return {Refusal::TooLarge, pitchTooLargeMessage()};
    return {};
}

void Conversion::setSource(const Source &source)
{
    m_source = source;
    dropImages();
    m_imagesHeld = false;
}

void Conversion::setPicture(const Source &picture, const QImage &grey)
{
    setSource(picture);
    m_colour = picture.picture();
    m_grey = grey;
    m_imagesHeld = true;
}

void Conversion::setSettings(const ConversionSettings &settings)
{
    m_settings = settings;
    m_fabSafeBits.reset(); // made for the settings before
    if (!settings.halftone.on) {
        m_screen.reset();
        m_screenWhy.clear();
        return;
    }
    m_settings.pads.threshold = halftoneThreshold;
    const PadsSettings &p = settings.pads;
    const PadsSettings &q = m_screenPads;
    const bool same = p.pitch == q.pitch && p.format == q.format && p.metric == q.metric
            && p.exactEnds == q.exactEnds && p.smoothEdges == q.smoothEdges
            && settings.halftone == m_screenFor;
    if (same && (m_screen || !m_screenWhy.isEmpty()))
        return;
    m_screenPads = p;
    m_screenFor = settings.halftone;
    m_screenWhy.clear();
    m_screen = HalftoneScreen::make(p, settings.halftone, &m_screenWhy);
}

FabCheck Conversion::lineCheck(const FileBudget &budget, double minLineMils) const
{
    FabCheck c = kcore::fabCheck(budget, checkedAs(m_settings.pads), minLineMils);
    c.noun = itemNoun(m_settings.pads.type, true);
    if (m_settings.halftone.on && m_screen)
        c.inkMils = m_screen->finestInkMils();
    if (fabSafeWanted().isEmpty())
        return c;
    const InkWidth width(checkedAs(m_settings.pads), minLineMils);
    if (!width.active()) {
        c.inkJudged = true;
        return c;
    }
    if (m_fabSafeBits) {
        c.inkJudged = true;
        c.thinInk = countThinInk(*m_fabSafeBits, width);
        return c;
    }
    // Without the memory to look at the ink, the line alone is judged.
    const std::unique_ptr<RowStream> r = rows();
    const BitImage bits = readBits(*r);
    c.inkJudged = !bits.isNull();
    c.thinInk = countThinInk(bits, width);
    return c;
}

WriteCheck Conversion::check(const QString &widthText, int unit, int shownUnit) const
{
    return checkWrite(widthText, unit, m_settings, m_source,
                      m_imagesHeld && m_bw.isNull() ? m_problem : QString(), shownUnit,
                      m_screenWhy);
}

bool Conversion::pageIsCurrent() const
{
    return m_pageGrid == grid()
            && m_pagePerMil == vectorPixelsPerMil(m_settings.scalePercent, m_settings.pads.pitch);
}

Conversion::Page Conversion::drawPage(const Source &source, const ConversionSettings &settings)
{
    Page d;
    d.grid = source.grid(settings);
    d.perMil = vectorPixelsPerMil(settings.scalePercent, settings.pads.pitch);
    if (d.grid.isEmpty() || beyondPixelBound(d.grid))
        return d; // nothing to draw; the check says why
    d.colour = source.colour(settings);
    d.grey = makeGrey(d.colour, &d.why);
    if (d.colour.isNull())
        d.why = allocationProblem(QStringLiteral("the drawn page"), d.grid.width(), d.grid.height(),
                                  QImage::Format_RGB32);
    return d;
}

void Conversion::takePage(const Page &page)
{
    m_colour = page.colour;
    m_grey = page.grey;
    m_problem = page.why;
    m_pageGrid = page.grid;
    m_pagePerMil = page.perMil;
    m_imagesHeld = true;
}

void Conversion::setNoImage(const QString &why)
{
    m_problem = why;
    m_bw = m_edges = QImage();
}

BwResult Conversion::buildBw(bool fabSafe)
{
    // A page is drawn onto the grid itself, so it is clipped as it is.
    const int scale = m_source.isVector() ? 100 : wholePercent(m_settings.scalePercent);
    BwResult built;
    m_fabSafe = FabSafeReport();
    m_fabSafeFor.clear();
    if (m_settings.halftone.on && m_screen) {
        // With smooth edges the levels that place the dots' ends are made with the dots.
        const bool levels = m_settings.pads.smoothEdges;
        const Drawn drawn{m_grey.cacheKey(), scale, m_settings.invert, levels, m_screen};
        if (drawn == m_drawn && !m_bw.isNull() && (!levels || m_edgesKey == -1))
            return {};
        const QImage &grid = m_builder->scaled(m_grey, scale, &built);
        if (built)
            built = halftoneInto(grid, m_settings.invert, m_screen, m_bw,
                                 levels ? &m_edges : nullptr);
        m_edgesKey = levels ? -1 : 0;
        m_drawn = built ? drawn : Drawn();
    } else {
        m_drawn = Drawn();
        built = m_builder->build(m_grey, m_settings.pads.threshold, m_settings.invert, scale, m_bw);
        if (m_edgesKey == -1)
            m_edges = QImage();
        if (built && fabSafe && !fabSafeWanted().isEmpty() && !m_bw.isNull())
            built = makeHeldFabSafe();
    }
    m_problem = built ? QString() : built.why;
    if (!built)
        m_bw = QImage();
    return built;
}

BwResult Conversion::makeHeldFabSafe()
{
    // Smooth ends are where the grey levels put them: made first.
    buildEdges();
    const QSize size = m_bw.size();
    // Handed over rather than shared, so that the art is made in the image's own pixels.
    FabSafeImage made = makeImageFabSafe(std::exchange(m_bw, QImage()), m_edges, m_settings);
    m_bw = made.bw;
    m_fabSafe = made.report;
    m_fabSafeFor = made.key;
    if (!made.report.ok)
        return {false,
                allocationProblem(QStringLiteral("fab-safe art"), size.width(), size.height(),
                                  QImage::Format_Mono)};
    return {};
}

Conversion::FabSafeImage Conversion::makeImageFabSafe(QImage bw, const QImage &edges,
                                                      const ConversionSettings &settings)
{
    FabSafeImage made;
    made.key = fabSafeKey(settings);
    BitImage bits = bitsOf(bw);
    made.report.ok = !bits.isNull();
    if (!made.report.ok)
        return made;
    const FabSafeSettings &safe = settings.fabSafe;
    // Made for what the fab check judges: polygons as lines whose ends stay inside the pixels.
    made.report
            = kcore::makeFabSafe(bits, checkedAs(settings.pads), safe.minLineMils,
                                 safe.minSpaceMils, settings.pads.smoothEdges ? edges : QImage());
    if (!made.report.ok)
        return made;
    // A copy first when the image is shared with what the window shows meanwhile.
    made.report.ok = writeBits(bits, bw);
    if (made.report.ok)
        made.bw = std::move(bw);
    return made;
}

bool Conversion::takeFabSafe(const FabSafeImage &made)
{
    if (made.key.isEmpty() || made.key != fabSafeWanted() || made.bw.size() != m_bw.size())
        return false;
    m_bw = made.bw;
    m_fabSafe = made.report;
    m_fabSafeFor = made.key;
    return true;
}

BwResult Conversion::remakeFabSafe()
{
    if (fabSafeIsCurrent() || !m_imagesHeld)
        return {};
    const int scale = m_source.isVector() ? 100 : wholePercent(m_settings.scalePercent);
    QImage plain;
    const BwResult clipped = clipInto(scaleGrey(m_grey, scale), m_settings.pads.threshold,
                                      m_settings.invert, plain);
    if (!clipped)
        return clipped;
    m_bw = plain;
    m_fabSafeFor.clear();
    m_fabSafe = FabSafeReport();
    return fabSafeWanted().isEmpty() ? BwResult() : makeHeldFabSafe();
}

QString Conversion::fabSafeWanted() const
{
    return fabSafeKey(m_settings);
}

bool Conversion::fabSafeIsCurrent() const
{
    return m_bw.isNull() || fabSafeWanted() == m_fabSafeFor;
}

bool Conversion::makeFabSafe(QString *why)
{
    m_fabSafeBits.reset();
    m_fabSafe = FabSafeReport();
    const FabSafeSettings &safe = m_settings.fabSafe;
    if (m_imagesHeld || !safe.on || m_settings.stack.on)
        return true;
    const std::unique_ptr<RowStream> r = m_source.rows(m_settings);
    // With smooth edges the grey levels too, a byte a pixel while the art is made safe.
    QImage levels;
    BitImage bits = readBits(*r, why, m_settings.pads.smoothEdges ? &levels : nullptr);
    if (bits.isNull())
        return r->size().isEmpty();
    m_fabSafe = kcore::makeFabSafe(bits, checkedAs(m_settings.pads), safe.minLineMils,
                                   safe.minSpaceMils, levels);
    if (!m_fabSafe.ok) {
        if (why)
            *why = QStringLiteral("there is not enough memory to make the %1 x %2 pixel image "
                                  "fab-safe")
                           .arg(bits.width())
                           .arg(bits.height());
        return false;
    }
    m_fabSafeBits = std::make_shared<const BitImage>(std::move(bits));
    return true;
}

bool Conversion::buildEdges()
{
    // A 16384 x 16384 picture's levels take 268 MB: kept only while they are used.
    if (!m_settings.pads.smoothEdges || m_bw.isNull()) {
        m_edges = QImage();
        m_edgesKey = 0;
        return true;
    }
    if (m_settings.halftone.on && m_screen) {
        // A halftone's are made with its dots.
        if (m_edgesKey != -1 || m_edges.size() != m_bw.size())
            buildBw();
        return !m_edges.isNull();
    }
    if (!m_edges.isNull() && m_edges.size() == m_bw.size() && m_edgesKey == m_grey.cacheKey())
        return true;
    m_edges = QImage();
    m_edges = edgeGrey(m_grey, m_bw.size());
    m_edgesKey = m_grey.cacheKey();
    return !m_edges.isNull();
}

void Conversion::dropImages()
{
    m_colour = m_grey = m_bw = m_edges = QImage();
    m_fabSafeFor.clear();
    m_edgesKey = 0;
    m_drawn = Drawn();
    m_problem.clear();
    m_pageGrid = QSize();
    m_pagePerMil = 0;
}

std::unique_ptr<RowStream> Conversion::rows() const
{
    if (m_fabSafeBits)
        return std::make_unique<BitRows>(
                m_fabSafeBits, m_settings.pads.smoothEdges ? m_source.rows(m_settings) : nullptr);
    if (m_imagesHeld)
        return std::make_unique<ImageRows>(m_bw, m_edges, m_settings.pads);
    return m_source.rows(m_settings, m_screen);
}

std::vector<ArtworkLayer> Conversion::layers() const
{
    if (m_settings.stack.on)
        return stackLayers(m_source.stackSides(m_settings.stack));
    return {settingsLayer(m_settings.pads)};
}

QStringList Conversion::files(const QString &output) const
{
    return artworkFiles(output, m_settings.pads, layers());
}

WriteResult Conversion::write(const Destination &out, const RowProgress &progress,
                              const RowSink &alongside) const
{
    const std::unique_ptr<RowStream> r = rows();
    if (!artworkFits(r->size(), m_settings.pads))
        return failure(pitchTooLargeMessage());
    const QString layer = artworkLayerProblem(m_settings.pads);
    if (!layer.isEmpty())
        return failure(layer);
    return writeRows(*r, m_settings.pads, out, progress, alongside);
}

WriteResult Conversion::writeStack(const Destination &out, const RowProgress &progress,
                                   StackBudget *budget, const StackSink &alongside) const
{
    // A page held is drawn over white paper: a stack draws it over the board.
    std::unique_ptr<PlaneSource> planes
            = m_source.planes(m_settings, m_source.isVector() ? QImage() : m_colour, m_screen);
    if (!planes)
        return failure(QStringLiteral("there is not enough memory to draw the %1 x %2 pixel page")
                               .arg(grid().width())
                               .arg(grid().height()));
    StackRows rows(std::move(planes), m_settings.pads.pitch, m_settings.stack.maskExpansionMils);
    PadsSettings pads = m_settings.pads;
    pads.threshold = stackThreshold;
    return kcore::writeStack(rows, pads, m_settings.stack.maskExpansionMils, out, progress, budget,
                             alongside);
}

StackFab Conversion::stackFabCheck(const StackLimits &limits, const std::atomic<bool> *cancel,
                                   const Destination &out) const
{
    StackFab f;
    const QSize size = grid();
    const int width = size.width();
    PadsSettings pads = checkedAs(m_settings.pads);
    pads.threshold = stackThreshold;
    PadsSettings atPixels = pads;
    atPixels.smoothEdges = false;
    // The mask twice: every opening as drawn against the web, which is exact between openings
    // that are not grown; and gold's openings alone against the web and the two expansions that
    // grow them toward each other. A web both find is counted once.
    const double grown = std::max(0.0, m_settings.stack.maskExpansionMils);
    struct Side
    {
        std::unique_ptr<SpaceCheck> copper, mask, gold, silk;
    } checks[2];
    for (Side &c : checks) {
        c.copper = std::make_unique<SpaceCheck>(size, pads, limits.copperSpace);
        c.mask = std::make_unique<SpaceCheck>(size, atPixels, limits.maskWeb);
        c.gold = std::make_unique<SpaceCheck>(size, atPixels, limits.maskWeb + 2 * grown);
        c.silk = std::make_unique<SpaceCheck>(size, pads, limits.silkSpace);
    }
    const auto add = [&](SpaceCheck &check, const LayerRow &row, int y) {
        std::optional<EdgeRow> edges;
        if (pads.smoothEdges && row.levels)
            edges.emplace(row.levels, 1, width, stackThreshold);
        check.addRow(row.bits, y, edges ? &*edges : nullptr);
    };
    f.written = writeStack(
            out, [cancel](int) { return !(cancel && cancel->load()); }, &f.budget,
            [&](const StackRows &rows, int side, int y) {
                Side &c = checks[side];
                add(*c.copper, rows.copper(side), y);
                add(*c.mask, rows.openings(side), y);
                add(*c.gold, {rows.gold(side).bits, nullptr}, y);
                add(*c.silk, rows.silk(side), y);
            });
    const double lines[stackLayerCount] = {limits.copperLine, 0, limits.silkLine};
    for (int side = 0; side < 2; ++side) {
        Side &c = checks[side];
        SpaceReport spaces[stackLayerCount]
                = {c.copper->finish(), mergedWebs(c.mask->finish(), c.gold->finish()),
                   c.silk->finish()};
        for (int l = 0; l < stackLayerCount; ++l) {
            StackFab::Layer &layer = f.layers[size_t(side)][size_t(l)];
            PadsSettings p = pads;
            p.layer = stackLayerNumber(StackLayer(l), side);
            p.kind = stackLayerKind(StackLayer(l), side);
            layer.fab = kcore::fabCheck(f.budget.layers[size_t(side)][size_t(l)], p, lines[l]);
            layer.fab.noun = itemNoun(p.type, true);
            // A halftone's layers hold its dots and webs, and the others nothing at all.
            if (m_settings.halftone.on && m_screen)
                layer.fab.inkMils = layer.fab.items > 0 ? m_screen->finestInkMils()
                                                        : std::numeric_limits<double>::max();
            layer.spaces = std::move(spaces[l]);
            layer.written = f.budget.sides >> side & 1;
        }
    }
    return f;
}

FabResult Conversion::fabCheck(double minLineMils, double minSpaceMils,
                               const std::atomic<bool> *cancel) const
{
    FabResult f;
    // Formatting every item without a device: the count is the file's by construction.
    CoverageCount cover;
    const int width = m_bw.isNull() ? grid().width() : m_bw.width();
    const WriteResult counted
            = write(Destination(), {},
                    [&](const quint32 *row, int, const EdgeRow *) { cover.addRow(row, width); });
    f.fab = lineCheck({counted.items, counted.bytes}, minLineMils);
    f.coverage = cover.coverage();
    if (f.coverage != Coverage::Part)
        f.greys = greyRange();
    f.spaces = checkSpaces(minSpaceMils, nullptr, cancel);
    return f;
}

GreyRange Conversion::greyRange() const
{
    if (!m_grey.isNull())
        return kcore::greyRange(m_grey);
    return m_source.isVector() ? GreyRange() : kcore::greyRange(m_source.picture());
}

SpaceReport Conversion::checkSpaces(double minSpaceMils, bool *complete,
                                    const std::atomic<bool> *cancel) const
{
    const std::unique_ptr<RowStream> r = rows();
    if (!(m_settings.pads.pitch > 0) || !artworkFits(r->size(), m_settings.pads))
        return SpaceCheck(QSize(), m_settings.pads, minSpaceMils).finish();
    return checkSpace(*r, checkedAs(m_settings.pads), minSpaceMils, cancel, complete);
}

} // namespace kcore
