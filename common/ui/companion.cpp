#include "common/ui/companion.h"

#include <QApplication>

#include "common/cmdline.h"
#include "common/globals.h"
#include "common/platform/locks.h"
#include "common/plugins.h"
#include "common/text.h"
#include "common/ui/escapehook.h"
#include "common/ui/panelbuttons.h"
#include "common/ui/placement.h"
#include "common/ui/termination.h"
#include "common/utils.h"

TCompanionObjects::TCompanionObjects()
{
    Utils = new TUtils;
    Globals = new TGlobals;
    Globals->InitPaths();
    InstallEscapeHook(*Globals);
    InstallWindowPlacement();
    PButtons = new TPButtons;
}

TCompanionObjects::~TCompanionObjects()
{
    delete PButtons;
    PButtons = nullptr;
    delete Globals;
    Globals = nullptr;
    delete Utils;
    Utils = nullptr;
}

std::string FirstParameter(const TStringList &parameters)
{
    return parameters.Empty() ? std::string() : Trim(parameters[0]);
}

int RunCompanion(int argc, char **argv, const TCompanionEntry &entry)
{
    AnswerInformationOptions(argc, argv);
    QApplication app(argc, argv);
    // Before the lock shows the program as running: a stop asked for from then on is an
    // orderly end.
    EndOnTerminationSignals();
    std::unique_ptr<platform::TInstanceLock> lock = AcquireProgramLock(entry.LockName);
    if (!lock)
        return 0;

    TStringList parameters = ReadOwnParameters();
    if (entry.FirstParameterRequired && FirstParameter(parameters).empty())
        return 0;
    std::unique_ptr<QWidget> window = entry.CreateWindow(parameters);
    if (!window || TUtils::Terminating())
        return 0;
    return app.exec();
}
