// What every companion program shares at its start: one copy at a time (a named lock), its
// parameter file, and the process-wide objects its main window creates in order.
#pragma once

#include <QWidget>
#include <functional>
#include <memory>

#include "common/stringlist.h"

// The process-wide objects of a companion: TUtils, TGlobals (with its paths computed, the Esc
// watch and the window placement installed) and TPButtons, created in this order and freed in
// reverse. A companion's main window holds one for its lifetime.
class TCompanionObjects
{
public:
    TCompanionObjects();
    ~TCompanionObjects();
    TCompanionObjects(const TCompanionObjects &) = delete;
    TCompanionObjects &operator=(const TCompanionObjects &) = delete;
};

// How a companion starts.
struct TCompanionEntry
{
    const char *LockName;        // its single-instance lock (names::Velmot, …)
    bool FirstParameterRequired; // a missing or empty first line ends it without a window
    // Creates, shows and activates the main window from the parameter file's lines; nullptr
    // ends the program.
    std::function<std::unique_ptr<QWidget>(const TStringList &parameters)> CreateWindow;
};

// The whole entry of a companion: "--help" and "--version", the application, the lock (a second
// copy ends at once with 0), the parameter file, the window and the event loop. Answers the
// program's exit code.
int RunCompanion(int argc, char **argv, const TCompanionEntry &entry);

// The first line of the parameter lines, trimmed ("" when there is none).
std::string FirstParameter(const TStringList &parameters);
