#include "korrind/proxysetup.h"

#include <QCheckBox>
#include <QEvent>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QVBoxLayout>

#include "common/text.h"
#include "common/ui/captionpanel.h"
#include "common/ui/contexthelp.h"
#include "common/ui/fieldentry.h"
#include "common/ui/panelbuttons.h"

namespace {

constexpr int ProxyHostLimit = FieldEntryLimit(sizeof(TConfigRecord::ProxyHost));
constexpr int PortLimit = 9;

} // namespace

TfrmProxyServer::TfrmProxyServer(QWidget *parent) : QDialog(parent)
{
    setWindowTitle("Proxy Server Setup");
    contexthelp::SetHelpKeyword(this, help::ProxyServer);
    auto *group = new QGroupBox("Proxy Server Settings", this);
    auto *grid = new QGridLayout(group);
    LMDeProxyServer = new QLineEdit(group);
    SetEntryLimit(LMDeProxyServer, ProxyHostLimit);
    LMDmePort = new QLineEdit(group);
    LMDmePort->setMaxLength(PortLimit);
    LMDcbxProxyActive = new QCheckBox("Activate Proxy Server", group);
    grid->addWidget(new QLabel("Proxy Server:", group), 0, 0);
    grid->addWidget(LMDeProxyServer, 0, 1);
    grid->addWidget(new QLabel("Port Number:", group), 1, 0);
    grid->addWidget(LMDmePort, 1, 1);
    grid->addWidget(LMDcbxProxyActive, 2, 0, 1, 2);

    // A click into any of the three (or typing, or the keyboard toggling the box) enables Apply.
    for (QWidget *control :
         {static_cast<QWidget *>(LMDeProxyServer), static_cast<QWidget *>(LMDmePort),
          static_cast<QWidget *>(LMDcbxProxyActive)})
        control->installEventFilter(this);
    connect(LMDeProxyServer, &QLineEdit::textEdited, this, [this] { EnableApply(true); });
    connect(LMDmePort, &QLineEdit::textEdited, this, [this] { EnableApply(true); });
    connect(LMDcbxProxyActive, &QCheckBox::clicked, this, [this] { EnableApply(true); });

    LMDpfApply = new TCaptionPanel("Apply", this);
    LMDpfClose = new TCaptionPanel("Close", this);
    auto *buttons = new QHBoxLayout;
    for (TCaptionPanel *panel : {LMDpfApply, LMDpfClose}) {
        panel->setMinimumSize(72, 24);
        buttons->addWidget(panel);
    }
    connect(LMDpfApply, &TCaptionPanel::clicked, this, [this] { LMDpfApplyClick(); });
    connect(LMDpfClose, &TCaptionPanel::clicked, this, [this] { LMDpfCloseClick(); });

    auto *layout = new QVBoxLayout(this);
    layout->addWidget(group);
    layout->addLayout(buttons);
}

bool TfrmProxyServer::eventFilter(QObject *watched, QEvent *event)
{
    if (event->type() == QEvent::MouseButtonPress)
        EnableApply(true);
    return QDialog::eventFilter(watched, event);
}

void TfrmProxyServer::EnableApply(bool enabled)
{
    if (PButtons)
        PButtons->SetEnabled(LMDpfApply, enabled);
    else
        LMDpfApply->setEnabled(enabled);
}

uint16_t TfrmProxyServer::PortFromText(const std::string &text)
{
    long long port = StrToIntDef(text, 0);
    return port >= 0 && port <= 65535 ? static_cast<uint16_t>(port) : 0;
}

void TfrmProxyServer::FormShow(const TConfigRecord &config)
{
    Applied = false;
    LMDeProxyServer->setText(QString::fromStdString(GetText(config.ProxyHost)));
    LMDmePort->setText(QString::number(config.ProxyPort));
    LMDcbxProxyActive->setChecked(config.ProxyActive != 0);
    EnableApply(false);
}

void TfrmProxyServer::StoreInto(TConfigRecord &config) const
{
    SetText(config.ProxyHost, LMDeProxyServer->text().toStdString());
    config.ProxyPort = PortFromText(LMDmePort->text().toStdString());
    config.ProxyActive = LMDcbxProxyActive->isChecked() ? 1 : 0;
}

bool TfrmProxyServer::Execute(TConfigRecord &config)
{
    FormShow(config);
    exec();
    if (Applied)
        StoreInto(config);
    return Applied;
}

void TfrmProxyServer::LMDpfApplyClick()
{
    if (!PButtons || !PButtons->Press(LMDpfApply))
        return;
    Applied = true;
    PButtons->Release(LMDpfApply);
    accept();
}

void TfrmProxyServer::LMDpfCloseClick()
{
    if (!PButtons || !PButtons->Press(LMDpfClose))
        return;
    PButtons->Release(LMDpfClose);
    reject();
}
