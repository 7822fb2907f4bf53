#include "pelloway/emailsetupfrm.h"

#include <QCoreApplication>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QVBoxLayout>

#include "common/globals.h"
#include "common/plugins.h"
#include "common/records.h"
#include "common/ui/captionpanel.h"
#include "common/ui/contexthelp.h"
#include "common/ui/panelbuttons.h"
#include "common/ui/placement.h"

namespace {

QListWidgetItem *CheckItem(const TImportEntry &entry)
{
    auto *item = new QListWidgetItem(QString::fromStdString(entry.Caption()));
    item->setToolTip(QString::fromStdString(entry.Account.Source));
    if (entry.Importable()) {
        item->setFlags(Qt::ItemIsEnabled | Qt::ItemIsUserCheckable | Qt::ItemIsSelectable);
        item->setCheckState(Qt::Unchecked);
    } else {
        item->setFlags(Qt::NoItemFlags); // listed, greyed, with its reason, never ticked
    }
    return item;
}

std::vector<int> TickedRows(const QListWidget *list)
{
    std::vector<int> rows;
    for (int row = 0; row < list->count(); ++row)
        if (list->item(row)->checkState() == Qt::Checked)
            rows.push_back(row);
    return rows;
}

} // namespace

TEmailSetupFrm::TEmailSetupFrm(QWidget *parent) : QWidget(parent)
{
    setWindowTitle("Import Mailboxes From Registry");
    CloseOnEscape(this);
    contexthelp::SetHelpKeyword(this, help::MailboxImport);
    ShowError = [this](const std::string &text) {
        QMessageBox::warning(this, "Warning", QString::fromStdString(text));
    };

    eDefaultHandler = new QLineEdit(this);
    eDefaultHandler->setReadOnly(true);
    lbRegMailHandlers = new QListWidget(this);
    clbRegisteredMailBoxs = new QListWidget(this);
    clbSMTPServers = new QListWidget(this);
    eDefaultHandler->setObjectName("eDefaultHandler");
    lbRegMailHandlers->setObjectName("lbRegMailHandlers");
    clbRegisteredMailBoxs->setObjectName("clbRegisteredMailBoxs");
    clbSMTPServers->setObjectName("clbSMTPServers");

    auto *grid = new QGridLayout;
    grid->addWidget(new QLabel("Default Mail Handler", this), 0, 0);
    grid->addWidget(eDefaultHandler, 1, 0);
    grid->addWidget(new QLabel("Registered Mail Clients", this), 2, 0);
    grid->addWidget(lbRegMailHandlers, 3, 0);
    grid->addWidget(new QLabel("Registered Mail Boxes", this), 0, 1);
    grid->addWidget(clbRegisteredMailBoxs, 1, 1, 3, 1);
    grid->addWidget(new QLabel("Registered SMTP Servers", this), 4, 0, 1, 2);
    grid->addWidget(clbSMTPServers, 5, 0, 1, 2);

    LMDpfImport = new TCaptionPanel("Import", this);
    LMDpfCancel = new TCaptionPanel("Close", this);
    LMDpfHelp = new TCaptionPanel("Help", this);
    LMDpfImport->setObjectName("LMDpfImport");
    LMDpfCancel->setObjectName("LMDpfCancel");
    LMDpfHelp->setObjectName("LMDpfHelp");
    contexthelp::SetHelpContext(eDefaultHandler, help::ImportDefaultHandler);
    contexthelp::SetHelpContext(lbRegMailHandlers, help::ImportMailClients);
    contexthelp::SetHelpContext(clbRegisteredMailBoxs, help::ImportMailboxes);
    contexthelp::SetHelpContext(clbSMTPServers, help::ImportSmtpServers);
    contexthelp::SetHelpContext(LMDpfImport, help::Import);
    contexthelp::SetHelpContext(LMDpfCancel, help::ImportClose);
    contexthelp::SetHelpContext(LMDpfHelp, help::HelpButton);
    auto *buttons = new QHBoxLayout;
    for (TCaptionPanel *panel : {LMDpfImport, LMDpfCancel, LMDpfHelp}) {
        panel->setMinimumSize(72, 24);
        buttons->addWidget(panel);
    }
    connect(LMDpfImport, &TCaptionPanel::clicked, this, [this] { LMDpfImportClick(); });
    connect(LMDpfCancel, &TCaptionPanel::clicked, this, [this] { LMDpfCancelClick(); });
    connect(LMDpfHelp, &TCaptionPanel::clicked, this, [this] { LMDpfHelpClick(); });
    for (QListWidget *list : {clbRegisteredMailBoxs, clbSMTPServers})
        connect(list, &QListWidget::itemChanged, this, [this] { TickChanged(); });

    lblNothingFound = new QLabel(NothingFoundText, this);
    lblNothingFound->setObjectName("lblNothingFound");
    lblNothingFound->hide();
    LMDpfByHand = new TCaptionPanel("Mailbox Editor", this);
    LMDpfByHand->setObjectName("LMDpfByHand");
    LMDpfByHand->setToolTip("Enter a mailbox by hand in the monitor's mailbox editor");
    LMDpfByHand->setMinimumSize(110, 24);
    LMDpfByHand->hide();
    connect(LMDpfByHand, &TCaptionPanel::clicked, this, [this] { LMDpfByHandClick(); });
    auto *nothingFound = new QHBoxLayout;
    nothingFound->addWidget(lblNothingFound, 1);
    nothingFound->addWidget(LMDpfByHand);

    auto *layout = new QVBoxLayout(this);
    layout->addLayout(grid);
    layout->addLayout(nothingFound);
    layout->addLayout(buttons);

    ScanTimer.setSingleShot(true);
    connect(&ScanTimer, &QTimer::timeout, this, [this] { ScanMailClients(); });
}

void TEmailSetupFrm::showEvent(QShowEvent *event)
{
    QWidget::showEvent(event);
    if (Scanned || ScanTimer.isActive())
        return;
    EnableImport(false);
    ScanTimer.start(ScanDelayMs);
}

void TEmailSetupFrm::EnableImport(bool enabled)
{
    PButtons->SetEnabled(LMDpfImport, enabled);
}

void TEmailSetupFrm::ScanMailClients()
{
    Scanned = true;
    Import.Scan(Home, ConfigHome);
    eDefaultHandler->setText(QString::fromStdString(Import.DefaultHandler));
    for (const std::string &handler : Import.MailHandlers)
        lbRegMailHandlers->addItem(QString::fromStdString(handler));

    const QSignalBlocker mailboxes(clbRegisteredMailBoxs);
    const QSignalBlocker servers(clbSMTPServers);
    clbRegisteredMailBoxs->clear();
    clbSMTPServers->clear();
    for (const TImportEntry &entry : Import.Mailboxes)
        clbRegisteredMailBoxs->addItem(CheckItem(entry));
    for (const TImportEntry &entry : Import.SmtpServers)
        clbSMTPServers->addItem(CheckItem(entry));
    lblNothingFound->setVisible(Import.Mailboxes.empty());
    LMDpfByHand->setVisible(Import.Mailboxes.empty());
    // The mail programs' default outgoing server starts ticked, and Import with it.
    if (const int row = Import.DefaultSmtpIndex(); row >= 0) {
        clbSMTPServers->item(row)->setCheckState(Qt::Checked);
        EnableImport(true);
    }
}

void TEmailSetupFrm::TickChanged()
{
    EnableImport(!TickedRows(clbRegisteredMailBoxs).empty());
}

void TEmailSetupFrm::LMDpfImportClick()
{
    if (!PButtons->Press(LMDpfImport))
        return;
    std::vector<int> servers = TickedRows(clbSMTPServers);
    LastImport =
        Import.Import(TickedRows(clbRegisteredMailBoxs), servers.empty() ? -1 : servers.front());
    PButtons->Release(LMDpfImport);
    if (!LastImport.Ok) {
        ShowError(LastImport.Error);
        return;
    }
    close();
}

void TEmailSetupFrm::LMDpfCancelClick()
{
    if (!PButtons->Press(LMDpfCancel))
        return;
    PButtons->Release(LMDpfCancel);
    close();
}

void TEmailSetupFrm::LMDpfByHandClick()
{
    if (!PButtons->Press(LMDpfByHand))
        return;
    PButtons->Release(LMDpfByHand);
    hide();
    QCoreApplication::exit(EditMailboxByHandExitCode);
}

void TEmailSetupFrm::LMDpfHelpClick()
{
    if (!PButtons->Press(LMDpfHelp))
        return;
    contexthelp::ShowWindowHelp(this);
    PButtons->Release(LMDpfHelp);
}
