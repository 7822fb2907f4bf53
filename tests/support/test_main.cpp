// Entry point of every test executable: a headless QApplication and a private home.
#include <QApplication>
#include <QDir>
#include <QTemporaryDir>
#include <cstdlib>
#include <gtest/gtest.h>

#include "support/modalsteps.h"
#include "support/testenv.h"

int main(int argc, char **argv)
{
    // Without a display the default platform aborts; tests always run offscreen.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");

    // Each test process gets its own XDG folders so no test touches the user's data.
    QTemporaryDir home(QDir::tempPath() + "/corvex-test-XXXXXX");
    testenv::UsePrivateHome(home.path());

    QApplication app(argc, argv);
    modalsteps::StartWatchdog();
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
