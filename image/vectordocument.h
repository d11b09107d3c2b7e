// Vector logos (SVG, PDF): a document's page at its true size, drawn straight onto the board's
// grid, one pixel per pitch, instead of a raster picture that would first have to be scaled.
#pragma once

#include "bwimage.h"

#include <QByteArray>
#include <QImage>
#include <QSize>
#include <QSizeF>
#include <QString>

#include <deque>
#include <future>
#include <memory>
#include <vector>

namespace kcore {

// The file-name filter of the open dialog for vector documents (.ai files that are PDF inside).
extern const char vectorFilter[];

// Whether this build reads vector documents (librsvg and Qt PDF were found).
bool vectorSupport();

// Whether the file is a vector document: by its name (.svg, .svgz, .pdf, .ai), or, for another
// name, by its first bytes (a PDF header, or an SVG root element).
bool isVectorFile(const QString &path);

constexpr QRgb whitePaper = 0xffffffffu;

class VectorDocument
{
public:
    enum Kind { Svg, Pdf };

    virtual ~VectorDocument();

    // Opens page (from 0) of the document at path. Null when the document cannot be read, has
    // no such page or no size; why then says so in a sentence for the user. Never reads from the
    // network; an SVG may use files beside it.
    static std::unique_ptr<VectorDocument> open(const QString &path, int page = 0,
                                                QString *why = nullptr);
    // The same for a document in memory, of a known kind.
    static std::unique_ptr<VectorDocument> fromData(const QByteArray &data, Kind kind, int page = 0,
                                                    QString *why = nullptr);

    Kind kind() const { return m_kind; }
    int pageCount() const { return m_pageCount; }
    int page() const { return m_page; }
    // The page's physical size, in mils.
    QSizeF pageMils() const { return m_pageMils; }

    // Rows top to top + rows - 1 of the page drawn with pixelsPerMil pixels to the mil onto a
    // grid width pixels wide whose top-left corner is the page's: anti-aliased, over paper of an
    // opaque colour (white unless a stack reads the page), as Format_RGB32. Null when memory
    // runs out.
    virtual QImage renderRows(int width, int top, int rows, double pixelsPerMil,
                              QRgb paper = whitePaper) const = 0;
    // How many bands renderRows() draws at the same time, on as many threads.
    virtual int concurrentBands() const { return 1; }

protected:
    VectorDocument(Kind kind, const QSizeF &pageMils, int pageCount, int page);

private:
    Kind m_kind;
    QSizeF m_pageMils;
    int m_pageCount;
    int m_page;
};

// Whether bytes with no name are a vector document, by their start as isVectorFile() tells a file
// whose name says nothing; kind then says which.
bool isVectorData(const QByteArray &data, VectorDocument::Kind *kind);

// Rows are drawn in bands of this many, whether the whole page is wanted or a stream of rows:
// the renderers' anti-aliasing at a band's edge depends on where the band starts, so the window
// and the converter must cut the page at the same rows to get the same bytes.
constexpr int vectorBandRows = 128;

// How many rows and columns PDF's renderer (pdfium) draws for each pixel of the grid, averaged
// into it. It cuts curves into lines up to half a pixel from them, so drawn once a disc's ends
// lie up to 0.28 px off, and along a circle's flat top and bottom a run's end moves many times
// what its rows are off: eight times as tall, it stays within a quarter pixel there. And it
// fills a rectangle parallel to the page's edges without anti-aliasing, grown to whole pixels,
// so that two that touch inside a pixel both cover it: the seam between two semi-transparent
// bars of a histogram came out darker than either, as ink. Drawn twice as wide, that column is
// half covered twice: between bars of opacity 0.7, it is 0.805 opaque instead of 0.91.
constexpr int pdfSubrows = 8;
constexpr int pdfSubcolumns = 2;

// wide's columns (Format_RGB32) averaged k (2 or 4) at a time; null when memory runs out.
QImage averageColumns(const QImage &wide, int k);

// fine's rows (premultiplied ARGB32) laid over paper and averaged k (2, 4 or 8) at a time, as
// Format_RGB32; null when memory runs out.
QImage averageSubrows(const QImage &fine, int k, QRgb paper = whitePaper);
// The same into band's rows from at on, which must be there (Format_RGB32, fine's width).
void averageSubrows(const QImage &fine, int k, QImage &band, int at, QRgb paper = whitePaper);

// Rows of a page drawn transposed (premultiplied ARGB32, a row of the page down each column),
// columns first to first + band's height - 1, laid over paper as band's rows (Format_RGB32,
// as many as the columns are tall). Drawn scale (1, 2 or 4) times as fine both ways, each
// pixel of the band is the average of scale x scale of them.
void transposeOverPaper(const QImage &columns, int first, QImage &band, QRgb paper = whitePaper,
                        int scale = 1);

// The grid a page covers at a scale and pitch (mils): every side rounded up to whole pixels, so
// the page's scale stays exact and the last column and row may reach past the page, as white
// paper. Sides beyond an int are saturated; a side that is not finite or not positive is 0.
QSize vectorGrid(const QSizeF &pageMils, double scalePercent, double pitch);

// The whole grid of vectorGrid(), drawn band by band as a stream of rows draws it. Null when
// memory runs out.
QImage renderVectorPage(const VectorDocument &document, const QSize &grid, double scalePercent,
                        double pitch, QRgb paper = whitePaper);

// The pixels to the mil of a page drawn at a scale and pitch.
inline double vectorPixelsPerMil(double scalePercent, double pitch)
{
    return scalePercent / 100.0 / pitch;
}

// The black-and-white rows of a page drawn onto the grid, band by band as renderVectorPage()
// draws it, equal row for row to clipping makeGrey() of that page at the threshold: the converter
// holds a few bands of the page, never the whole. The next bands are drawn on other threads
// while this one's rows are used. The grey levels are the grey row itself.
class VectorRows : public RowStream
{
public:
    VectorRows(const VectorDocument &document, double scalePercent, double pitch, int threshold,
               bool invert);
    QSize size() const override { return m_size; }
    // Rows come from the top down; a null row means memory ran out for the band.
    const quint32 *row(int y) override;
    GreyLevels edgeLevels(int y) override;
    // The grey row row() clipped.
    const quint32 *greyRow(int y) override;

private:
    QImage bandAt(int top) const;

    const VectorDocument &m_document;
    QSize m_size;
    double m_pixelsPerMil;
    quint32 m_threshold;
    quint32 m_flip;
    QImage m_band;
    int m_bandTop = -1;
    int m_row = -1;
    std::vector<quint32> m_greyRow, m_bwRow;
    // The bands below, drawing, by their top row.
    std::deque<std::pair<int, std::future<QImage>>> m_ahead;
    int m_bandsAhead;
};

} // namespace kcore
