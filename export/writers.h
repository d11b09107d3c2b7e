// The writer of each file type, private to export/: made only by ArtworkWriter::create().
#pragma once

#include "artworkwriter.h"

namespace kcore {

std::unique_ptr<ArtworkWriter> makePadsWriter(const ArtworkSpec &spec, const Destination &out);
std::unique_ptr<ArtworkWriter> makeKiCadWriter(const ArtworkSpec &spec, const Destination &out);
std::unique_ptr<ArtworkWriter> makeGerberWriter(const ArtworkSpec &spec, const Destination &out);

} // namespace kcore
