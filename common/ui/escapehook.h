// Watching the Esc key for the waits of a program with windows: a released Esc anywhere in the
// program sets TGlobals::LastKey, which the waits test to end early.
#pragma once

class TGlobals;

// Installs the application-wide key watch for globals (once; removed when globals is destroyed).
void InstallEscapeHook(TGlobals &globals);
