// Quintor, the restart tool: ends the running monitor and starts it again.
#include <QApplication>

#include "common/cmdline.h"
#include "common/globals.h"
#include "common/names.h"
#include "common/platform/locks.h"
#include "common/ui/placement.h"
#include "common/ui/termination.h"
#include "common/utils.h"
#include "quintor/restartcorvexfrm.h"

int main(int argc, char **argv)
{
    AnswerInformationOptions(argc, argv);
    QApplication app(argc, argv);
    // One copy at a time; a second one ends silently.
    std::unique_ptr<platform::TInstanceLock> lock = AcquireProgramLock(names::Quintor);
    if (!lock)
        return 0;
    EndOnTerminationSignals();
    InstallWindowPlacement();

    TRestartCorvexFrm window;
    window.show();
    window.Activate();
    if (TUtils::Terminating())
        return 0;
    return app.exec();
}
