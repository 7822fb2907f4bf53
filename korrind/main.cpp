// The monitor's entry: one instance per user (the lock "CORVEX"), the main window with the
// monitor's logic, the event loop, and the lock released last.
#include <QApplication>
#include <QMessageBox>
#include <QTimer>
#include <cstdio>
#include <exception>
#include <memory>
#include <string>
#include <vector>

#include "common/cmdline.h"
#include "common/globals.h"
#include "common/names.h"
#include "common/platform/locks.h"
#include "common/ui/filtercriteriafrm.h"
#include "common/ui/termination.h"
#include "common/utils.h"
#include "korrind/engine/checkmail.h"
#include "korrind/notifier.h"
#include "korrind/popviewfrm.h"

namespace {

std::vector<std::string> Arguments(int argc, char **argv)
{
    std::vector<std::string> arguments;
    for (int i = 1; i < argc; ++i)
        arguments.emplace_back(argv[i]);
    return arguments;
}

// The standard exception message; without a display nobody could close a message box, so the
// text then goes to the error output only.
void ShowStartupException(const char *what)
{
    std::fprintf(stderr, "%s: %s\n", names::AppTitle, what);
    if (QGuiApplication::platformName() != QLatin1String("offscreen"))
        QMessageBox::critical(nullptr, names::AppTitle, QString::fromLocal8Bit(what));
}

// The filter criteria editor becomes the program's rule editor, on the monitor's rules folder.
void InstallRuleEditor(const TCorvexMonitor &monitor)
{
    TfrmFilterCriteria::Install([&monitor] { return monitor.RulesFolder(); });
}

} // namespace

int main(int argc, char **argv)
{
    AnswerInformationOptions(argc, argv);
    // A second start ends at once and silently; the running instance is left alone.
    std::unique_ptr<platform::TInstanceLock> instanceLock = AcquireProgramLock(names::MonitorLock);
    if (!instanceLock)
        return 0;

    int result = 0;
    {
        QApplication app(argc, argv);
        QApplication::setApplicationName(names::AppTitle);
        // No display name: the desktop would append it to every window title, and dialog
        // titles are fixed texts.
        QGuiApplication::setDesktopFileName("org.corvex.Korrind");
        QApplication::setQuitOnLastWindowClosed(false);
        EndOnTerminationSignals();

        try {
            TCorvexFrm mainWindow;
            InstallRuleEditor(*mainWindow.Monitor);
            TDesktopNotifier notifier;
            mainWindow.AttachNotifier(notifier);
            const std::vector<std::string> arguments = Arguments(argc, argv);
            mainWindow.show();
            // The first activation; the window may have run it already when it was activated.
            QTimer::singleShot(0, &mainWindow, [&mainWindow, &arguments] {
                mainWindow.Monitor->Activate(arguments);
            });
            if (!TUtils::Terminating())
                result = app.exec();
        } catch (const std::exception &error) {
            ShowStartupException(error.what());
            result = 1;
        }
    }
    instanceLock.reset(); // released last
    return result;
}
