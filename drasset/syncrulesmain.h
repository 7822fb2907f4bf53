// TSyncRulesFrm ("Sync Mailbox Rules"): the mode choice, "Continue" (choose the rules source
// and start), and the timer that treats one list file per tick.
#pragma once

#include <QTimer>
#include <QWidget>
#include <functional>
#include <string>

#include "common/helptopics.h"
#include "common/ui/companion.h"
#include "drasset/syncrules.h"

// The program's application title.
inline constexpr char SyncRulesTitle[] = "Corvex Sync Rules";

class QLabel;
class QRadioButton;
class TCaptionPanel;

class TSyncRulesFrm : public QWidget
{
public:
    explicit TSyncRulesFrm(QWidget *parent = nullptr);
    ~TSyncRulesFrm() override;

    // Loads the files to treat from the parameter lines; false when there are none.
    bool Activate(const TStringList &parameters);

    // Asks for the rules source ("" when cancelled); tests replace it.
    std::function<std::string()> ChooseRulesSource;
    // Shows an error or a report to the user; tests replace it.
    std::function<void(const std::string &text)> ShowMessage;

private:
    TCompanionObjects Objects; // first: the process-wide objects outlive every control

public:
    TSyncRules Sync;
    QTimer Timer1;
    QLabel *lblHeading;
    QRadioButton *LMDrbReplaceDest, *LMDrbReplaceLocal, *LMDrbCombine;
    TCaptionPanel *LMDpfContinue, *LMDpfHelp, *LMDpfCancel;
    QLabel *StatusBar;

    void LMDpfContinueClick();
    void LMDpfHelpClick();
    void LMDpfCancelClick();
    void Timer1Timer();

private:
    TCaptionPanel *Panel(const char *caption, const char *name, help::TContext helpContext);
    uint16_t SelectedMode() const;
    void SetStatus(const std::string &text);
    void SetRunning(bool running);
    void Finish();
};
