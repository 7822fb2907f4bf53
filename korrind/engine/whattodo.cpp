#include "korrind/engine/whattodo.h"

#include <cstdio>

#include "common/globals.h"
#include "common/net/pop3client.h"
#include "common/platform/files.h"
#include "common/text.h"
#include "common/utils.h"
#include "korrind/engine/checkmail.h"
#include "korrind/engine/mailsession.h"

namespace {

constexpr unsigned StandAloneBoxes = wdDontShow | wdDoNothing;
constexpr unsigned CombinableBoxes = wdSave | wdDelete | wdAddPriority | wdAddReject;

void Show(const std::function<void(const std::string &)> &hook, const std::string &text)
{
    if (hook)
        hook(text);
}

std::string MessageBytes(const TReadMessage &message)
{
    TStringList lines = message.Lines;
    lines.LineBreak = "\r\n";
    return lines.Text();
}

// The number the message read has now, 0 when it is no longer on the server. With ids the
// message is found wherever it moved; without them only its old place is checked.
int CurrentNumber(TMailSession &mail, const TReadMessage &message)
{
    if (!message.Uid.empty()) {
        std::vector<std::string> ids;
        if (!mail.GetUniqueIds(ids))
            return 0;
        for (size_t i = 0; i < ids.size(); ++i)
            if (ids[i] == message.Uid)
                return static_cast<int>(i) + 1;
        return 0;
    }
    const int n = message.Number;
    if (n < 1 || n > mail.MessageCount() || !mail.GetSummary(n))
        return 0;
    const TMailSummary &now = mail.Summary;
    bool same = now.MessageId == message.MessageId && mail.MessageSize(n) == message.Size &&
                now.From == message.From && now.Subject == message.Subject;
    return same ? n : 0;
}

} // namespace

unsigned BoxesAfterChecking(unsigned boxes, unsigned box)
{
    if (box & StandAloneBoxes)
        return box;
    return (boxes & CombinableBoxes) | box;
}

unsigned AnswerOfBoxes(unsigned boxes)
{
    return boxes & ~static_cast<unsigned>(wdDoNothing);
}

bool FetchReadMessage(TMailSession &mail, const TWhatToDoHooks &hooks, int n, TReadMessage &message)
{
    message = TReadMessage();
    if (!hooks.Connect || !hooks.Connect())
        return false;
    bool read = mail.GetMessage(n);
    if (read) {
        message.Number = n;
        message.Lines = mail.RawLines;
        message.From = mail.Summary.From;
        message.Subject = mail.Summary.Subject;
        message.Date = mail.Summary.Date;
        message.MessageId = SummarizeHeader(message.Lines.Items()).MessageId;
        message.Size = mail.MessageSize(n);
        std::vector<std::string> ids;
        if (mail.GetUniqueIds(ids) && n <= static_cast<int>(ids.size()))
            message.Uid = ids[static_cast<size_t>(n - 1)];
    }
    mail.Disconnect();
    return read;
}

bool SaveReadMessage(const TReadMessage &message, const std::string &folder, std::string *path)
{
    if (folder.empty())
        return false;
    std::string file =
        FreeMessageFileName(folder, SavedMessageBaseName(message.From, message.Date));
    if (!platform::WriteFileAtomic(file, MessageBytes(message))) {
        if (Utils)
            Utils->DebugLog("Can't save file:%s", file.c_str());
        return false;
    }
    if (path != nullptr)
        *path = file;
    return true;
}

int DeleteReadMessage(TMailSession &mail, const TWhatToDoHooks &hooks, const TReadMessage &message)
{
    if (!hooks.Connect || !hooks.Connect())
        return 0;
    int number = CurrentNumber(mail, message);
    if (number == 0 && Utils)
        Utils->DebugLog("Message %d changed on the server; nothing deleted", message.Number);
    bool accepted = number > 0 && mail.DeleteMessage(number);
    const uint32_t session = mail.Session();
    mail.Disconnect();
    return accepted && mail.DeleteOutcome(session) == TMailSession::TDeleteOutcome::Committed
               ? number
               : 0;
}

void CarryOutAnswer(TMailSession &mail, const TWhatToDoHooks &hooks, unsigned answer,
                    const TReadMessage &message, const std::string &inboxFolder, bool &promptOff)
{
    if (Globals != nullptr) {
        if (answer & wdAddPriority)
            Globals->AddRuleFromMessage(message.From, message.Subject, false, true, inboxFolder);
        if (answer & wdAddReject)
            Globals->AddRuleFromMessage(message.From, message.Subject, true, true, inboxFolder);
    }
    if ((answer & wdSave) && !SaveReadMessage(message, inboxFolder)) {
        Show(hooks.ShowError, whattodotext::SaveError);
        return;
    }
    if (answer & wdDelete) {
        int number = DeleteReadMessage(mail, hooks, message);
        Show(
            hooks.ShowStatus,
            Format(number > 0 ? whattodotext::Deleted : whattodotext::DeleteError, message.Number));
    }
    if (answer & wdDontShow)
        promptOff = true;
}

bool ReadLastMessage(TMailSession &mail, const TWhatToDoHooks &hooks, int n,
                     const std::string &inboxFolder, bool &promptOff)
{
    const std::string scratch = TEMailTest::TempMessagePath();
    if (!scratch.empty())
        std::remove(scratch.c_str());
    TReadMessage message;
    if (!FetchReadMessage(mail, hooks, n, message)) {
        Show(hooks.ShowStatus, Format(whattodotext::ReadError, n));
        return false;
    }
    if (!scratch.empty() && platform::WriteFileAtomic(scratch, MessageBytes(message)) && hooks.Open)
        hooks.Open(scratch);
    unsigned answer = hooks.Ask ? hooks.Ask(promptOff) : 0;
    CarryOutAnswer(mail, hooks, answer, message, inboxFolder, promptOff);
    return true;
}
