// Board layer kinds: which kind a PADS layer number stands for, and their names for the user and
// the command line.
#pragma once

#include "geometry/padssettings.h"

#include <QString>
#include <QStringList>

namespace kcore {

// The kind a layer number has in PADS's usual numbering when the user does not say: 1 top copper,
// 2 bottom copper, 21 top solder mask, 28 bottom solder mask, 26 top silkscreen, 29 bottom
// silkscreen; any other number is documentation.
LayerKind kindOfLayer(int layer);
// The layer kestrel writes to when the user does not choose one.
constexpr int defaultLayer = 19;
// The layer that choosing kind sets, from layer: the kind's number in PADS's usual numbering,
// which both layouts share (documentation keeps any number no other kind has, else takes
// defaultLayer). Auto keeps layer.
int layerForKind(LayerKind kind, int layer);
// The kind that typing layer sets, with chosen the kind chosen so far: Auto stays Auto, which
// follows the number anyway; a number of the usual numbering sets its kind; any other number is
// documentation, or the bottom copper of a board of that many layers when bottom copper is
// chosen. So the kind and the number never contradict each other.
LayerKind kindForLayer(int layer, LayerKind chosen);
// The lowest layer number a file of format can carry.
int lowestLayer(PadsFormat format);
// The kind the settings put the artwork on: the chosen one, or the one the number implies.
LayerKind effectiveKind(const PadsSettings &settings);
// That numbering for the user: "1 top copper, 2 bottom copper, …, any other number documentation".
QString layerNumbering();

// "top silkscreen"; for Auto, "by layer number".
QString kindName(LayerKind kind);
// "top-silk", as --layer-kind takes it; for Auto, "auto".
QString kindKey(LayerKind kind);
// The kind named by key, or false.
bool kindFromKey(const QString &key, LayerKind *kind);
// Every kind but Auto, in menu order.
QList<LayerKind> layerKinds();

// Why a V94 file cannot put the artwork on its layer as the kind it has, or empty. Readers take
// layer 1 as top copper and the highest routing layer as bottom copper, and the table needs
// both sides' copper besides the artwork's own layer.
QString layerProblem(const PadsSettings &settings);

bool isCopper(LayerKind kind);
bool isTop(LayerKind kind);

} // namespace kcore
