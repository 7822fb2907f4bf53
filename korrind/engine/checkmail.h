// TEMailTest: the mail test and filter engine. For the connected mailbox it finds the messages
// that are new since the last check ("LastMail.ini"), tests them newest first against the
// merged priority and rejection lists and carries out what the best rule asks for: saving the
// message as an ".eml" file, forwarding it, deleting it from the server, queueing alerts.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "common/alias.h"
#include "common/filterparam.h"
#include "common/listrows.h"
#include "common/stringlist.h"
#include "korrind/engine/mailsession.h"
#include "korrind/engine/uidcache.h"

struct TMailSummary;
struct TPop3Summary;

// Kinds of TestLine.
enum TTestKind : int {
    tkPriority = 0,       // priority, with actions
    tkReject = 1,         // rejection, with actions
    tkPriorityMember = 5, // priority membership only
    tkRejectMember = 6    // rejection membership only
};

// Targets of SaveMessage (bits).
enum TSaveTarget : unsigned {
    stRejected = 1, // the rejected-mail folder
    stTempFile = 2, // the scratch file "Temp/temp.eml" of the data root
    stInbox = 4,    // the mailbox's inbox folder
    stAltFolder = 8 // the rule's alternate folder
};

// How TestMail fetches the summaries of all messages once a mailbox has changed: by the
// server's unique ids, fetching only the summaries the mailbox's id cache does not hold (one
// pipelined batch of all of them when there is no usable cache or the server has no ids); one
// pipelined batch of all; or one request per message with a pause after each (the slow,
// traditional way, kept for comparison).
enum class TSummaryFetch { UniqueIds, Batch, OneByOne };

// The lists ListFile works on.
enum class TListWhich { PriorityRules, RejectRules, StoredLines, CurrentLines, Scratch };

// One line per message: From, Subject, MessageId, To, Date, Size and Received, each trimmed,
// joined by "|". A "|" or line break inside a field becomes a blank so the fields stay apart.
std::string SummaryLine(const TMailSummary &summary);

// The base of a saved message's file name: sender and date with everything up to the first
// "<" and the first ">" removed, made safe as a single file name in its folder.
std::string SavedMessageBaseName(const std::string &from, const std::string &date);

// The first "<folder>/<base>_NNN.eml" (counting from 000, on past 999) that does not exist;
// empty when the folder cannot be searched (no access, a link loop, a name too long, ...) or
// every counter up to 99999 is taken.
std::string FreeMessageFileName(const std::string &folder, const std::string &baseName);

// The bytes of a saved message: every line followed by CRLF.
std::string MessageFileBytes(const TStringList &lines);

class TEMailTest
{
public:
    explicit TEMailTest(TListRows *mailboxes);

    TListRows *Mailboxes;
    TListRow *Mailbox = nullptr; // the row under test (a copy taken when the test starts)
    std::string InboxPath;
    std::string PriorityAlertName;
    std::string ArrivalAlertName;
    bool PriorityOn = false;
    bool Deleted = false;
    // A summary read of the last TestMail did not complete: what is new is not known (the
    // check cycle marks the mailbox's row).
    bool ReadFailed = false;
    bool PriorityFound = false; // cleared by the check cycle at the start of a pass
    bool NewMailFound = false;  // cleared by the check cycle at the start of a pass
    // A message was not the one its summary line described when a rule was to act on it (the
    // server reordered its messages or gave their ids to others): nothing was done to it, and
    // the repeat test that TestMail then asks for lists the mailbox afresh and tests it whole.
    bool ListingStale = false;
    std::string CurrentFrom, CurrentSubject;
    int32_t TestCount = 0;
    int32_t MessageCount = 0;
    int32_t FirstNew = 0;
    TListRow *SummaryRow = nullptr; // set by the check cycle before each test
    TStringList StoredLines;
    TStringList CurrentLines;
    TStringList ToLines;
    TStringList PriorityRules, RejectRules;
    TStringList SoundQueue;   // wave files for the main timer to play
    TStringList ProgramQueue; // programs for the main timer to start
    TSummaryFetch SummaryFetch = TSummaryFetch::UniqueIds;
    unsigned SummaryPauseMs = 200; // OneByOne: pause after each summary, events processed
    // Desktop notification hooks (korrind/notifier.h): a mailbox's new mail was tested; a pass
    // ended.
    std::function<void(TEMailTest &)> OnNewMailTested;
    std::function<void()> OnPassEnded;

    // Tests the connected mailbox of row index with count messages; again is the repeat test
    // after a deletion. Answers whether a message was deleted (test the mailbox again).
    bool TestMail(int index, int count, bool again);
    // Tests one summary line (message n, 0-based) against a list (TTestKind).
    bool TestLine(const std::string &line, int n, int kind);
    // A rejected message (why Reject) leaves for the server's junk folder where it has one.
    bool DoActions(int n, TRuleActions &actions,
                   TMailSession::TRemoval why = TMailSession::TRemoval::Delete);
    // Retrieves message n (1 = oldest) and writes it to every target of the bit set. False
    // when it could not be retrieved or a target could not be written completely; written
    // (when given) gets the targets that were written.
    bool SaveMessage(int n, unsigned targets, const std::string &altFolder,
                     unsigned *written = nullptr);
    // Writes the message last retrieved by the POP3 session to the targets.
    bool SaveRetrievedMessage(unsigned targets, const std::string &altFolder,
                              unsigned *written = nullptr);
    void LoadRules(int kind);
    // False when the list could not be loaded or saved (logged).
    bool ListFile(bool load, TListWhich which, const std::string &path);

    // Path of the scratch message file the main window opens (stTempFile).
    static std::string TempMessagePath();

    // Whether message k of CurrentLines is news for the user: new since the last test, for an
    // alias of the mailbox, and not one kept on the server by an earlier check for another try
    // of its actions (it was announced when it came).
    bool Announces(int k) const;
    // The server's unique id of message k of CurrentLines in the last session, "" when it
    // gave none.
    std::string UniqueIdOf(int k) const;

private:
    TStringList &List(TListWhich which);
    void ClearLists();
    bool StartTest(int index);
    enum class TAppended { No, Unchanged, Fetched };
    TAppended FetchAppendedOnly(const std::string &lastMail);
    bool CheckStateHolds(const std::string &lastMail, TUidCache::TTail &tail);
    void KeepCheckState(const std::string &lastMail, bool saved);
    std::string CheckStatePath() const;
    uint64_t StoredLinesFingerprint() const;
    bool RejectsStoredLine(const std::string &line);
    bool SaveCurrentLines(const std::string &lastMail);
    bool MailboxUnchanged();
    bool FetchCurrentLines(bool again);
    void FetchSummaries(std::vector<TMailSummary> &summaries, std::vector<std::string> &ids);
    bool FetchLinesByUniqueIds(std::vector<std::string> &ids, bool mayAssumeOrder,
                               bool &cacheStale);
    bool FetchAppendedLines(const TUidCache &cache, std::vector<std::string> &ids,
                            bool &cacheStale);
    bool PreferFreshSummary();
    bool AssumedNumbersHold(const std::vector<std::string> &ids);
    void MarkNewLines();
    bool CachedLineFits(const std::string &line, int n) const;
    void AddCurrentLine(const std::string &line, const std::string &to);
    void KeepUniqueIds(const std::vector<std::string> &ids, bool cacheCurrent);
    std::string UidCachePath() const;
    void TestNewMessages(bool again);
    void FillSummaryRow(bool newMail);
    void ShowTestedMail();
    void RefreshRowFromStoredLines();
    void QueuePriorityAlert(int ruleIndex);
    void QueueSound(const std::string &alertName);
    bool ForwardMessage(int n, const TRuleActions &actions);
    bool RetrieveActingMessage(int n);
    bool ConfirmActingMessage(int n);
    bool ShowsActingLine(const TPop3Summary &fields, int64_t size) const;
    void ActingMessageMismatch(int n);
    std::string LineKey(const std::string &line) const;
    std::string ActionKey(int n) const;
    bool IsRetry(const std::string &line) const;
    bool OnlyRetriesChanged() const;
    void RememberRetries();
    void SettleDeletions();
    bool WriteMessageFile(const std::string &path, const std::string &bytes);
    std::string RulesFolder() const;
    std::string MailboxAddress() const;

    TListRow MailboxRow;
    TAliasTest Aliases; // the row's alias list, read once per check
    TStringList Scratch;
    // Lines whose actions were carried out during this test and the repeat tests that follow
    // it, so a repeat does not save or forward the same message twice.
    TStringList ActedLines;
    // Lines whose actions failed in this test and its repeats; they stay out of
    // "LastMail.ini" so the next check tries them again.
    TStringList FailedLines;
    // What was already done (TSaveTarget bits and the forward) for a message whose actions
    // are not finished — one failed, or its deletion is not yet committed — so the next try
    // does only what is missing. Keyed by mailbox address, the message's unique id (its number
    // when the server gives no ids) and its summary line: two messages that show one line
    // never share a record.
    std::map<std::string, unsigned> DoneActions;
    // Messages an earlier check kept on the server because their actions failed, keyed like
    // DoneActions. Their new-mail alert was raised then; the checks that try them again raise
    // it no more.
    std::set<std::string> KeptForRetry;
    // Deletions the server accepted in a session not yet known to have committed them.
    struct TAwaitingDelete
    {
        std::string Key;
        std::string Mailbox;
        std::string Line;
        uint32_t Session = 0;
    };
    std::vector<TAwaitingDelete> AwaitingCommit;
    std::string ActingLine; // the line whose actions DoActions carries out, "" when none
    // The server's unique id of each of CurrentLines in this session; empty when it gave none.
    std::vector<std::string> MessageIds;
    // CurrentLines[k] (and MessageIds[k]) is message Base + k + 1: a check of a mailbox that
    // only grew holds the new messages' lines alone.
    int Base = 0;
    // The id cache lists the messages as CurrentLines and MessageIds do.
    bool CacheInLine = false;
    // A stored line matched a rejection rule, so every message was tested as new.
    bool StoredRejectHit = false;
    bool Relisted = false; // this test and its repeats listed the mailbox afresh once already
    // For each of CurrentLines: whether it was stored at the last test (already tested).
    std::vector<bool> Known;
    // CurrentLines[0 .. AssumedCount-1] got their message numbers from the id cache's order,
    // not from the server in this session.
    int AssumedCount = 0;
    // The summary read before the lines were fetched (message FreshNumber, 0 for none).
    int FreshNumber = 0;
    std::string FreshLine, FreshTo;
};

extern TEMailTest *EMailTest;
