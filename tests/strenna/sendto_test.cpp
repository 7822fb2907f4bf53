#include "common/globals.h"
#include "common/names.h"
#include "common/text.h"
#include "common/ui/captionpanel.h"
#include "common/utils.h"
#include "strenna/browserfrm.h"
#include "strenna/sendtofrm.h"
#include "support/fixtures.h"
#include "support/testenv.h"

#include <QComboBox>
#include <QDir>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <gtest/gtest.h>

namespace {

int CountOf(const std::string &text, const std::string &part)
{
    int count = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
        ++count;
    return count;
}

} // namespace

// A forward through the real SMTP server: the note lines come first and the stored header is
// gone; a refused recipient keeps the dialog open with the server's answer; the address book
// keeps one line per address whatever its capitals.
TEST(SendTo, ForwardsWithTheNoteAndKeepsTheDialogOpenOnARefusal)
{
    REQUIRE_FIXTURES();
    const std::string dir = testenv::MakeScratchDir("joe") + "/";
    fixtures::MessageFields fields;
    fields.extraHeaders = {"X-Stored-Marker: original header"};
    fields.body = "Original text line\r\n";
    testenv::WriteFile(dir + "saved.eml", fixtures::BuildMessage(fields));

    TInboxFrm browser(TStringList{dir, "joe@pop.example.org"});
    browser.Activate();
    const fixtures::SmtpServer smtp = fixtures::Smtp();
    SetText(Globals->Config.SmtpServer, smtp.host + ":" + std::to_string(smtp.plainPort));
    TfrmSendTo &dialog = *browser.SendToWindow;
    ASSERT_TRUE(QDir().mkpath(QString::fromStdString(Globals->DataRoot)));

    const std::string to = fixtures::UniqueAddress("strenna");
    dialog.Prepare(dir + "saved.eml", "joe@pop.example.org");
    dialog.LMDcbSendTo->setEditText(QString::fromStdString(to));
    dialog.LMDeSubject->setText("Fwd: figures");
    dialog.mMsgBody->setPlainText("First note\nSecond note");
    ASSERT_TRUE(dialog.SendClick()) << dialog.SendTo.Problem;
    dialog.Finish();
    const auto got = fixtures::WaitForMessagesTo(to, 1);
    ASSERT_EQ(got.size(), 1u);
    const std::string &raw = got[0].raw;
    const std::string body = raw.substr(raw.find("\r\n\r\n") + 4);
    EXPECT_EQ(body.rfind("First note\r\nSecond note\r\n", 0), 0u) << body;
    EXPECT_NE(body.find("Original text line"), std::string::npos);
    EXPECT_EQ(raw.find("X-Stored-Marker"), std::string::npos) << raw;
    EXPECT_EQ(got[0].mailFrom, "joe@pop.example.org");

    // Accounts as the monitor knows imported mailboxes: the sender is an address the server
    // takes, without scheme or port, and a login that is an address stays as it is.
    const std::pair<const char *, const char *> accounts[] = {
        {"joe@pop3s://pop.example.org:995", "joe@pop.example.org"},
        {"joe@pop3+tls://pop.example.org", "joe@pop.example.org"},
        {"joe@pop.example.org:110", "joe@pop.example.org"},
        {"jo@example.net@pop.example.net", "jo@example.net"}};
    for (const auto &[account, sender] : accounts) {
        const std::string other = fixtures::UniqueAddress("strenna");
        dialog.Prepare(dir + "saved.eml", account);
        dialog.LMDcbSendTo->setEditText(QString::fromStdString(other));
        ASSERT_TRUE(dialog.SendClick()) << account << ": " << dialog.SendTo.Problem;
        const auto sent = fixtures::WaitForMessagesTo(other, 1);
        ASSERT_EQ(sent.size(), 1u);
        EXPECT_EQ(sent[0].mailFrom, sender);
    }

    // The same address in other capitals is stored once.
    dialog.Prepare(dir + "saved.eml", "joe@pop.example.org");
    EXPECT_EQ(dialog.LMDcbSendTo->count(), 1);
    dialog.LMDcbSendTo->setEditText(QString::fromStdString(UpperCase(to)));
    dialog.Finish();
    const std::string book = TUtils::AddBackslash(Globals->DataRoot) + names::AddressBookFile;
    EXPECT_EQ(testenv::ReadFile(book), to + "\n");

    // A refused recipient: the dialog stays open and says which address the server refused, and
    // with the server's own answer.
    const std::string refused = std::string(fixtures::RefusedRecipientPrefix) + "@corvex.test";
    dialog.Prepare(dir + "saved.eml", "joe@pop.example.org");
    dialog.show();
    dialog.LMDcbSendTo->setEditText(QString::fromStdString(refused));
    EXPECT_FALSE(dialog.SendClick());
    EXPECT_TRUE(dialog.isVisible());
    const std::string shown = dialog.LMDpfStatusBar->Caption();
    EXPECT_EQ(CountOf(shown, "No recipient was accepted"), 1) << shown;
    EXPECT_NE(shown.find("Recipient Not Found: " + refused), std::string::npos) << shown;
    EXPECT_NE(shown.find("(550 5.1.1 <" + refused + ">: no such user)"), std::string::npos)
        << shown;
    dialog.hide();
}
