// The entry point of the module of vector readers, which the core loads when it first opens a
// document (see VectorDocument::open()).
#include "vectordocument.h"

#include <QtGlobal>

namespace kcore {

std::unique_ptr<VectorDocument> openSvg(const QString &path, const QByteArray *data, int page,
                                        QString *why);
std::unique_ptr<VectorDocument> openPdf(const QString &path, const QByteArray *data, int page,
                                        QString *why);

} // namespace kcore

extern "C" Q_DECL_EXPORT kcore::VectorDocument *
kestrel_open_vector(const QString *path, const QByteArray *data, int kind, int page, QString *why)
{
    const QString name = path ? *path : QString();
    std::unique_ptr<kcore::VectorDocument> document = kind == kcore::VectorDocument::Svg
            ? kcore::openSvg(name, data, page, why)
            : kcore::openPdf(name, data, page, why);
    return document.release();
}
