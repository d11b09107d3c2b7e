// The settings of a file: its type and layout, the layer and its kind, the pitch and the run ends.
#pragma once

namespace kcore {

// The file layouts kestrel writes. V20 is the classic whole-mil layout PADS Layout reads; V94
// adds a layer table and exact decimal geometry, which newer readers (KiCad, pcb-rnd) need to put
// the artwork on the right layer.
enum class PadsFormat { V20, V94 };

// What is written: PADS lines in the layout above, or the copper's outlines as polygons, in a
// KiCad footprint or in Gerber files.
enum class FileType { Pads, KiCad, Gerber };

// What kind of board layer the artwork is meant for; Auto follows PADS's usual numbering.
enum class LayerKind {
    Auto,
    TopCopper,
    BottomCopper,
    TopSilk,
    BottomSilk,
    TopMask,
    BottomMask,
    Documentation,
};

struct PadsSettings
{
    double pitch = 2; // mils; also the line width before rounding
    int layer = 19;
    bool exactEnds = false;
    PadsFormat format = PadsFormat::V20;
    bool metric = false; // V94: millimetres (the width was given in mm), otherwise mils
    LayerKind kind = LayerKind::Auto;
    bool smoothEdges = false; // run ends follow the grey picture's edges
    int threshold = 128; // the black-and-white threshold, for smooth edges
    FileType type = FileType::Pads;
    // Polygons: the picture's lower-left corner on the origin, instead of its centre.
    bool originCorner = false;
};

} // namespace kcore
