// The conversion both front ends drive: a source (a picture, or a page of a vector document) ->
// grey -> black-and-white at the settings -> PADS lines, with the one check of whether a file can
// be written and the fab check of what it holds. The window builds and shows the images;
// kestrel-convert streams the rows straight into the writer.
#pragma once

#include "board/fabcheck.h"
#include "board/fabsafe.h"
#include "board/spacecheck.h"
#include "board/stack.h"
#include "export/artworkwriter.h"
#include "geometry/padssettings.h"
#include "image/bwimage.h"
#include "image/greyimage.h"
#include "image/halftone.h"
#include "image/picturestream.h"
#include "image/vectordocument.h"

#include <QImage>
#include <QSize>
#include <QString>

#include <atomic>
#include <memory>

namespace kcore {

// Every setting of a conversion. The threshold is pads.threshold: the clip and the smooth run
// ends read the same one.
struct ConversionSettings
{
    bool invert = false;
    // Pictures scale by whole percent; a vector page by any amount, exactly.
    double scalePercent = 100;
    PadsSettings pads;
    // Board art as a stack of layers from the artwork's colours or its layers; the threshold,
    // invert, layer and kind are not used then.
    StackSettings stack;
    // The grey as dots instead of clipped at the threshold, which it does not use. In a stack,
    // the picture's grey becomes stack.halftoneFinish over the board.
    HalftoneSettings halftone;
    // Thresholded art changed until the board maker can make it; not with a stack or a halftone,
    // which keeps the limits itself.
    FabSafeSettings fabSafe;
};

// The limits a stack's halftone keeps: those of the layer its finish is drawn on (silkscreen;
// copper, its openings grown apart by the mask expansion; the mask for bare board).
void useStackLimits(ConversionSettings *settings, const StackLimits &limits);

// Where the artwork comes from. Copies share the picture or the document.
class Source
{
public:
    Source() = default;
    // A picture, or page (from 0) of a vector document, whichever the file is. Null when it
    // cannot be read; why then says so in a sentence for the user. With streamed, a picture that
    // its format's decoder reads row by row is not read yet: rows() reads it as they go, its
    // header read and its size bounded now.
    static Source open(const QString &path, int page = 0, QString *why = nullptr,
                       bool streamed = false);
    static Source fromPicture(const QImage &picture, const QString &path = QString());
    // The same for a file's bytes read already (standard input), told apart by their start alone.
    static Source fromData(const QByteArray &data, int page = 0, QString *why = nullptr,
                           bool streamed = false);

    bool isNull() const { return m_picture.isNull() && !m_vector && !m_streamed; }
    bool isVector() const { return bool(m_vector); }
    // A picture read as its rows are asked for: never held.
    bool isStreamed() const { return m_streamed; }
    QString path() const { return m_path; }
    // The picture; null for a vector document and a streamed picture.
    const QImage &picture() const { return m_picture; }
    // The picture's size, held or streamed.
    QSize pictureSize() const { return m_streamed ? m_streamedSize : m_picture.size(); }
    // The darkest and lightest grey of the picture; not known for a vector page.
    GreyRange greyRange() const;
    const VectorDocument *vector() const { return m_vector.get(); }

    // The size of the black-and-white image: the picture scaled, or the grid a page covers at
    // the pitch. Not bounded: see check().
    QSize grid(const ConversionSettings &settings) const;
    // What the scale asks for before the picture's aspect ratio is kept: the size the pixel
    // bound is judged by.
    QSize request(const ConversionSettings &settings) const;
    // The largest scale up to maxPercent whose image stays within maxImagePixels, 0 if none;
    // a vector page's in whole percent too, so the window's scale field can show it.
    int largestScale(const ConversionSettings &settings, int maxPercent) const;

    // The page drawn onto the grid at the settings, or the picture itself. Null when memory
    // runs out or there is nothing to draw.
    QImage colour(const ConversionSettings &settings) const;
    // The black-and-white rows at the settings, one at a time; halftoned by screen when the
    // settings ask for a halftone.
    std::unique_ptr<RowStream> rows(const ConversionSettings &settings,
                                    const std::shared_ptr<const HalftoneScreen> &screen = {}) const;

    // The labels of an SVG document's layers named after a board layer (see planeOfLabel()).
    QStringList boardLayers() const;
    // The artwork's planes for a stack at the settings: the document's board layers, each drawn
    // alone, or the colours read through the palette. colour, when not null, is the picture or
    // the page drawn already over the palette's board colour (stackColour()). Null when memory
    // runs out.
    std::unique_ptr<PlaneSource>
    planes(const ConversionSettings &settings, const QImage &colour = QImage(),
           const std::shared_ptr<const HalftoneScreen> &screen = {}) const;
    // The page drawn onto the grid over the palette's board colour, or the picture itself.
    QImage stackColour(const ConversionSettings &settings) const;
    // The sides (bit 0 top, bit 1 bottom) the planes() of a stack have, found without drawing.
    int stackSides(const StackSettings &stack) const;

private:
    // The picture, held or read whole now.
    QImage held() const;

    QString m_path;
    QByteArray m_svg; // an SVG document's own text, for its layers
    QImage m_picture;
    PictureFile m_file; // a streamed picture's
    QSize m_streamedSize;
    bool m_streamed = false;
    std::shared_ptr<const VectorDocument> m_vector;
};

// Why no file can be written, the first reason that holds, in the order a user meets them.
enum class Refusal {
    None,
    LineWidth, // the width text is not a width a file can carry
    Layer, // the layer and its kind cannot be written in this format
    NoSource, // nothing is open
    TooManyPixels, // the scale would build more than maxImagePixels
    Halftone, // no halftone screen keeps the fab limits at this line width and cell
    NotBuilt, // the image could not be made (memory); the window says why
    NoPixels, // the scale leaves no pixel
    TooLarge, // the numbers would not fit the file
};

struct WriteCheck
{
    Refusal refusal = Refusal::None;
    QString why; // a sentence for the user; empty for NoSource and NoPixels
    explicit operator bool() const { return refusal == Refusal::None; }
};

// The one check Generate, the fab check and kestrel-convert make before writing: the width as
// typed in its unit, the settings (whose pitch is that width's), and the source (null: only the
// settings are judged). notBuilt, if not empty, is why the window has no image although the
// settings allow one; noScreen why there is no halftone screen for settings that ask for one.
// Lengths it names are in shownUnit, the one the user now sees (-1: the width's unit).
WriteCheck checkWrite(const QString &widthText, int unit, const ConversionSettings &settings,
                      const Source &source, const QString &notBuilt = QString(), int shownUnit = -1,
                      const QString &noScreen = QString());

// What the fab check finds: the file's budget and line against the board maker's limits, and the
// spaces the copper closes or narrows.
struct FabResult
{
    FabCheck fab;
    SpaceReport spaces;
    Coverage coverage = Coverage::Part;
    GreyRange greys; // of the grey image, known when it covers nothing or everything
};

// The fab check of a stack, layer by layer (indexed by side, then StackLayer): each layer's
// line against its limit and its spaces (the mask's: the webs between openings).
struct StackFab
{
    struct Layer
    {
        FabCheck fab;
        SpaceReport spaces;
        bool written = false;
        // A layer without items asks nothing of the board maker, however fine its line.
        bool lineTooFine() const { return fab.items > 0 && fab.belowMinimum(); }
    };
    std::array<std::array<Layer, stackLayerCount>, 2> layers;
    StackBudget budget;
    WriteResult written; // the file's, or the count's without a device
    bool hasFindings() const
    {
        for (const auto &side : layers)
            for (const Layer &layer : side)
                if (layer.written && (layer.spaces.hasFindings() || layer.lineTooFine()))
                    return true;
        return false;
    }
};

// One conversion: the source, its settings, and the images made from them, each kept while the
// source and the settings it was made for hold. Copies share the images (the window hands a copy
// to work off the GUI thread); only the original builds.
class Conversion
{
public:
    const Source &source() const { return m_source; }
    // A new source: every image of the old one is dropped.
    void setSource(const Source &source);
    // A picture with the grey image made of it, which takes long enough for big pictures that
    // the window makes it off the GUI thread.
    void setPicture(const Source &picture, const QImage &grey);

    const ConversionSettings &settings() const { return m_settings; }
    // With a halftone, the threshold is the one its edge levels are made for, and its screen is
    // made anew when the settings it depends on change. Drops the fab-safe rows made for other
    // settings.
    void setSettings(const ConversionSettings &settings);
    // The halftone's screen at the settings; null without a halftone, or when none keeps the
    // limits (screenProblem() says why).
    const std::shared_ptr<const HalftoneScreen> &screen() const { return m_screen; }
    const QString &screenProblem() const { return m_screenWhy; }
    // The fab check of a file's line (polygons as lines a pixel wide): a halftone is judged by its
    // finest ink, its dots and webs, which the screen keeps at the line limit whatever the line
    // width; fab-safe art by its ink.
    FabCheck lineCheck(const FileBudget &budget, double minLineMils) const;
    // The size of the black-and-white image at the settings.
    QSize grid() const { return m_source.grid(m_settings); }

    // The check before writing, for the width text as typed in its unit: the window's "no image"
    // reason included once it has tried to build one.
    WriteCheck check(const QString &widthText, int unit, int shownUnit = -1) const;

    // A vector page drawn onto the grid at some settings: what drawPage() makes, anywhere.
    struct Page
    {
        QImage colour;
        QImage grey;
        QString why; // when there is no grey image
        QSize grid; // the settings it was drawn for
        double perMil = 0;
    };
    // Whether the page drawn last is the one the settings ask for.
    bool pageIsCurrent() const;
    // The page at settings; safe on any thread.
    static Page drawPage(const Source &source, const ConversionSettings &settings);
    // Takes a drawing; one for other settings than the current ones is taken all the same, and
    // drawn anew by the next pageIsCurrent() test.
    void takePage(const Page &page);

    // The images at the settings as last built: the picture or the drawn page, its grey image,
    // the black-and-white image, and the grey levels on its grid for smooth edges.
    const QImage &colour() const { return m_colour; }
    const QImage &grey() const { return m_grey; }
    const QImage &bw() const { return m_bw; }
    const QImage &edges() const { return m_edges; }
    // Why there is no black-and-white image although there is a source; empty otherwise.
    const QString &problem() const { return m_problem; }
    // No black-and-white image, for this reason.
    void setNoImage(const QString &why);

    // Clips the grey image at the settings (a page at 100 %, drawn at the scale already), made
    // fab-safe when the settings ask for it and fabSafe is set; otherwise left to
    // makeImageFabSafe() and takeFabSafe().
    BwResult buildBw(bool fabSafe = true);
    // A black-and-white image made fab-safe for settings, and what it was made for.
    struct FabSafeImage
    {
        QImage bw;
        FabSafeReport report;
        QString key;
    };
    // The image held made fab-safe at settings, with its grey levels for smooth edges; safe on
    // any thread. report.ok is false when memory ran out.
    static FabSafeImage makeImageFabSafe(QImage bw, const QImage &edges,
                                         const ConversionSettings &settings);
    // Takes fab-safe art made for the settings as they are and the image held; false when
    // they have changed since.
    bool takeFabSafe(const FabSafeImage &made);
    // What fab-safe art at the settings would be made for (empty: none is asked for).
    QString fabSafeWanted() const;
    // Fab-safe art made anew from the grey image held when the settings now judge the file
    // otherwise (polygons for the window's lines): by pure functions only, so that a copy may do
    // it on another thread.
    BwResult remakeFabSafe();
    // Without images held (the converter), reads the rows once into a bit a pixel and makes
    // them fab-safe, to be handed out by rows() from then on; false, why saying so, when memory
    // runs out. With images held, buildBw() does it.
    bool makeFabSafe(QString *why = nullptr);
    // What making the image fab-safe changed, the last time it was made.
    const FabSafeReport &fabSafeReport() const { return m_fabSafe; }
    // Whether the image built is fab-safe exactly as the settings ask (or plain as they ask):
    // the file's geometry and the limits decide what fab-safe changes.
    bool fabSafeIsCurrent() const;
    // The grey levels on the black-and-white grid while smooth edges are on; false when memory
    // runs out for them, and the file would get pixel-grid ends.
    bool buildEdges();
    // Drops every image, keeping the source and the settings.
    void dropImages();

    // The black-and-white rows: those of the image built, else streamed from the source.
    std::unique_ptr<RowStream> rows() const;
    // The layers written: the settings' own, or the stack's of the sides its artwork has.
    std::vector<ArtworkLayer> layers() const;
    // The files written for the output's path (Gerber: one for each layer).
    QStringList files(const QString &output) const;
    // The whole file; each row also goes to alongside. Stopped by progress, it fails with
    // cancelledMessage().
    WriteResult write(const Destination &out, const RowProgress &progress = {},
                      const RowSink &alongside = {}) const;
    // The whole file of the stack the settings ask for, each layer's figures in budget.
    WriteResult writeStack(const Destination &out, const RowProgress &progress = {},
                           StackBudget *budget = nullptr, const StackSink &alongside = {}) const;
    // What the file would hold, and the spaces: stops early, its result to be thrown away, once
    // cancel is set.
    FabResult fabCheck(double minLineMils, double minSpaceMils,
                       const std::atomic<bool> *cancel = nullptr) const;
    // The same for a stack, each layer against its own limits, riding along with the file
    // written to out when there is one; stops early, its result to be thrown away, once cancel
    // is set.
    StackFab stackFabCheck(const StackLimits &limits, const std::atomic<bool> *cancel = nullptr,
                           const Destination &out = Destination()) const;
    // The darkest and lightest grey of the artwork: the grey image's, or the picture's when
    // none is held; not known for a vector page that is not held.
    GreyRange greyRange() const;
    // The spaces alone, over the rows; complete is false when a row could not be had.
    SpaceReport checkSpaces(double minSpaceMils, bool *complete = nullptr,
                            const std::atomic<bool> *cancel = nullptr) const;

private:
    Source m_source;
    ConversionSettings m_settings;
    QImage m_colour, m_grey, m_bw, m_edges;
    qint64 m_edgesKey = 0;
    QString m_problem;
    // The window's images are what is written, even when there is none; the converter holds no
    // image and streams its rows from the source.
    bool m_imagesHeld = false;
    BwResult makeHeldFabSafe();
    // The converter's rows made fab-safe, a bit a pixel.
    std::shared_ptr<const BitImage> m_fabSafeBits;
    FabSafeReport m_fabSafe;
    // What the image built was made fab-safe for; empty when it was not.
    QString m_fabSafeFor;
    QSize m_pageGrid;
    double m_pagePerMil = 0;
    std::shared_ptr<BwBuilder> m_builder = std::make_shared<BwBuilder>();
    std::shared_ptr<const HalftoneScreen> m_screen;
    // What the halftone held was drawn from: drawn again only when one of these changes.
    struct Drawn
    {
        qint64 grey = 0;
        int scale = 0;
        bool invert = false, levels = false;
        // Held, so that a new screen is never taken for it at the same address.
        std::shared_ptr<const HalftoneScreen> screen;
        bool operator==(const Drawn &o) const
        {
            return grey == o.grey && scale == o.scale && invert == o.invert && levels == o.levels
                    && screen == o.screen;
        }
    } m_drawn;
    QString m_screenWhy;
    PadsSettings m_screenPads;
    HalftoneSettings m_screenFor;
};

} // namespace kcore
