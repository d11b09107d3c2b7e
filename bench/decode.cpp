// kestrel-decode: reads a picture and does nothing else; the floor kestrel-convert is timed
// against in the benchmark.
#include "image/picture.h"

#include <QCoreApplication>

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    kcore::allowLargePictures();
    return argc > 1 && !kcore::loadPicture(QString::fromLocal8Bit(argv[1])).isNull() ? 0 : 1;
}
