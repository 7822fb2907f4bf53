// The "Proxy Server Setup" window driven offscreen.
#include <gtest/gtest.h>

#include <QCheckBox>
#include <QLineEdit>
#include <QTest>
#include <QTimer>
#include <functional>

#include "common/ui/captionpanel.h"
#include "common/ui/panelbuttons.h"
#include "korrind/proxysetup.h"
#include "support/modalsteps.h"

namespace {

class ProxySetupTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        PButtons = &buttons;
        SetText(config.ProxyHost, "proxy.lan");
        config.ProxyPort = 3128;
        config.ProxyActive = 1;
    }
    void TearDown() override { PButtons = nullptr; }

    // Runs steps once the window is up, then closes a window the steps left open.
    void WhenShown(const std::function<void()> &steps)
    {
        modalsteps::WhenShown(&form, [this, steps] {
            steps();
            if (form.isVisible())
                form.reject();
        });
    }

    bool Run(const std::function<void()> &steps)
    {
        WhenShown(steps);
        return form.Execute(config);
    }

    TPButtons buttons;
    TConfigRecord config{};
    TfrmProxyServer form;
};

TEST_F(ProxySetupTest, ApplyNeedsAClickIntoAControlAndStoresTheValues)
{
    bool openAfterFirstApply = false;
    bool applied = Run([&] {
        EXPECT_EQ(form.windowTitle(), "Proxy Server Setup");
        EXPECT_EQ(form.LMDeProxyServer->text(), "proxy.lan");
        EXPECT_EQ(form.LMDmePort->text(), "3128");
        EXPECT_TRUE(form.LMDcbxProxyActive->isChecked());
        form.LMDpfApply->Click();
        openAfterFirstApply = form.isVisible();
        QTest::mouseClick(form.LMDcbxProxyActive, Qt::LeftButton);
        form.LMDeProxyServer->setText(QString(20, QChar('p')));
        form.LMDmePort->setText("8080");
        form.LMDpfApply->Click();
    });
    EXPECT_TRUE(openAfterFirstApply);
    EXPECT_TRUE(applied);
    EXPECT_EQ(GetText(config.ProxyHost), std::string(15, 'p')); // room for the closing zero
    EXPECT_EQ(config.ProxyPort, 8080);
    EXPECT_EQ(config.ProxyActive, 0);
}

TEST_F(ProxySetupTest, PortsThatAreNoNumberOrTooLargeReadAsZero)
{
    EXPECT_EQ(TfrmProxyServer::PortFromText("80"), 80);
    EXPECT_EQ(TfrmProxyServer::PortFromText(" 65535 "), 65535);
    EXPECT_EQ(TfrmProxyServer::PortFromText("8o8o"), 0);
    EXPECT_EQ(TfrmProxyServer::PortFromText(""), 0);
    EXPECT_EQ(TfrmProxyServer::PortFromText("65536"), 0);
    EXPECT_EQ(TfrmProxyServer::PortFromText("-1"), 0);
}

TEST_F(ProxySetupTest, CloseLeavesTheSettingsAlone)
{
    bool applied = Run([&] {
        QTest::mouseClick(form.LMDmePort, Qt::LeftButton);
        form.LMDmePort->setText("1");
        form.LMDpfClose->Click();
    });
    EXPECT_FALSE(applied);
    EXPECT_EQ(config.ProxyPort, 3128);
    EXPECT_EQ(GetText(config.ProxyHost), "proxy.lan");
}

} // namespace
