// The monitor's push: one watch per active IMAP mailbox between checks, the queue of mailboxes
// whose folder changed, and the push preference.
#include <algorithm>

#include "common/accesswait.h"
#include "common/globals.h"
#include "common/net/imapclient.h"
#include "common/oauth2/access.h"
#include "common/platform/registry.h"
#include "common/text.h"
#include "common/utils.h"
#include "korrind/popview.h"

namespace {

constexpr int MinRenewSeconds = 1;

} // namespace

void TCorvexMonitor::LoadPushPreference()
{
    platform::TRegistry registry;
    registry.SetRootKey(platform::TRegRoot::User);
    if (!registry.OpenKeyReadOnly(MonitorRegistryKey))
        return;
    if (registry.GetDataType(PushValue) == platform::TRegType::Integer)
        PushOn = registry.ReadInteger(PushValue) != 0;
    if (registry.GetDataType(PushRenewValue) == platform::TRegType::Integer)
        PushRenewSeconds = std::clamp<int>(registry.ReadInteger(PushRenewValue), MinRenewSeconds,
                                           TImapPush::DefaultRenewSeconds);
}

bool TCorvexMonitor::SetPushEnabled(bool on)
{
    PushOn = on;
    SyncPush();
    platform::TRegistryFile file;
    file.Load(); // a missing file is a new one
    file.SetInteger(platform::TRegRoot::User, MonitorRegistryKey, PushValue, on ? 1 : 0);
    if (file.Save())
        return true;
    Utils->DebugLog("Can't save the push preference in %s", file.Path().c_str());
    return false;
}

void TCorvexMonitor::SyncPush()
{
    if (!Pushes.Create)
        Pushes.Create = [this](const TPushSet::TEntry &entry) { return CreatePush(entry); };
    std::vector<TPushSet::TEntry> entries;
    for (const TListRow &mailbox : Store.Mailboxes)
        if (mailbox.Checked && IsImapAddress(mailbox.Cell(mcMailServer)))
            entries.push_back({mailbox.Caption, mailbox.Cell(mcMailServer)});
    Pushes.Sync(entries, PushOn && !TUtils::Terminating());
    // A login that works again in a check lets a watch stopped on it try once more; a server
    // without IDLE keeps lacking it.
    for (const std::string &mailbox : LoggedInOnce)
        if (TImapPush *push = Pushes.Find(mailbox);
            push != nullptr && push->Failed() && push->StateText() != pushtext::NoIdle)
            push->Start();
    LoggedInOnce.clear();
}

std::unique_ptr<TImapPush> TCorvexMonitor::CreatePush(const TPushSet::TEntry &entry)
{
    auto push = std::make_unique<TImapPush>(entry.Mailbox, entry.Server);
    push->RenewSeconds = PushRenewSeconds;
    const std::string mailbox = entry.Mailbox;
    push->OnPrepare = [this, mailbox, server = entry.Server](TImapPush::TLogin &login) {
        return PreparePushLogin(mailbox, server, login);
    };
    push->OnChange = [this, mailbox] { PushChanged(mailbox); };
    push->OnStateChanged = [this] { Window.RowsChanged(false); };
    push->OnLog = [](const std::string &line) {
        if (Utils && Globals && Globals->DebugLevel > 2)
            Utils->DebugLog("%s", line.c_str());
    };
    return push;
}

// As a check logs in: the password stored for the mailbox or a fresh access token, and never
// again with a password the server refused.
bool TCorvexMonitor::PreparePushLogin(const std::string &mailbox, const std::string &server,
                                      TImapPush::TLogin &login)
{
    const int index = FindRow(Store.Mailboxes, mailbox);
    if (index < 0)
        return false;
    const TConfigRecord &config = Globals->Config;
    login.User = mailbox;
    if (config.TimeoutMs > 0)
        login.TimeOutMs = config.TimeoutMs;
    if (config.ProxyActive) {
        login.ProxyHost = GetText(config.ProxyHost);
        login.ProxyPort = config.ProxyPort;
    }
    if (oauth2::SignsInWithOAuth2(Globals->DataRoot, oauth2::TPurpose::Mailbox, mailbox, server)) {
        const oauth2::TTokenResult result =
            AwaitAccessToken(Globals->DataRoot, oauth2::TPurpose::Mailbox, mailbox, server);
        if (!result.Ok()) {
            login.Failure = "no access token: " + result.ErrorText;
            return false;
        }
        login.AccessToken = result.Tokens.AccessToken;
        return true;
    }
    if (!Store.FindPassword(mailbox, server, login.Password) || !PasswordGiven(login.Password)) {
        login.Failure = monitortext::NoPassword;
        return false;
    }
    auto refused = RefusedLogins.find(mailbox);
    if (refused != RefusedLogins.end() && refused->second.Server == server &&
        refused->second.Password == login.Password) {
        login.Failure = Pop3FailureText(TPop3Failure::LoginRefused);
        return false;
    }
    return true;
}

// Called from the event loop, possibly while a pass pumps events: only queued here.
void TCorvexMonitor::PushChanged(const std::string &mailbox)
{
    PushQueue.insert(mailbox);
    if (!InPass && Owner == TSessionOwner::None)
        PushTimer.start();
}

// One queued mailbox per run; the end of its pass (or of a command) starts the next run.
void TCorvexMonitor::RunPushQueue()
{
    if (PushQueue.empty() || InPass || Owner != TSessionOwner::None || TUtils::Terminating())
        return;
    const std::string mailbox = *PushQueue.begin();
    PushQueue.erase(PushQueue.begin());
    const int index = FindRow(Store.Mailboxes, mailbox);
    if (index >= 0 && Store.Mailboxes[size_t(index)].Checked) {
        PushPass = true;
        CheckMailFrom(TPassSource::Push, index);
        PushPass = false;
    }
    if (!PushQueue.empty() && !InPass && Owner == TSessionOwner::None)
        PushTimer.start();
}
