// The connect dialog, where the user picks the destination.
#pragma once

#include <windows.h>

constexpr int kDestinationUnits = 128;

// The destination read in the dialog; every connect reads it.
extern wchar_t destinationText[kDestinationUnits];
