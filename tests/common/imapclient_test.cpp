// The IMAP client against a scripted server for the faults real servers do not show, and
// against the fixture dovecot when its IMAP listeners run; plus the response syntax alone.
#include <gtest/gtest.h>

#include <QDir>
#include <QtGlobal>
#include <functional>
#include <map>
#include <optional>

#include "common/net/imapclient.h"
#include "common/net/imapresponse.h"
#include "common/text.h"
#include "support/fakeserver.h"
#include "support/fixtures.h"
#include "support/testenv.h"

namespace {

class TRecorder : public TImapListener
{
public:
    std::vector<std::string> Log;
    std::map<unsigned, bool> Finished;
    bool Connected = false, Failed = false, Disconnected = false;
    void OnConnected() override { Connected = true; }
    void OnConnectionFailed() override { Failed = true; }
    void OnDisconnected() override { Disconnected = true; }
    void OnStatus(const std::string &text) override { Log.push_back(text); }
    void OnError(const std::string &text) override { Log.push_back("error: " + text); }
    void OnRequestFinished(unsigned ticket, bool ok) override { Finished[ticket] = ok; }
    bool LogHas(const std::string &text) const
    {
        for (const std::string &line : Log)
            if (line.find(text) != std::string::npos)
                return true;
        return false;
    }
};

// A small IMAP server on a FakeServer: one folder of messages by UID, the capabilities set
// by the test, and a hook that may answer a command instead (for faults).
struct TFakeImap
{
    FakeServer Server;
    std::string Capabilities = "IMAP4rev1 AUTH=PLAIN SASL-IR UIDPLUS";
    std::map<uint32_t, std::string> Messages;
    std::function<std::optional<FakeServer::Reply>(const std::string &tag, const std::string &rest)>
        Fault;
    std::string PendingTag; // of a command waiting for a literal's continuation

    TFakeImap()
    {
        Server.Greeting(FakeServer::Reply("* OK IMAP ready"));
        Server.Handle([this](int, const std::string &line) { return Answer(line); });
    }

    std::string FetchLine(uint32_t uid, const std::string &items)
    {
        const std::string &raw = Messages[uid];
        std::string out = Format("* %u FETCH (UID %u RFC822.SIZE %zu", uid, uid, raw.size());
        if (items.find("HEADER") != std::string::npos) {
            std::string header = raw.substr(0, raw.find("\r\n\r\n") + 4);
            out += Format(" BODY[HEADER] {%zu}\r\n", header.size()) + header;
        } else if (items.find("BODY.PEEK[]") != std::string::npos) {
            out += Format(" BODY[] {%zu}\r\n", raw.size()) + raw;
        }
        return out + ")\r\n";
    }

    FakeServer::Reply Answer(const std::string &line)
    {
        if (!PendingTag.empty()) { // the literal of a LOGIN
            std::string tag = PendingTag;
            PendingTag.clear();
            return tag + " OK logged in";
        }
        size_t space = line.find(' ');
        std::string tag = line.substr(0, space);
        std::string rest = space == std::string::npos ? "" : line.substr(space + 1);
        if (Fault)
            if (std::optional<FakeServer::Reply> reply = Fault(tag, rest))
                return *reply;
        std::string verb = UpperCase(rest.substr(0, rest.find(' ')));
        if (verb == "CAPABILITY")
            return "* CAPABILITY " + Capabilities + "\r\n" + tag + " OK done";
        if (verb == "LOGIN" && EndsText(rest, "}")) {
            PendingTag = tag;
            return FakeServer::Reply("+ go on");
        }
        if (verb == "LOGIN" || verb == "AUTHENTICATE")
            return tag + " OK logged in";
        if (verb == "SELECT" || verb == "EXAMINE")
            return Format("* %zu EXISTS\r\n* OK [UIDVALIDITY 77] ok\r\n* OK [UIDNEXT 99] ok\r\n",
                          Messages.size()) +
                   tag + (verb == "EXAMINE" ? " OK [READ-ONLY] done" : " OK [READ-WRITE] done");
        if (StartsText(rest, "UID FETCH ")) {
            std::string set = rest.substr(10, rest.find(' ', 10) - 10);
            std::string out;
            if (EndsText(set, ":*")) {
                uint32_t first =
                    static_cast<uint32_t>(StrToIntDef(set.substr(0, set.size() - 2), 1));
                bool any = false;
                for (auto &[uid, raw] : Messages)
                    if (uid >= first) {
                        out += FetchLine(uid, rest);
                        any = true;
                    }
                if (!any && !Messages.empty()) // the highest message, as servers answer n:*
                    out += FetchLine(Messages.rbegin()->first, rest);
            } else {
                for (uint32_t uid : ParseImapSet(set))
                    if (Messages.count(uid))
                        out += FetchLine(uid, rest);
            }
            return out + tag + " OK fetched";
        }
        if (StartsText(rest, "UID MOVE ") || StartsText(rest, "UID EXPUNGE ")) {
            std::string set = SplitText(rest, ' ')[2];
            std::string out = StartsText(rest, "UID MOVE ")
                                  ? "* OK [COPYUID 5 " + set + " 100:199] moved\r\n"
                                  : "";
            for (uint32_t uid : ParseImapSet(set))
                Messages.erase(uid);
            return out + tag + " OK done";
        }
        if (StartsText(rest, "UID COPY ") || StartsText(rest, "UID STORE ") || verb == "NOOP" ||
            verb == "LIST")
            return tag + " OK done";
        if (verb == "LOGOUT")
            return "* BYE bye\r\n" + tag + " OK done";
        return tag + " BAD unknown";
    }

    std::vector<std::string> Commands() const
    {
        std::vector<std::string> out;
        for (const std::string &line : Server.commands()) {
            size_t space = line.find(' ');
            out.push_back(space == std::string::npos ? line : line.substr(space + 1));
        }
        return out;
    }
};

std::string Sample(int n)
{
    return Format("From: Sender %d <s%d@example.org>\r\nTo: r@example.org\r\nSubject: Note %d\r\n"
                  "Message-ID: <m%d@example.org>\r\n\r\nBody line %d\r\n",
                  n, n, n, n, n);
}

struct TSession
{
    TRecorder Recorder;
    TImapClient Client{&Recorder};

    TSession(int port, const std::string &password = "s3cret!",
             const std::string &scheme = "imap://")
    {
        Client.Host = scheme + "127.0.0.1:" + std::to_string(port);
        Client.User = "user";
        Client.Password = password;
        Client.TimeOut = 10000;
    }
    bool Connect()
    {
        Client.Connect();
        return fixtures::WaitUntil([this] {
            return Recorder.Connected || Client.State() == TImapClient::TState::Disconnected;
        });
    }
    bool Wait(unsigned ticket)
    {
        return ticket != 0 &&
               fixtures::WaitUntil([&] { return Recorder.Finished.count(ticket) > 0; });
    }
    bool Ok(unsigned ticket) { return Wait(ticket) && Recorder.Finished[ticket]; }
};

TEST(ImapClient, AddressForms)
{
    TImapAddress a = ParseImapAddress("IMAPS://mail.example.org/Lists/Work");
    EXPECT_EQ(a.Server.Host, "mail.example.org");
    EXPECT_EQ(a.Server.Port, 993);
    EXPECT_TRUE(a.Server.ImplicitTls);
    EXPECT_EQ(a.Folder, "Lists/Work");
    TImapAddress b = ParseImapAddress("imap://[::1]:1143");
    EXPECT_EQ(b.Server.Host, "::1");
    EXPECT_EQ(b.Server.Port, 1143);
    EXPECT_FALSE(b.Server.ImplicitTls);
    EXPECT_EQ(b.Folder, "INBOX");
    TImapAddress c = ParseImapAddress("imap+tls://host");
    EXPECT_EQ(c.Server.Port, 143);
    EXPECT_TRUE(c.Server.RequireTls);
    EXPECT_TRUE(ParseImapAddress("imap://host:993").Server.ImplicitTls);
    EXPECT_TRUE(IsImapAddress("Imap+TLS://x"));
    EXPECT_FALSE(IsImapAddress("pop3s://x"));
}

TEST(ImapClient, ResponseSyntax)
{
    // A response cut anywhere, literals and escapes included, reads the same.
    std::string wire = "* 3 FETCH (UID 12 FLAGS (\\Seen) RFC822.SIZE 40 BODY[HEADER] {8}\r\n"
                       "A: b\r\n\r\n)\r\n* LIST (\\HasNoChildren \\Junk) \"/\" \"Entw&APw-rfe "
                       "\\\"x\\\"\"\r\n";
    for (size_t cut = 0; cut < wire.size(); cut += 7) {
        TImapReader reader(1024, 1024, 4096);
        std::vector<std::string> raws;
        std::string raw;
        reader.Append(wire.data(), cut);
        while (reader.Next(raw) == TImapReader::TResult::Response)
            raws.push_back(raw);
        reader.Append(wire.data() + cut, wire.size() - cut);
        while (reader.Next(raw) == TImapReader::TResult::Response)
            raws.push_back(raw);
        ASSERT_EQ(raws.size(), 2u) << cut;
        TImapResponse response;
        std::string why;
        ASSERT_TRUE(ParseImapResponse(raws[0], response, why)) << why;
        TImapFetch fetch;
        ASSERT_TRUE(ParseImapFetch(response, fetch, why)) << why;
        EXPECT_EQ(fetch.Uid, 12u);
        EXPECT_EQ(fetch.Size, 40);
        EXPECT_EQ(fetch.Header, "A: b\r\n\r\n");
        ASSERT_TRUE(ParseImapResponse(raws[1], response, why)) << why;
        TImapListEntry entry;
        ASSERT_TRUE(ParseImapList(response, entry));
        EXPECT_EQ(entry.Name, "Entw&APw-rfe \"x\"");
        EXPECT_EQ(entry.DisplayName, "Entw\xc3\xbcrfe \"x\"");
        EXPECT_EQ(entry.Attributes, (std::vector<std::string>{"\\HasNoChildren", "\\Junk"}));
    }
    EXPECT_EQ(EncodeImapUtf7("Entw\xc3\xbcrfe & \xe6\x97\xa5"), "Entw&APw-rfe &- &ZeU-");
    EXPECT_EQ(DecodeImapUtf7(EncodeImapUtf7("\xf0\x9f\x93\xa7 Mail")), "\xf0\x9f\x93\xa7 Mail");
    // A literal too large is refused before its bytes come; so is an endless line.
    TImapReader reader(100, 1000, 2000);
    std::string raw;
    reader.Append("* 1 FETCH (BODY[] {5000}\r\n", 26);
    EXPECT_EQ(reader.Next(raw), TImapReader::TResult::Fault);
    TImapReader lines(100, 1000, 2000);
    lines.Append(std::string(150, 'x').data(), 150);
    EXPECT_EQ(lines.Next(raw), TImapReader::TResult::Fault);
}

// Login with SASL-IR, then a whole check: SELECT, sizes from a UID above every message (the
// server answers with the highest one, which is dropped), headers, one message, flag news
// in between; every FETCH peeks, and no secret reaches the log.
TEST(ImapClient, SessionReadsWithoutSecretsOrSeenFlags)
{
    TFakeImap imap;
    for (uint32_t uid : {3u, 7u, 9u})
        imap.Messages[uid] = Sample(static_cast<int>(uid));
    imap.Fault = [](const std::string &tag,
                    const std::string &rest) -> std::optional<FakeServer::Reply> {
        if (StartsText(rest, "UID FETCH 3,7 "))
            return FakeServer::Reply(
                "* 2 FETCH (FLAGS (\\Seen))\r\n* 1 FETCH (UID 3 FLAGS ())\r\n"
                "* 1 FETCH (UID 3 RFC822.SIZE 10 BODY[HEADER] {14}\r\nSubject: x\r\n\r\n)\r\n"
                "* 2 FETCH (UID 7 RFC822.SIZE 10 BODY[HEADER] \"Subject: y\")\r\n" +
                tag + " OK done");
        return std::nullopt;
    };
    TSession session(imap.Server.port(), "pa\"ss\\word");
    ASSERT_TRUE(session.Connect());
    ASSERT_TRUE(session.Recorder.Connected) << session.Client.LastErrorText();
    EXPECT_TRUE(session.Client.Offers("uidplus"));

    unsigned select = session.Client.RequestSelect("INBOX", true);
    unsigned sizes = session.Client.RequestSizes(4);
    unsigned none = session.Client.RequestSizes(10);
    unsigned headers = session.Client.RequestHeaders({7, 3});
    unsigned message = session.Client.RequestMessage(9);
    unsigned missing = session.Client.RequestMessage(8);
    std::vector<uint32_t> many;
    for (uint32_t uid = 10; uid < 10 + TImapClient::MaxUidsPerCommand + 5; ++uid)
        many.push_back(uid);
    unsigned split = session.Client.RequestHeaders(many);
    ASSERT_TRUE(session.Ok(select) && session.Ok(sizes) && session.Ok(none) &&
                session.Ok(headers) && session.Ok(message));
    EXPECT_TRUE(session.Wait(missing));
    EXPECT_FALSE(session.Recorder.Finished[missing]);
    ASSERT_TRUE(session.Ok(split));

    TImapFolderState state;
    ASSERT_TRUE(session.Client.TakeFolderState(select, state));
    EXPECT_EQ(state.UidValidity, 77u);
    EXPECT_EQ(state.UidNext, 99u);
    EXPECT_EQ(state.Exists, 3u);
    EXPECT_TRUE(state.ReadOnly);
    std::vector<TImapMessage> messages;
    ASSERT_TRUE(session.Client.TakeMessages(sizes, messages));
    ASSERT_EQ(messages.size(), 2u);
    EXPECT_EQ(messages[0].Uid, 7u);
    EXPECT_EQ(messages[1].Uid, 9u);
    EXPECT_EQ(messages[1].Size, static_cast<int64_t>(Sample(9).size()));
    ASSERT_TRUE(session.Client.TakeMessages(none, messages));
    EXPECT_TRUE(messages.empty()) << "n:* answered with a lower UID must not count";
    ASSERT_TRUE(session.Client.TakeMessages(headers, messages));
    ASSERT_EQ(messages.size(), 2u);
    EXPECT_EQ(messages[0].Uid, 3u);
    EXPECT_EQ(messages[0].Summary.Subject, "x");
    EXPECT_EQ(messages[1].Summary.Subject, "y");
    TStringList lines;
    ASSERT_TRUE(session.Client.TakeMessage(message, lines));
    ASSERT_EQ(lines.Count(), 6);
    EXPECT_EQ(lines.Items()[2], "Subject: Note 9");
    EXPECT_EQ(lines.Items()[5], "Body line 9");

    session.Client.Disconnect();
    ASSERT_TRUE(fixtures::WaitUntil([&] { return session.Recorder.Disconnected; }));
    std::vector<std::string> commands = imap.Commands();
    std::string credentials =
        QByteArray(std::string("\0user\0pa\"ss\\word", 16).data(), 16).toBase64().toStdString();
    EXPECT_EQ(commands[1], "AUTHENTICATE PLAIN " + credentials);
    EXPECT_NE(std::find(commands.begin(), commands.end(),
                        "UID FETCH 10:509 (UID RFC822.SIZE BODY.PEEK[HEADER])"),
              commands.end());
    EXPECT_NE(std::find(commands.begin(), commands.end(),
                        "UID FETCH 510:514 (UID RFC822.SIZE BODY.PEEK[HEADER])"),
              commands.end());
    for (const std::string &command : commands)
        if (ContainsText(command, "FETCH")) {
            EXPECT_TRUE(ContainsText(command, ".PEEK") ||
                        ContainsText(command, "RFC822.SIZE FLAGS)"))
                << command;
        }
    EXPECT_TRUE(session.Recorder.LogHas("AUTHENTICATE PLAIN ****"));
    EXPECT_FALSE(session.Recorder.LogHas("pa\"ss") || session.Recorder.LogHas(credentials));
}

// LOGIN without AUTH=PLAIN: a quoted string with escapes, or a literal for 8-bit bytes.
TEST(ImapClient, LoginQuotesOrSendsLiteral)
{
    TFakeImap imap;
    imap.Capabilities = "IMAP4rev1";
    {
        TSession session(imap.Server.port(), "pa\"ss\\word");
        ASSERT_TRUE(session.Connect());
        ASSERT_TRUE(session.Recorder.Connected) << session.Client.LastErrorText();
        EXPECT_EQ(imap.Commands().at(1), "LOGIN \"user\" \"pa\\\"ss\\\\word\"");
        EXPECT_FALSE(session.Recorder.LogHas("pa\\\"ss"));
        session.Client.Abort();
    }
    TSession session(imap.Server.port(), "p\xc3\xa4sswort");
    ASSERT_TRUE(session.Connect());
    ASSERT_TRUE(session.Recorder.Connected) << session.Client.LastErrorText();
    std::vector<std::string> all = imap.Server.commands();
    auto login = std::find_if(all.begin(), all.end(), [](const std::string &c) {
        return c.find("LOGIN \"user\" {9}") != std::string::npos;
    });
    ASSERT_NE(login, all.end());
    EXPECT_EQ(*(login + 1), "p\xc3\xa4sswort");
    EXPECT_FALSE(session.Recorder.LogHas("sswort"));

    // LOGINDISABLED: no LOGIN goes out at all.
    imap.Capabilities = "IMAP4rev1 LOGINDISABLED";
    size_t before = imap.Server.commands().size();
    TSession refused(imap.Server.port());
    ASSERT_TRUE(refused.Connect());
    EXPECT_FALSE(refused.Recorder.Connected);
    for (size_t i = before; i < imap.Server.commands().size(); ++i)
        EXPECT_FALSE(ContainsText(imap.Server.commands()[i], "LOGIN "))
            << imap.Server.commands()[i];
}

// UID MOVE when offered; else COPY, STORE and UID EXPUNGE of exactly those UIDs; a delete
// without UIDPLUS only marks and answers nothing removed.
TEST(ImapClient, MoveAndDeleteByCapability)
{
    TFakeImap imap;
    for (uint32_t uid : {1u, 2u, 3u, 4u})
        imap.Messages[uid] = Sample(static_cast<int>(uid));
    std::vector<uint32_t> gone;
    {
        imap.Capabilities = "IMAP4rev1 AUTH=PLAIN MOVE UIDPLUS";
        TSession session(imap.Server.port());
        ASSERT_TRUE(session.Connect());
        ASSERT_TRUE(session.Ok(session.Client.RequestSelect("INBOX", false)));
        unsigned move = session.Client.RequestMove({2, 1}, "Junk \xc3\xa9");
        ASSERT_TRUE(session.Ok(move));
        ASSERT_TRUE(session.Client.TakeUids(move, gone));
        EXPECT_EQ(gone, (std::vector<uint32_t>{1, 2}));
        EXPECT_EQ(imap.Commands().back(), "UID MOVE 1:2 \"Junk &AOk-\"");
        session.Client.Abort();
    }
    imap.Capabilities = "IMAP4rev1 AUTH=PLAIN UIDPLUS";
    size_t before = imap.Commands().size();
    TSession session(imap.Server.port());
    ASSERT_TRUE(session.Connect());
    ASSERT_TRUE(session.Ok(session.Client.RequestSelect("INBOX", false)));
    unsigned move = session.Client.RequestMove({3}, "Trash");
    ASSERT_TRUE(session.Ok(move));
    ASSERT_TRUE(session.Client.TakeUids(move, gone));
    EXPECT_EQ(gone, (std::vector<uint32_t>{3}));
    std::vector<std::string> commands = imap.Commands();
    commands.erase(commands.begin(), commands.begin() + static_cast<long>(before));
    EXPECT_EQ(std::vector<std::string>(commands.end() - 3, commands.end()),
              (std::vector<std::string>{"UID COPY 3 \"Trash\"",
                                        "UID STORE 3 +FLAGS.SILENT (\\Deleted)", "UID EXPUNGE 3"}));
    session.Client.Abort();

    imap.Capabilities = "IMAP4rev1 AUTH=PLAIN";
    TSession plain(imap.Server.port());
    ASSERT_TRUE(plain.Connect());
    ASSERT_TRUE(plain.Ok(plain.Client.RequestSelect("INBOX", false)));
    unsigned del = plain.Client.RequestDelete({4});
    ASSERT_TRUE(plain.Ok(del));
    ASSERT_TRUE(plain.Client.TakeUids(del, gone));
    // Marked deleted, it is gone for the listings, which skip such messages.
    EXPECT_EQ(gone, std::vector<uint32_t>{4});
    EXPECT_TRUE(ContainsText(plain.Client.LastErrorText(), "UIDPLUS"));
    EXPECT_EQ(imap.Commands().back(), "UID STORE 4 +FLAGS.SILENT (\\Deleted)");
    for (const std::string &command : imap.Commands())
        EXPECT_NE(UpperCase(command), "EXPUNGE");
}

// Each fault fails the request under way with a reason and ends the session, never a hang.
TEST(ImapClient, FaultsFailTheRequest)
{
    struct TCase
    {
        const char *name;
        std::function<FakeServer::Reply(const std::string &tag)> reply;
        const char *reason;
    };
    std::vector<TCase> cases = {
        {"drop",
         [](const std::string &) {
             return FakeServer::DropAfter("* 1 FETCH (UID 1 BODY[] {500}\r\nFrom: x\r\n");
         },
         "closed"},
        {"stall", [](const std::string &) { return FakeServer::Stall(); }, "within"},
        {"huge literal",
         [](const std::string &) {
             return FakeServer::Unfinished("* 1 FETCH (UID 1 BODY[] {999999999999}\r\n");
         },
         "literal"},
        {"malformed",
         [](const std::string &tag) {
             return FakeServer::Reply("* 1 FETCH (UID x1 BODY[] NIL)\r\n" + tag + " OK");
         },
         "malformed FETCH"},
        {"bye", [](const std::string &) { return FakeServer::Reply("* BYE shutting down"); },
         "ended the session"},
        {"overlong line", [](const std::string &) { return FakeServer::Endless(200 * 1024); },
         "longer than"},
        {"garbage", [](const std::string &) { return FakeServer::Garbage(); }, "garbage"},
        {"wrong tag", [](const std::string &) { return FakeServer::Reply("Z9 OK done"); },
         "never sent"},
    };
    for (const TCase &test : cases) {
        SCOPED_TRACE(test.name);
        TFakeImap imap;
        imap.Messages[1] = Sample(1);
        imap.Fault = [&](const std::string &tag,
                         const std::string &rest) -> std::optional<FakeServer::Reply> {
            if (StartsText(rest, "UID FETCH 1 "))
                return test.reply(tag);
            return std::nullopt;
        };
        TSession session(imap.Server.port());
        session.Client.TimeOut = std::string(test.name) == "stall" ? 300 : 10000;
        ASSERT_TRUE(session.Connect());
        unsigned ticket = session.Client.RequestMessage(1);
        ASSERT_TRUE(session.Wait(ticket));
        EXPECT_FALSE(session.Recorder.Finished[ticket]);
        EXPECT_TRUE(ContainsText(session.Client.LastErrorText(), test.reason))
            << session.Client.LastErrorText();
        EXPECT_EQ(session.Client.State(), TImapClient::TState::Disconnected);
        EXPECT_TRUE(session.Recorder.Disconnected);
    }
}

// The greeting's BYE, a refused login and imap+tls:// without STARTTLS end the set-up with
// their failure class, and the last sends no login.
TEST(ImapClient, SetUpFailures)
{
    TFakeImap imap;
    imap.Capabilities = "IMAP4rev1 AUTH=PLAIN";
    TSession tls(imap.Server.port(), "pw", "imap+tls://");
    ASSERT_TRUE(tls.Connect());
    EXPECT_EQ(tls.Client.LastFailure(), TPop3Failure::TlsNotOffered);
    for (const std::string &command : imap.Commands())
        EXPECT_FALSE(ContainsText(command, "AUTHENTICATE")) << command;

    imap.Fault = [](const std::string &tag,
                    const std::string &rest) -> std::optional<FakeServer::Reply> {
        if (StartsText(rest, "AUTHENTICATE"))
            return FakeServer::Reply(tag + " NO [AUTHENTICATIONFAILED] bad");
        if (StartsText(rest, "STARTTLS"))
            return FakeServer::Reply(tag + " NO not now");
        return std::nullopt;
    };
    TSession refused(imap.Server.port());
    ASSERT_TRUE(refused.Connect());
    EXPECT_EQ(refused.Client.LastFailure(), TPop3Failure::LoginRefused);

    imap.Capabilities = "IMAP4rev1 STARTTLS AUTH=PLAIN";
    TSession starttls(imap.Server.port());
    ASSERT_TRUE(starttls.Connect());
    EXPECT_EQ(starttls.Client.LastFailure(), TPop3Failure::TlsRefused);

    FakeServer bye;
    bye.Greeting(FakeServer::Reply("* BYE too busy"));
    TSession busy(bye.port());
    ASSERT_TRUE(busy.Connect());
    EXPECT_TRUE(busy.Recorder.Failed);
    EXPECT_TRUE(ContainsText(busy.Client.LastErrorText(), "too busy"));
}

// The real server: login over STARTTLS and over implicit TLS, a check, and a move.
TEST(ImapClient, FixtureDovecot)
{
    REQUIRE_FIXTURES();
    std::string port = qEnvironmentVariable("CORVEX_IMAP_PORT").toStdString();
    std::string tlsPort = qEnvironmentVariable("CORVEX_IMAPS_PORT").toStdString();
    if (port.empty() || tlsPort.empty())
        GTEST_SKIP() << "the fixture servers have no IMAP listeners";
    fixtures::TrustTestCa();
    fixtures::Mailbox box = fixtures::CreateMailbox("imap");
    fixtures::AddMessages(box, {Sample(1), Sample(2)});
    for (const std::string &host :
         {"imap+tls://127.0.0.1:" + port, "imaps://127.0.0.1:" + tlsPort}) {
        SCOPED_TRACE(host);
        TRecorder recorder;
        TImapClient client(&recorder);
        client.Host = host;
        client.User = box.user;
        client.Password = box.password;
        client.Connect();
        ASSERT_TRUE(fixtures::WaitUntil([&] {
            return recorder.Connected || client.State() == TImapClient::TState::Disconnected;
        }));
        ASSERT_TRUE(recorder.Connected) << client.LastErrorText();
        EXPECT_TRUE(client.Secure());
        auto ok = [&](unsigned ticket) {
            return ticket &&
                   fixtures::WaitUntil([&] { return recorder.Finished.count(ticket) > 0; }) &&
                   recorder.Finished[ticket];
        };
        unsigned select = client.RequestSelect("INBOX", false);
        unsigned sizes = client.RequestSizes(1);
        ASSERT_TRUE(ok(select) && ok(sizes)) << client.LastErrorText();
        std::vector<TImapMessage> messages;
        ASSERT_TRUE(client.TakeMessages(sizes, messages));
        ASSERT_EQ(messages.size(), 2u);
        unsigned headers = client.RequestHeaders({messages[0].Uid, messages[1].Uid});
        ASSERT_TRUE(ok(headers));
        std::vector<TImapMessage> summaries;
        ASSERT_TRUE(client.TakeMessages(headers, summaries));
        ASSERT_EQ(summaries.size(), 2u);
        EXPECT_EQ(summaries[0].Summary.Subject, "Note 1");
        unsigned folders = client.RequestFolders();
        ASSERT_TRUE(ok(folders));
        std::vector<TImapFolder> list;
        ASSERT_TRUE(client.TakeFolders(folders, list));
        EXPECT_FALSE(list.empty());
        unsigned message = client.RequestMessage(messages[1].Uid);
        ASSERT_TRUE(ok(message));
        TStringList lines;
        ASSERT_TRUE(client.TakeMessage(message, lines));
        EXPECT_EQ(lines.Items().back(), "Body line 2");
        // Reading set no \Seen flag: dovecot would add "S" to the flags after ":2," in the file's
        // name.
        for (const QString &file :
             QDir(QString::fromStdString(box.maildir + "/cur")).entryList(QDir::Files))
            EXPECT_FALSE(file.section(":2,", 1).contains('S')) << file.toStdString();
        client.Disconnect();
        ASSERT_TRUE(fixtures::WaitUntil([&] { return recorder.Disconnected; }));
    }

    // A token signs in over TLS; a stale one is refused as expired, worth a refresh.
    for (bool expired : {false, true}) {
        SCOPED_TRACE(expired ? "expired token" : "fresh token");
        fixtures::OAuthTokens tokens = fixtures::IssueTokens(box.user);
        if (expired)
            fixtures::ExpireAccessTokens(box.user);
        TRecorder recorder;
        TImapClient client(&recorder);
        client.Host = "imaps://127.0.0.1:" + tlsPort;
        client.User = box.user;
        client.AccessToken = tokens.accessToken;
        client.Connect();
        ASSERT_TRUE(fixtures::WaitUntil([&] {
            return recorder.Connected || client.State() == TImapClient::TState::Disconnected;
        }));
        EXPECT_EQ(recorder.Connected, !expired) << client.LastErrorText();
        if (expired) {
            EXPECT_EQ(client.LastFailure(), TPop3Failure::SignInExpired) << client.LastErrorText();
        }
        EXPECT_FALSE(recorder.LogHas(tokens.accessToken));
        client.Abort();
    }
}

} // namespace
