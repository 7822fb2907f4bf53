// A private D-Bus session bus for the tests of one test program, with a stand-in desktop
// notification server on it. The bus is started once per process (the session bus connection
// of Qt is made once and kept) and its address put into DBUS_SESSION_BUS_ADDRESS before the
// code under test first connects. The server answers GetCapabilities with Capabilities,
// records every Notify call, and emits ActionInvoked or NotificationClosed when a test asks,
// as a notification server does when the user clicks.
#pragma once

#include <QObject>
#include <QString>
#include <QStringList>
#include <QVariantMap>
#include <functional>
#include <vector>

struct TNotifyCall
{
    uint Id = 0; // the id the server answered
    uint ReplacesId = 0;
    QString Summary, Body;
    QStringList Actions; // key, label, key, label …
    QVariantMap Hints;

    // The action keys, without their labels.
    QStringList ActionKeys() const;
    // The label offered for key, "" when the key is not offered.
    QString ActionLabel(const QString &key) const;
};

class TNotificationServer : public QObject
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Notifications")
public:
    QStringList Capabilities{"actions", "body"};
    std::vector<TNotifyCall> Calls;
    uint NextId = 7;

public slots:
    QStringList GetCapabilities();
    uint Notify(const QString &appName, uint replacesId, const QString &icon,
                const QString &summary, const QString &body, const QStringList &actions,
                const QVariantMap &hints, int timeout);
    void CloseNotification(uint id);
};

class TPrivateSessionBus
{
public:
    // The process's bus, started at the first call; Ready() is false without dbus-daemon.
    static TPrivateSessionBus &Instance();
    ~TPrivateSessionBus();

    bool Ready() const { return Registered; }
    TNotificationServer Server;

    // The notification service leaves the bus, or comes back to it.
    void Unregister();
    bool Register();
    // The server's signals, as a click on a notification's action or its closing sends them.
    void InvokeAction(uint id, const QString &key);
    void Closed(uint id, uint reason);
    // Forgets the calls recorded, capabilities back to "actions" and "body".
    void Reset();

private:
    TPrivateSessionBus();
    QString Address;
    bool Registered = false;
    struct TDaemon;
    TDaemon *Daemon;
};

// Runs events until done answers true or limitMs passed; answers done().
bool PumpEventsUntil(const std::function<bool()> &done, int limitMs = 10000);
