#include "korrind/notifier.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QVariantMap>

#include "common/filterparam.h"
#include "common/names.h"
#include "common/password.h"
#include "common/text.h"
#include "common/utils.h"
#include "korrind/engine/checkmail.h"

namespace {

constexpr char Service[] = "org.freedesktop.Notifications";
constexpr char ObjectPath[] = "/org/freedesktop/Notifications";
constexpr char Interface[] = "org.freedesktop.Notifications";
constexpr char DesktopId[] = "org.corvex.Korrind";
constexpr int ShownMessages = 5;
constexpr uchar NormalUrgency = 1;
constexpr uchar CriticalUrgency = 2;

// The body may be shown as simple markup: a sender's "<address>" must stay text.
std::string EscapeMarkup(const std::string &text)
{
    return QString::fromStdString(text).toHtmlEscaped().toStdString();
}

bool AnyPriority(const std::vector<TNewMailNote> &notes)
{
    for (const TNewMailNote &note : notes)
        if (note.Priority)
            return true;
    return false;
}

// "mailbox: sender — subject", leaving out what is hidden.
std::string NoteText(const TNewMailNote &note)
{
    std::string text = note.Mailbox;
    if (!note.From.empty() || !note.Subject.empty())
        text += ": " + note.From;
    if (!note.Subject.empty())
        text += (note.From.empty() ? "" : " — ") + note.Subject;
    return text;
}

} // namespace

TDesktopNotifier::TDesktopNotifier(QObject *parent) : QObject(parent) {}

void TDesktopNotifier::Attach(TEMailTest &test)
{
    test.OnNewMailTested = [this](TEMailTest &tested) { CollectNewMail(tested); };
    test.OnPassEnded = [this] { PassEnded(); };
}

void TDesktopNotifier::CollectNewMail(TEMailTest &test)
{
    if (test.Mailbox == nullptr)
        return;
    const int count = test.CurrentLines.Count();
    for (int k = count - 1; k >= test.FirstNew && k >= 0; --k) {
        if (!test.Announces(k))
            continue;
        std::vector<std::string> fields = SplitText(test.CurrentLines[k], '|');
        const std::string from = fields.empty() ? std::string() : fields[0];
        const std::string subject = fields.size() > 1 ? fields[1] : std::string();
        TRuleActions actions;
        TNewMailNote note;
        note.Mailbox = test.Mailbox->Caption;
        note.Protected = FlagCellSet(test.Mailbox->Cell(mcBoxProtected));
        note.HeaderFrom = from;
        note.HeaderSubject = subject;
        note.MessageId = fields.size() > 2 ? fields[2] : std::string();
        note.Size = fields.size() > 5 ? int32_t(StrToIntDef(fields[5], 0)) : 0;
        note.UniqueId = test.UniqueIdOf(k);
        note.Priority = !test.PriorityRules.Empty() &&
                        MatchRules(from, subject, actions, test.PriorityRules) >= 0;
        // A notification shows no more than the Summary list does.
        const TShownMail shown = MaskedMail({from, subject, {}, {}, {}}, *test.Mailbox);
        note.From = shown.From;
        note.Subject = shown.Subject;
        Add(note);
    }
}

void TDesktopNotifier::Add(const TNewMailNote &note)
{
    Notes.push_back(note);
}

std::string TDesktopNotifier::SummaryText(const std::vector<TNewMailNote> &notes)
{
    const std::string count = notes.size() == 1 ? std::string("1 new message")
                                                : Format("%d new messages", int(notes.size()));
    return AnyPriority(notes) ? "Priority mail: " + count : "New mail: " + count;
}

// Priority mail first, then the rest, each group newest first as collected.
std::string TDesktopNotifier::BodyText(const std::vector<TNewMailNote> &notes)
{
    std::vector<const TNewMailNote *> ordered;
    for (bool priority : {true, false})
        for (const TNewMailNote &note : notes)
            if (note.Priority == priority)
                ordered.push_back(&note);
    std::string body;
    int shown = 0;
    for (const TNewMailNote *note : ordered) {
        if (shown++ == ShownMessages) {
            body += Format("… and %d more", int(ordered.size()) - ShownMessages);
            break;
        }
        if (!body.empty())
            body += "\n";
        body += EscapeMarkup((note->Priority ? "[Priority] " : "") + NoteText(*note));
    }
    return body;
}

const TNewMailNote &TDesktopNotifier::LeadNote(const std::vector<TNewMailNote> &notes)
{
    for (const TNewMailNote &note : notes)
        if (note.Priority)
            return note;
    return notes.front();
}

QStringList TDesktopNotifier::Actions(const TNewMailNote &lead, bool serverActions)
{
    using namespace notifytext;
    if (!serverActions || lead.Protected)
        return {DefaultKey, ShowMonitorLabel};
    QStringList actions{DefaultKey, ShowLabel, ShowKey, ShowLabel};
    if (!lead.Priority)
        actions << RejectKey << RejectLabel;
    return actions;
}

bool TDesktopNotifier::PassEnded()
{
    std::vector<TNewMailNote> notes;
    notes.swap(Notes);
    if (notes.empty() || !Enabled || !Enabled())
        return false;
    return SendNewMail(notes);
}

// The capabilities are asked each time: the notification service may have been replaced.
bool TDesktopNotifier::SendNewMail(const std::vector<TNewMailNote> &notes)
{
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected())
        return false;
    QDBusMessage call =
        QDBusMessage::createMethodCall(Service, ObjectPath, Interface, "GetCapabilities");
    auto *watcher = new QDBusPendingCallWatcher(bus.asyncCall(call), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this,
            [this, notes](QDBusPendingCallWatcher *finished) {
                QDBusPendingReply<QStringList> reply = *finished;
                finished->deleteLater();
                const bool actions =
                    reply.isValid() && reply.value().contains(notifytext::ActionsCapability);
                Lead = LeadNote(notes);
                LeadActions = Actions(Lead, actions);
                Send(SummaryText(notes), BodyText(notes),
                     AnyPriority(notes) ? CriticalUrgency : NormalUrgency, "email.arrived", &LastId,
                     LeadActions);
            });
    return true;
}

// Shown whatever the new-mail switch says: only the user can mend it.
bool TDesktopNotifier::Problem(const std::string &summary, const std::string &why)
{
    return Send(summary, EscapeMarkup(why), NormalUrgency, "email", nullptr,
                {notifytext::DefaultKey, notifytext::ShowMonitorLabel});
}

// Without a new sign-in the mailbox is not checked.
bool TDesktopNotifier::SignInNeeded(const std::string &mailbox, const std::string &why)
{
    return Problem(Format("Sign-in needed: %s", mailbox.c_str()), why);
}

// The mailbox is not logged into again until its password changes or the user asks.
bool TDesktopNotifier::LoginRefused(const std::string &mailbox, const std::string &why)
{
    return Problem(Format("Login refused: %s", mailbox.c_str()), why);
}

void TDesktopNotifier::ListenToService()
{
    if (Connected)
        return;
    QDBusConnection bus = QDBusConnection::sessionBus();
    bus.connect(Service, ObjectPath, Interface, "ActionInvoked", this,
                SLOT(ActionInvoked(uint, QString)));
    bus.connect(Service, ObjectPath, Interface, "NotificationClosed", this,
                SLOT(Closed(uint, uint)));
    Connected = true;
}

bool TDesktopNotifier::Send(const std::string &summary, const std::string &body, uchar urgency,
                            const char *category, uint *replaces, const QStringList &actions)
{
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected())
        return false;
    ListenToService();
    QVariantMap hints;
    hints["urgency"] = QVariant::fromValue(urgency);
    hints["desktop-entry"] = QString(DesktopId);
    hints["category"] = QString(category);
    QDBusMessage call = QDBusMessage::createMethodCall(Service, ObjectPath, Interface, "Notify");
    call << QString(names::AppTitle) << (replaces ? *replaces : 0u) << QString(DesktopId)
         << QString::fromStdString(summary) << QString::fromStdString(body) << actions << hints
         << int(-1);
    // Asynchronous: a slow notification service must not hold up the monitor.
    auto *watcher = new QDBusPendingCallWatcher(bus.asyncCall(call), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this,
            [replaces](QDBusPendingCallWatcher *finished) {
                QDBusPendingReply<uint> reply = *finished;
                if (!reply.isValid() && Utils)
                    Utils->DebugLog("No desktop notification: %s",
                                    reply.error().message().toStdString().c_str());
                else if (reply.isValid() && replaces)
                    *replaces = reply.value();
                finished->deleteLater();
            });
    return true;
}

// Only the last new-mail notification acts: it names the message its actions were offered for.
void TDesktopNotifier::ActionInvoked(uint id, const QString &key)
{
    if (id != LastId || id == 0 || !LeadActions.contains(key))
        return;
    const bool onMessage = LeadActions.contains(notifytext::ShowKey);
    if (key == notifytext::RejectKey) {
        if (RejectSender)
            RejectSender(Lead);
    } else if (onMessage && ShowMessage) {
        ShowMessage(Lead);
    } else if (key == notifytext::DefaultKey && ShowMonitor) {
        ShowMonitor();
    }
}

void TDesktopNotifier::Closed(uint id, uint reason)
{
    // A closed notification cannot be replaced: the next pass starts a new one.
    if (id == LastId)
        LastId = 0;
}
