// Desktop notifications of new mail through the desktop's notification service (the
// freedesktop Notifications interface on the session bus). One notification per check pass that
// found new mail names the mailbox, sender and subject of the newest messages, priority mail
// first and marked; it replaces the previous one. Where the service offers actions, the
// notification acts on its lead message (the first one shown): "Show" (also a click on its body)
// and, unless that message is priority mail, "Reject Sender"; a mailbox with its own password
// offers none, and its default action shows the monitor. Without a notification service (or a
// session bus) nothing is shown and nothing else changes.
#pragma once

#include <QObject>
#include <QStringList>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

class TEMailTest;

struct TNewMailNote
{
    std::string Mailbox; // the mailbox's user ID: its Mailboxes row caption
    std::string From;    // sender and subject as the Summary list may show them
    std::string Subject;
    bool Priority = false;
    bool Protected = false; // the mailbox has a password of its own
    // The message told by content: its header's sender and subject, the server's unique id,
    // its Message-ID and size.
    std::string HeaderFrom, HeaderSubject;
    std::string UniqueId, MessageId;
    int32_t Size = 0;
};

namespace notifytext {
inline constexpr char ShowKey[] = "show";
inline constexpr char RejectKey[] = "reject";
inline constexpr char DefaultKey[] = "default";
inline constexpr char ShowLabel[] = "Show";
inline constexpr char RejectLabel[] = "Reject Sender";
inline constexpr char ShowMonitorLabel[] = "Show Corvex";
inline constexpr char ActionsCapability[] = "actions";
} // namespace notifytext

class TDesktopNotifier : public QObject
{
    Q_OBJECT
public:
    explicit TDesktopNotifier(QObject *parent = nullptr);

    // Whether "New Mail Notification" is on; asked when a pass ends.
    std::function<bool()> Enabled;
    // The notification's default action when it offers no action on its lead message.
    std::function<void()> ShowMonitor;
    // The actions on the lead message: shown in the server mail list, its sender rejected.
    std::function<void(const TNewMailNote &note)> ShowMessage;
    std::function<void(const TNewMailNote &note)> RejectSender;

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

    // The id of the new-mail notification on show, 0 before the service answered.
    uint LastNotificationId() const { return LastId; }

    // Texts of the notification for notes (exposed for the window-free test).
    static std::string SummaryText(const std::vector<TNewMailNote> &notes);
    static std::string BodyText(const std::vector<TNewMailNote> &notes);
    // The message the notification's actions act on: the first the body shows.
    static const TNewMailNote &LeadNote(const std::vector<TNewMailNote> &notes);
    // The key and label pairs the notification carries, the default action first; serverActions:
    // the service lists "actions" among its capabilities.
    static QStringList Actions(const TNewMailNote &lead, bool serverActions);

private slots:
    void ActionInvoked(uint id, const QString &key);
    void Closed(uint id, uint reason);

private:
    // One notification; replaces (when given) names the one it replaces and gets its id.
    bool Send(const std::string &summary, const std::string &body, uchar urgency,
              const char *category, uint *replaces, const QStringList &actions);
    // The new-mail notification, sent once the service said whether it shows actions.
    bool SendNewMail(const std::vector<TNewMailNote> &notes);
    void ListenToService();

    std::vector<TNewMailNote> Notes;
    uint LastId = 0;
    TNewMailNote Lead;       // of the last new-mail notification
    QStringList LeadActions; // what it offered
    bool Connected = false;
};
