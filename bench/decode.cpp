// kestrel-decode: reads a picture and does nothing else; the floor kestrel-convert is timed
// against in the benchmark. With --window it reads the picture as the window opens it.
#include "image/picture.h"
#include "image/picturestream.h"

#include <QCoreApplication>

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    kcore::allowLargePictures();
    const bool window = argc > 2 && qstrcmp(argv[1], "--window") == 0;
    if (argc < 2 + int(window))
        return 1;
    const QString path = QString::fromLocal8Bit(argv[1 + int(window)]);
    const QImage image = window ? kcore::loadBigPicture(path) : kcore::loadPicture(path);
    return image.isNull() ? 1 : 0;
}
