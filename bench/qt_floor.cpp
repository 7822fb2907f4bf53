// The smallest program of the monitor's kind, for the memory benchmark's floor: a Qt Widgets
// window with a list and a status bar, shown on the current platform, and a TLS connection
// attempt (which loads OpenSSL, as a POP3 session over TLS does). Prints its resident memory
// in kB after three seconds of idling, then ends. With --no-tls the connection attempt is left
// out, which shows what loading TLS alone costs.
#include <QApplication>
#include <QMainWindow>
#include <QSslSocket>
#include <QStatusBar>
#include <QTimer>
#include <QTreeView>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    QMainWindow window;
    window.setCentralWidget(new QTreeView);
    window.statusBar()->showMessage("idle");
    window.show();
    if (argc < 2 || std::strcmp(argv[1], "--no-tls") != 0) {
        QSslSocket socket;
        socket.connectToHostEncrypted("127.0.0.1", 1);
        socket.waitForDisconnected(1000);
    }
    QTimer::singleShot(3000, [] {
        std::ifstream status("/proc/self/status");
        std::string line;
        while (std::getline(status, line))
            if (line.rfind("VmRSS:", 0) == 0)
                std::printf("%ld\n", std::atol(line.c_str() + 6));
        QApplication::quit();
    });
    return app.exec();
}
