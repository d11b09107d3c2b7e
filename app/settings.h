// Where the window's settings live from one run to the next.
#pragma once

// Earlier versions named no maker, so Qt kept their settings under "Unknown Organization". With
// no settings yet under the organization name now set, takes those over (once: afterwards
// there are settings). Call after the names are set, before any settings are read.
void adoptUnnamedSettings();
