// The conversion both front ends drive: a source (a picture, or a page of a vector document),
// the settings, the one check of whether a file can be written, and the black-and-white rows.
// The window keeps the images it shows; kestrel-convert streams the rows into the writer.
#pragma once

#include "geometry/padssettings.h"
#include "image/bwimage.h"
#include "image/vectordocument.h"

#include <QImage>
#include <QSize>
#include <QString>

#include <memory>

namespace kcore {

struct ConversionSettings
{
    int threshold = 128;
    bool invert = false;
    // Pictures scale by whole percent; a vector page by any amount, exactly.
    double scalePercent = 100;
    PadsSettings pads;
};

// Where the artwork comes from. Copies share the picture or the document.
class Source
{
public:
    Source() = default;
    // A picture, or page (from 0) of a vector document, whichever the file is. Null when it
    // cannot be read; why then says so in a sentence for the user.
    static Source open(const QString &path, int page = 0, QString *why = nullptr);
    static Source fromPicture(const QImage &picture, const QString &path = QString());

    bool isNull() const { return m_picture.isNull() && !m_vector; }
    bool isVector() const { return bool(m_vector); }
    QString path() const { return m_path; }
    // The picture; null for a vector document.
    const QImage &picture() const { return m_picture; }
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
    // The black-and-white rows at the settings, one at a time.
    std::unique_ptr<RowStream> rows(const ConversionSettings &settings) const;

private:
    QString m_path;
    QImage m_picture;
    std::shared_ptr<const VectorDocument> m_vector;
};

// Why no file can be written, the first reason that holds, in the order a user meets them.
enum class Refusal {
    None,
    LineWidth, // the width text is not a width a file can carry
    Layer, // the layer and its kind cannot be written in this format
    NoSource, // nothing is open
    TooManyPixels, // the scale would build more than maxImagePixels
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
// settings allow one.
WriteCheck checkWrite(const QString &widthText, int unit, const ConversionSettings &settings,
                      const Source &source, const QString &notBuilt = QString());

} // namespace kcore
