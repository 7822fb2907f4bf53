// TImapSession: the monitor's IMAP mail session. It drives TImapClient on the folder the
// mailbox's address names and presents it as the engine sees every mailbox: messages numbered
// 1 (the lowest UID) to MessageCount() as the folder was listed at the login, each known by
// its UID under the folder's UIDVALIDITY ("validity.uid", so a new UIDVALIDITY makes every
// message new), summaries fetched in one batch, whole messages, and removals.
//
// The login selects the folder and lists the UIDs and sizes of its messages in one round trip.
// Nothing is ever marked read: every fetch is a PEEK. A rejected message is moved to the
// server's junk folder (flagged \Junk, else one named "Junk" or "Spam"); any other removal
// goes to the folder flagged \Trash, and without one the message is marked \Deleted and
// expunged by UID, never by a plain EXPUNGE. Every action names messages by UID, so a message
// another client removed or the server renumbered is never acted on by mistake: it is missing,
// and the action fails.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "common/net/imapclient.h"
#include "korrind/engine/mailsession.h"

class TImapSession : public TMailSession, private TImapListener
{
public:
    explicit TImapSession(const uint16_t *debugLevel = nullptr);
    ~TImapSession() override;

    bool IsConnected() const override;
    void SetProxy(const std::string &host, uint16_t port) override;
    bool Connect() override;
    bool Disconnect() override;
    void Abort() override;
    void ReleaseClosedSessions() override;
    int32_t MessageCount() const override;
    int64_t MessageSize(int n) const override;
    bool GetSummary(int n) override;
    int SummaryNumber() const override;
    bool GetMessage(int n) override;
    bool GetSummaries(int first, int last, std::vector<TMailSummary> &summaries) override;
    bool GetSummaryBatch(const std::vector<int> &numbers, std::vector<TMailSummary> &summaries,
                         std::vector<std::string> *ids = nullptr) override;
    bool GetUniqueIdsAndSummaries(const std::vector<int> &idNumbers, std::vector<std::string> &ids,
                                  const std::vector<int> &summaryNumbers,
                                  std::vector<TMailSummary> &summaries) override;
    bool GetUniqueIds(std::vector<std::string> &ids) override;
    bool MayOfferUniqueIds() const override { return true; }
    bool RetrieveMessages(const std::vector<int> &numbers, const TMessageSink &sink) override;
    bool DeleteMessage(int n, TRemoval why = TRemoval::Delete) override;
    // A removal is committed as soon as the server confirmed it.
    std::vector<int> DeleteMessages(const std::vector<int> &numbers,
                                    TRemoval why = TRemoval::Delete) override;
    // A listing of its own: numbers and the summary last read start anew.
    bool ListWithoutRemoved() override;
    uint32_t Session() const override { return SessionNumber; }
    TDeleteOutcome DeleteOutcome(uint32_t session) const override;
    TMailFailure LastFailure() const override;
    std::string FailureText() const override;
    std::string FailureDetail() const override;

    TImapClient *Component() { return Client.get(); }
    // The UIDVALIDITY and UIDs of the folder as listed at the login (index = number - 1).
    uint32_t UidValidity() const { return Folder.UidValidity; }
    uint32_t UidOf(int n) const;

private:
    enum class TConnectEnd { Connected, Failed, Cancelled, Terminated };

    bool ConnectLoop();
    TConnectEnd AttemptConnect();
    bool OpenFolder();
    void AskFolder();
    // The tickets of the folder's opening: asked while connecting they go out with the login.
    struct TOpening
    {
        unsigned Select = 0, Sizes = 0, Newest = 0;
    } Opening;
    bool Await(const std::vector<unsigned> &tickets);
    int WaitLimitMs(int64_t expectedBytes = 0) const;
    std::string UniqueIdOf(size_t index) const;
    bool FindFolders();
    const TImapFolder *RemovalTarget(TRemoval why) const;
    const char *HostText() const { return Host.c_str(); }
    const char *UserText() const { return User.c_str(); }

    // Reports of the client.
    void OnAuthenticationFailed(bool &retry) override;
    void OnAuthenticationNeeded() override;
    void OnConnected() override;
    void OnConnectionFailed() override;
    void OnTlsOffered() override; // remembered: the server gets no login in clear text again
    void OnDisconnected() override;
    void OnStatus(const std::string &text) override;
    void OnError(const std::string &text) override;
    void OnRequestFinished(unsigned ticket, bool ok) override;

    std::unique_ptr<TImapClient> Client;
    std::string ProxyHost;
    uint16_t ProxyPort = 0;
    int ConnectRunning = 0;   // connect loops under way
    bool LoginGaveUp = false; // the server refused the login
    std::string SessionError; // why the folder could not be opened, after the login
    TImapFolderState Folder;
    std::vector<uint32_t> Uids; // index = number - 1, ascending
    std::vector<int64_t> Sizes; // RFC822.SIZE of each
    std::vector<char> Removed;  // left the folder in this session
    TImapMessage Newest;        // the newest message's header, read with the listing
    bool FoldersKnown = false;
    std::vector<TImapFolder> Folders;
    uint32_t SessionNumber = 0;
    bool SessionOpen = false;
    int SummaryOf = 0;
    uint32_t SummarySession = 0;
    std::map<unsigned, char> Finished; // ticket → 1 done, 2 failed
};
