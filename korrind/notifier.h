// Desktop notifications of new mail through the desktop's notification service (the
// freedesktop Notifications interface on the session bus). One notification per check pass that
// found new mail names the mailbox, sender and subject of the newest messages, priority mail
// first and marked; it replaces the previous one. Its default action shows the monitor. Without
// a notification service (or a session bus) nothing is shown and nothing else changes.
#pragma once

#include <QObject>
#include <functional>
#include <string>
#include <vector>

class TEMailTest;

struct TNewMailNote
{
    std::string Mailbox;
    std::string From;
    std::string Subject;
    bool Priority = false;
};

class TDesktopNotifier : public QObject
{
    Q_OBJECT
public:
    explicit TDesktopNotifier(QObject *parent = nullptr);

    // Whether "New Mail Notification" is on; asked when a pass ends.
    std::function<bool()> Enabled;
    // The notification's default action.
    std::function<void()> ShowMonitor;

    // Hooks the mail test: its new messages are collected during a pass, sent when it ends.
    void Attach(TEMailTest &test);

    // The new messages of the mailbox just tested (those not seen at its last test).
    void CollectNewMail(TEMailTest &test);
    void Add(const TNewMailNote &note);
    // Sends what the pass collected (when anything and when enabled) and starts afresh.
    // False when nothing was sent.
    bool PassEnded();
    // Something only the user can mend: a notification of its own (summary, then why).
    bool Problem(const std::string &summary, const std::string &why);
    // A mailbox's sign-in must be renewed; its server refused the login.
    bool SignInNeeded(const std::string &mailbox, const std::string &why);
    bool LoginRefused(const std::string &mailbox, const std::string &why);

    // Texts of the notification for notes (exposed for the window-free test).
    static std::string SummaryText(const std::vector<TNewMailNote> &notes);
    static std::string BodyText(const std::vector<TNewMailNote> &notes);

private slots:
    void ActionInvoked(uint id, const QString &key);
    void Closed(uint id, uint reason);

private:
    // One notification; replaces (when given) names the one it replaces and gets its id.
    bool Send(const std::string &summary, const std::string &body, uchar urgency,
              const char *category, uint *replaces);

    std::vector<TNewMailNote> Notes;
    uint LastId = 0;
    bool Connected = false;
};
