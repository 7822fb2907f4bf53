// Where the windows of a program open. A window the program does not place itself opens
// centred over the window that opened it: its parent, else the window of this program active
// last, else (for the program's first window) the window of the program that started it, else
// the screen. Every window opens at least wide enough to show its whole title in a caption bar.
// In a dialog, and in a main window that asks for it, Esc presses its "Close" or "Cancel" panel
// as a click would.
//
// Window managers place a window whose position the program never set wherever they like
// (often the top-left corner), so the position is always set explicitly.
#pragma once

class QWidget;

// The environment variable through which a program tells the programs it starts where their
// opener's frame is ("left,top,width,height").
inline constexpr char OpenerVariable[] = "CORVEX_OPENER";

// Installs the placement for the whole program (once; later calls do nothing).
void InstallWindowPlacement();

// The window a new window is opened from: the active modal window, else the active window,
// else the visible window of this program that was active last; nullptr when there is none.
QWidget *OpenerWindow();

// Tells the programs started from now on where they were opened from: OpenerWindow(), else
// fallback, when it is visible; otherwise they open centred on the screen.
void AnnounceOpener(QWidget *fallback);

// The width a window needs to show its whole title in a caption bar (with the application's
// name the window system adds to it). A message box, which sizes itself, is widened after.
int TitleWidth(const QWidget *window);

// Esc in window presses its "Close" (or "Cancel") panel, as in a dialog.
void CloseOnEscape(QWidget *window);
