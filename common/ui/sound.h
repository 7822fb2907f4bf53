// Playing a wave file to its end, the way alert sounds are played: synchronously, while the
// caller's event pump keeps running.
#pragma once

#include <string>

#include "common/platform/process.h"

namespace platform {

// Length in milliseconds of the sound in a RIFF/WAVE file, from its header; -1 when the file
// cannot be read or is not a wave file.
int WaveFileLengthMs(const std::string &path);

// Plays the wave file and returns when it has finished. The wait runs a local event loop
// (pump, when given, is called every few milliseconds and ends the wait when it answers false)
// and never lasts longer than the sound's length plus 3 seconds, because without a working
// audio device the player may report "playing" for ever. A missing or unreadable file, a file
// that is not a wave file, or a machine without audio output returns at once with false; true
// when the sound was started.
bool PlayWaveFile(const std::string &path, const TPump &pump = {});

// Whether the sound player can be used. It is a module beside the programs, loaded at the
// first sound (or by this call), so a program that plays none never maps the audio libraries.
bool SoundPlayerAvailable();

} // namespace platform
