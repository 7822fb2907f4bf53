// The "Out Going Mail Server" window driven offscreen: what opening shows, the entry limits,
// and what Apply, Close and Load leave in the settings.
#include <gtest/gtest.h>

#include <QLabel>
#include <QLineEdit>
#include <QTest>
#include <QTimer>
#include <functional>

#include "common/ui/captionpanel.h"
#include "common/ui/panelbuttons.h"
#include "common/utils.h"
#include "korrind/outgoingedit.h"
#include "korrind/signinbox.h"
#include "support/fixtures.h"
#include "support/modalsteps.h"
#include "support/testbrowser.h"
#include "support/testenv.h"

namespace {

class OutgoingEditTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        Utils = &utils;
        PButtons = &buttons;
        SetText(config.SmtpServer, "smtp.example.org");
        SetText(config.SmtpPassword, "secret");
        SetText(config.SmtpUserName, "Jo Example");
        SetText(config.SmtpUserId, "jo");
    }
    void TearDown() override
    {
        PButtons = nullptr;
        Utils = nullptr;
    }

    // Runs steps once the window is up, then closes a window the steps left open.
    void WhenShown(const std::function<void()> &steps)
    {
        modalsteps::WhenShown(&form, [this, steps] {
            steps();
            if (form.isVisible())
                form.reject();
        });
    }

    // Runs the window on config while steps drive it; answers the window's answer.
    int Run(const std::function<void()> &steps)
    {
        WhenShown(steps);
        return form.Execute(config);
    }

    static void Type(QLineEdit *edit, const QString &text)
    {
        edit->selectAll();
        if (text.isEmpty())
            QTest::keyClick(edit, Qt::Key_Delete);
        else
            QTest::keyClicks(edit, text);
    }

    TUtils utils;
    TPButtons buttons;
    TConfigRecord config{};
    TfrmOutgoingServer form;
};

TEST_F(OutgoingEditTest, OpeningShowsTheSettingsAndApplyWaitsForAnEdit)
{
    bool stillOpen = false;
    int answer = Run([&] {
        EXPECT_EQ(form.windowTitle(), "Out Going Mail Server");
        EXPECT_EQ(form.LMDeMailServer->text(), "smtp.example.org");
        EXPECT_EQ(form.LMDePassword->text(), "secret");
        EXPECT_EQ(form.LMDeUserName->text(), "Jo Example");
        EXPECT_EQ(form.LMDeUserID->text(), "jo");
        form.LMDpfApply->Click(); // disabled until something is edited
        stillOpen = form.isVisible();
    });
    EXPECT_TRUE(stillOpen);
    EXPECT_EQ(answer, TfrmOutgoingServer::AnswerClosed);
}

TEST_F(OutgoingEditTest, ApplyStoresTheEntriesWithinTheirLimits)
{
    const QString longText(40, QChar('s'));
    int answer = Run([&] {
        Type(form.LMDeMailServer, longText);
        Type(form.LMDePassword, "0123456789abcdefXYZ");
        Type(form.LMDeUserID, longText);
        form.LMDpfApply->Click();
    });
    EXPECT_EQ(answer, TfrmOutgoingServer::AnswerApplied);
    // Each text keeps room for its terminating zero, and the next field stays intact.
    EXPECT_EQ(GetText(config.SmtpServer), std::string(31, 's'));
    EXPECT_EQ(GetText(config.SmtpPassword), "0123456789abcde");
    EXPECT_EQ(config.SmtpPassword[sizeof config.SmtpPassword - 1], '\0');
    EXPECT_EQ(GetText(config.SmtpUserName), "Jo Example");
    EXPECT_EQ(GetText(config.SmtpUserId), std::string(32, 's'));

    // The limit counts stored bytes: typed two-byte characters stop at 7 (14 bytes), and a
    // pasted text that would not fit is refused whole.
    const QString accented(1, QChar(0xE9));
    QString pastedServer;
    answer = Run([&] {
        Type(form.LMDePassword, "");
        for (int i = 0; i < 20; ++i)
            QTest::sendKeyEvent(QTest::Click, form.LMDePassword, Qt::Key_unknown, accented,
                                Qt::NoModifier);
        Type(form.LMDeMailServer, "mail.example.org");
        form.LMDeMailServer->insert(accented.repeated(20));
        pastedServer = form.LMDeMailServer->text();
        form.LMDpfApply->Click();
    });
    EXPECT_EQ(answer, TfrmOutgoingServer::AnswerApplied);
    EXPECT_EQ(QString::fromStdString(GetText(config.SmtpPassword)), accented.repeated(7));
    EXPECT_EQ(pastedServer, "mail.example.org");
    EXPECT_EQ(GetText(config.SmtpServer), "mail.example.org");

    // Emptied boxes store empty texts.
    answer = Run([&] {
        Type(form.LMDeUserID, "");
        form.LMDpfApply->Click();
    });
    EXPECT_EQ(answer, TfrmOutgoingServer::AnswerApplied);
    EXPECT_EQ(GetText(config.SmtpUserId), "");
    EXPECT_EQ(GetText(config.SmtpServer), "mail.example.org");
}

TEST_F(OutgoingEditTest, CloseAndFailedLoadLeaveTheSettingsAlone)
{
    TConfigRecord before = config;
    int answer = Run([&] {
        Type(form.LMDeMailServer, "changed.example.org");
        form.LMDpfClose->Click();
    });
    EXPECT_EQ(answer, TfrmOutgoingServer::AnswerClosed);
    EXPECT_EQ(GetText(config.SmtpServer), GetText(before.SmtpServer));

    // Load without an import program to start: a short wait, the answer unchanged.
    form.StartImport = [] { return false; };
    answer = Run([&] {
        Type(form.LMDeMailServer, "changed.example.org");
        form.LMDpfLoad->Click();
    });
    EXPECT_EQ(answer, TfrmOutgoingServer::AnswerClosed);
    EXPECT_EQ(GetText(config.SmtpServer), GetText(before.SmtpServer));
}

// A provider's refusal is shown in its own words, as plain text: markup in it is no link.
TEST_F(OutgoingEditTest, ProvidersRefusalIsShownAsPlainText)
{
    REQUIRE_FIXTURES();
    const fixtures::OAuthServer issuer = fixtures::OAuth2();
    testenv::TTestBrowser browser;
    Run([&] {
        TSignInBox *box = form.SignInBox;
        box->Show(
            {true, TProviderChoice::Issuer, issuer.issuer + "/hostile/deny", issuer.clientId});
        box->pfSignIn->Click();
        ASSERT_TRUE(fixtures::WaitUntil([box] {
            return box->lblState->text().startsWith("Sign-in failed");
        })) << box->lblState->text().toStdString();
        EXPECT_NE(box->lblState->text().indexOf(R"(<a href="https://phish.example/">Click)"), -1)
            << box->lblState->text().toStdString();
        EXPECT_EQ(box->lblState->textFormat(), Qt::PlainText);
    });
}

TEST_F(OutgoingEditTest, LoadThatRanTheImportAnswersTwo)
{
    int started = 0;
    form.StartImport = [&started] {
        ++started;
        return true;
    };
    int answer = Run([&] { form.LMDpfLoad->Click(); });
    EXPECT_EQ(started, 1);
    EXPECT_EQ(answer, TfrmOutgoingServer::AnswerImported);
    EXPECT_EQ(GetText(config.SmtpServer), "smtp.example.org");
}

} // namespace
