// The mailbox import window: what the installed mail programs know, shown for the user to tick;
// "Import" takes the ticked mailboxes and the first ticked outgoing server over and closes.
#pragma once

#include <QTimer>
#include <QWidget>
#include <functional>
#include <string>

#include "common/ui/companion.h"
#include "pelloway/emailsetup.h"

// The program's application title.
inline constexpr char ImportMailboxesTitle[] = "Import Mailboxes from registry";
// Said in the window when no mail program has an account to take over.
inline constexpr char NothingFoundText[] =
    "No POP3 or IMAP account found in Thunderbird, Evolution or KMail";

class QLabel;
class QLineEdit;
class QListWidget;
class TCaptionPanel;

class TEmailSetupFrm : public QWidget
{
public:
    explicit TEmailSetupFrm(QWidget *parent = nullptr);

    // Where the sources are looked for ("" for the user's own folders; tests set them).
    std::string Home;
    std::string ConfigHome;
    // Shows a failure of the import to the user (a message box unless replaced).
    std::function<void(const std::string &)> ShowError;
    // Delay from the first activation to the scan.
    int ScanDelayMs = 1000;

    // Fills the four lists; the timer calls it once after the first activation.
    void ScanMailClients();
    TImportResult LastImport;

    QLineEdit *eDefaultHandler;
    QListWidget *lbRegMailHandlers;
    QListWidget *clbRegisteredMailBoxs;
    QListWidget *clbSMTPServers;
    QLabel *lblNothingFound;    // shown after a scan that found no mailbox, with:
    TCaptionPanel *LMDpfByHand; // ends the import, asking the monitor for its mailbox editor
    TCaptionPanel *LMDpfImport;
    TCaptionPanel *LMDpfCancel;
    TCaptionPanel *LMDpfHelp;

protected:
    void showEvent(QShowEvent *event) override;

private:
    TCompanionObjects Objects; // first: the process-wide objects outlive every control
    TMailImport Import;
    QTimer ScanTimer;
    bool Scanned = false;

    void EnableImport(bool enabled);
    void TickChanged();
    void LMDpfImportClick();
    void LMDpfCancelClick();
    void LMDpfHelpClick();
    void LMDpfByHandClick();
};
