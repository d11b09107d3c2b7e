// Every input of a batch converted into a folder, each on its own.
#pragma once

#include "options.h"

namespace kcli {

// Each of s.inputs into s.outputDir under its own name; returns the worst exit code.
int convertAll(Settings s);

} // namespace kcli
