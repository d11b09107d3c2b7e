// How wide ink is on the board: where a line a pitch wide is finer than the board maker's finest
// line, ink is wide enough only where it is a block of pixels whose written lines hold a disc
// of that line's width. The blocks are found from the lines as the file draws them.
#pragma once

#include "geometry/padssettings.h"
#include "image/bitimage.h"

#include <vector>

namespace kcore {

// Pixels around an anchor, a run of columns [from, to] in each row dy below it (dy from 0).
struct InkBlock
{
    struct Row
    {
        int dy, from, to;
    };
    std::vector<Row> rows;
    int height() const { return rows.empty() ? 0 : rows.back().dy + 1; }
    int pixels() const;
    bool operator==(const InkBlock &o) const;
};

class InkWidth
{
public:
    // The smallest blocks whose lines hold a disc of minLineMils at the settings' pitch, width
    // and ends, wherever the file's rounding puts them. With smooth edges every end is taken
    // where it lies furthest in, half a pixel inside the run.
    InkWidth(const PadsSettings &settings, double minLineMils);
    // False when a single pixel's line is already wide enough: then no ink is too thin.
    bool active() const { return !m_blocks.empty(); }
    const std::vector<InkBlock> &blocks() const { return m_blocks; }
    // Rows and columns a block spans at most.
    int span() const { return m_span; }

private:
    std::vector<InkBlock> m_blocks;
    int m_span = 1;
};

// Into thin (a bit image of rows y1 - y0, the image's width), the white pixels of rows [y0, y1)
// of image that lie in no block of white pixels: ink narrower than the finest line.
void findThinInk(const BitImage &image, const InkWidth &width, int y0, int y1, BitImage *thin);
// The number of such pixels in the whole image.
qint64 countThinInk(const BitImage &image, const InkWidth &width);

} // namespace kcore
