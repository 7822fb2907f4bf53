// TAliasFrm: the alias manager's window. It edits the "Alias.ini" of one mailbox as a check
// list (a checked entry is an active alias). Nothing is written until Apply was pressed; the
// list is then saved when the window closes, by its Close button or its close box.
#pragma once

#include <QDialog>
#include <functional>
#include <string>

#include "common/stringlist.h"
#include "common/ui/companion.h"

class QListWidget;
class QListWidgetItem;
class TCaptionPanel;

class TAliasFrm : public QDialog
{
    Q_OBJECT
public:
    explicit TAliasFrm(QWidget *parent = nullptr);

    // First activation: reads the list of the inbox folder, creating an empty one when there
    // is none. False when it can be neither read nor created (the program then ends).
    bool Activate(const std::string &inboxFolder);

    // Shows a message to the user; tests replace it.
    std::function<void(const std::string &text)> ShowMessage;

    std::string AliasFile;
    TStringList Lines;
    bool Applied = false;

    QListWidget *clbAlais;
    TCaptionPanel *LMDpfAdd;
    TCaptionPanel *LMDpfEdit;
    TCaptionPanel *LMDpfRemove;
    TCaptionPanel *LMDpfApply;
    TCaptionPanel *LMDpfHelp;
    TCaptionPanel *LMDpfClose;

protected:
    void closeEvent(QCloseEvent *event) override;
    void reject() override; // Esc closes like the close box

private:
    TCaptionPanel *Panel(const char *caption, const char *name);
    void FillList();
    void AddEntry(const std::string &alias, bool active);
    QListWidgetItem *FirstSelected() const;
    void ListChanged();
    bool AskAlias(std::string &text, const char *caption);
    bool SaveIfApplied();

    void LMDpfAddClick();
    void LMDpfEditClick();
    void LMDpfRemoveClick();
    void LMDpfApplyClick();
    void LMDpfHelpClick();
    void LMDpfCloseClick();

    // TUtils, TGlobals and TPButtons live as long as the window; created first, freed last.
    TCompanionObjects Objects;
};
