#include "support/notificationbus.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QElapsedTimer>
#include <QProcess>

namespace {

constexpr char Service[] = "org.freedesktop.Notifications";
constexpr char Path[] = "/org/freedesktop/Notifications";
constexpr char ServerConnection[] = "test-notification-server";
constexpr int DaemonStartMs = 5000;

QDBusConnection ServerBus()
{
    return QDBusConnection(ServerConnection);
}

} // namespace

QStringList TNotifyCall::ActionKeys() const
{
    QStringList keys;
    for (int i = 0; i + 1 < Actions.size(); i += 2)
        keys << Actions[i];
    return keys;
}

QString TNotifyCall::ActionLabel(const QString &key) const
{
    for (int i = 0; i + 1 < Actions.size(); i += 2)
        if (Actions[i] == key)
            return Actions[i + 1];
    return QString();
}

QStringList TNotificationServer::GetCapabilities()
{
    return Capabilities;
}

uint TNotificationServer::Notify(const QString &, uint replacesId, const QString &,
                                 const QString &summary, const QString &body,
                                 const QStringList &actions, const QVariantMap &hints, int)
{
    const uint id = replacesId != 0 ? replacesId : NextId++;
    Calls.push_back({id, replacesId, summary, body, actions, hints});
    return id;
}

void TNotificationServer::CloseNotification(uint) {}

struct TPrivateSessionBus::TDaemon
{
    QProcess Process;
};

TPrivateSessionBus &TPrivateSessionBus::Instance()
{
    static TPrivateSessionBus bus;
    return bus;
}

TPrivateSessionBus::TPrivateSessionBus() : Daemon(new TDaemon)
{
    QProcess &daemon = Daemon->Process;
    daemon.start("dbus-daemon", {"--session", "--nofork", "--print-address=1"});
    if (!daemon.waitForStarted(DaemonStartMs) || !daemon.waitForReadyRead(DaemonStartMs))
        return;
    Address = QString::fromUtf8(daemon.readLine()).trimmed();
    qputenv("DBUS_SESSION_BUS_ADDRESS", Address.toUtf8());
    QDBusConnection bus = QDBusConnection::connectToBus(Address, ServerConnection);
    bus.registerObject(Path, &Server, QDBusConnection::ExportAllSlots);
    Registered = bus.registerService(Service);
}

TPrivateSessionBus::~TPrivateSessionBus()
{
    QDBusConnection::disconnectFromBus(ServerConnection);
    Daemon->Process.kill();
    Daemon->Process.waitForFinished();
    delete Daemon;
}

void TPrivateSessionBus::Unregister()
{
    ServerBus().unregisterService(Service);
}

bool TPrivateSessionBus::Register()
{
    return ServerBus().registerService(Service);
}

void TPrivateSessionBus::InvokeAction(uint id, const QString &key)
{
    QDBusMessage signal = QDBusMessage::createSignal(Path, Service, "ActionInvoked");
    signal << id << key;
    ServerBus().send(signal);
}

void TPrivateSessionBus::Closed(uint id, uint reason)
{
    QDBusMessage signal = QDBusMessage::createSignal(Path, Service, "NotificationClosed");
    signal << id << reason;
    ServerBus().send(signal);
}

void TPrivateSessionBus::Reset()
{
    Server.Calls.clear();
    Server.Capabilities = QStringList{"actions", "body"};
}

bool PumpEventsUntil(const std::function<bool()> &done, int limitMs)
{
    QElapsedTimer clock;
    clock.start();
    while (!done() && clock.elapsed() < limitMs)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    return done();
}
