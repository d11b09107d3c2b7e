// One input converted into one output, and what kestrel-convert says of it.
#pragma once

#include "options.h"

namespace kcli {

// Reads s.input, writes s.output and reports; returns the exit code.
int convert(Settings s);

} // namespace kcli
