// How a program with windows ends on SIGTERM, SIGINT or SIGHUP (a logout, a service manager,
// the restart tool): at once, also while a message box, a dialog or a menu waits for the user.
#pragma once

// Makes the termination signals run EndProgramNow inside the event loop. Call once, after the
// application object exists.
void EndOnTerminationSignals();

// Ends the program: every wait ends (TUtils::Terminating), the windows are asked to close, the
// modal windows and menus open now or opened from now on are dismissed as if cancelled, and
// every event loop ends, the main one too. Before the main loop runs, the code that opened the
// window it was waiting in goes on and finds the program terminating.
void EndProgramNow();
