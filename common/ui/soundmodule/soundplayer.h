// The entry point of the sound player module, looked up by this name when the module loads.
#pragma once

#include "common/platform/process.h"

#define CORVEX_PLAY_WAVE_SYMBOL "CorvexPlayWave"

// Plays the wave file at path (UTF-8) to its end, waiting at most limitMs while pump (may be
// null or empty) runs every few milliseconds; false without audio output or when the file
// cannot be played.
extern "C" bool CorvexPlayWave(const char *path, int limitMs, const platform::TPump *pump);
using TCorvexPlayWave = decltype(&CorvexPlayWave);
