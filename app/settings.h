// Where the window's settings live from one run to the next.
#pragma once

#include "board/stack.h"
#include "stackboard.h"

// Earlier versions named no maker, so Qt kept their settings under "Unknown Organization". With
// no settings yet under the organization name now set, takes those over (once: afterwards
// there are settings). Call after the names are set, before any settings are read.
void adoptUnnamedSettings();

// What the stack of layers keeps from one run to the next. The mode itself starts off every
// time, so the window opens as it always did; which layers the Board view shows starts whole.
struct StackOptions
{
    kcore::Palette palette = kcore::defaultPalette();
    bool bottom = false;
    double maskExpansionMils = 2; // not kept when it is no number
    StackLook look;
    kcore::StackLimits limits;
};
StackOptions loadStackOptions();
void saveStackOptions(const StackOptions &options);

// The tones, remembered with the board options: a halftone or the threshold, the halftone's cell
// (0: the smallest that draws 16 tones) and, in a stack, the finish its dots are.
struct ToneOptions
{
    bool halftone = false;
    double cellMils = 0;
    kcore::Finish finish = kcore::Finish::Silk;
};
ToneOptions loadToneOptions();
void saveToneOptions(const ToneOptions &options);
