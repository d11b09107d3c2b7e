// The writer of each file type, private to export/: made only by ArtworkWriter::create().
#pragma once

#include "artworkwriter.h"

namespace kcore {

std::unique_ptr<ArtworkWriter> makePadsWriter(const ArtworkPlan &plan, const Destination &out);
std::unique_ptr<ArtworkWriter> makeKiCadWriter(const ArtworkPlan &plan, const Destination &out);
std::unique_ptr<ArtworkWriter> makeGerberWriter(const ArtworkPlan &plan, const Destination &out);

} // namespace kcore
