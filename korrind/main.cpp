// The monitor's entry: one instance per user, the shared objects, the data folders and the
// event loop.
#include <QApplication>
#include <memory>

#include "common/globals.h"
#include "common/names.h"
#include "common/platform/locks.h"
#include "common/platform/process.h"
#include "common/utils.h"

int main(int argc, char **argv)
{
    // A second start ends at once and silently; the running instance is left alone.
    std::unique_ptr<platform::TNamedLock> instanceLock =
        platform::AcquireNamedLock(names::MonitorLock);
    if (!instanceLock)
        return 0;

    QApplication app(argc, argv);
    QApplication::setApplicationName(names::AppTitle);
    QApplication::setApplicationDisplayName(names::AppTitle);
    QApplication::setQuitOnLastWindowClosed(false);
    platform::QuitOnTerminationSignals(&TUtils::Terminate);

    Globals = new TGlobals;
    Utils = new TUtils;
    Globals->InitPaths();
    Globals->CreateDataFolders();
    Utils->DebugLog("%s started", names::AppTitle);

    int result = app.exec();

    Utils->DebugLog("%s stopped", names::AppTitle);
    delete Utils;
    Utils = nullptr;
    delete Globals;
    Globals = nullptr;
    instanceLock.reset(); // released last
    return result;
}
