// TfrmFilterCriteria ("Filter Editor"): the window in which a priority or rejection rule is
// created and changed. It shows a TRuleEditState and hands every change to it. Its alert names
// and sounds come from the alert list "Alerts.ini" of the rules folder, to which "Browse for
// Audio Alert" adds the chosen file, in every program.
#pragma once

#include <QDialog>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "common/filterparam.h"

class QButtonGroup;
class QCheckBox;
class QComboBox;
class QMenu;
class QSpinBox;
class QTabWidget;
class TCaptionPanel;

class TfrmFilterCriteria : public QDialog
{
public:
    TfrmFilterCriteria(const std::string &rulesFolder, QWidget *parent = nullptr);

    // The editor entry: opens the window modally on the fields (ignored when blank) and
    // replaces them by the edited rule when it was closed by Apply.
    bool Execute(const std::string &caption, bool blank, TRuleFields &fields);
    // Makes this window the rule editor of the program (EditRule, AddRuleFromMessage).
    static void Install(std::function<std::string()> rulesFolder);

    // Fills the window as it opens (Execute does this before showing it).
    void Open(const std::string &caption, bool blank, const TRuleFields &fields);
    const TRuleEditState &State() const { return state; }
    bool Accepted() const { return accepted; }

    // Controls (public so that the owner and tests can drive them).
    QTabWidget *tsPages;
    QButtonGroup *rgMatchBy;
    QComboBox *cbAddress, *cbSubject;
    QButtonGroup *rgAddressMode, *rgSubjectMode;
    QComboBox *cbAddressQuick, *cbSubjectQuick;
    QComboBox *cbAlert;
    TCaptionPanel *LMDpfBrowseAlert, *LMDpfPlayAlert;
    QCheckBox *LMDcbForward, *LMDcbToMobile;
    QSpinBox *LMDseMaxSize;
    QComboBox *cbDestination;
    QCheckBox *LMDcbSaveToInbox, *LMDcbDelete, *LMDcbAutoSave;
    QComboBox *cbAltFolder;
    TCaptionPanel *LMDpfBrowseFolder;
    TCaptionPanel *LMDpfAccept, *LMDpfCancel;

private:
    QWidget *BuildCriteriaPage();
    QWidget *BuildActionsPage();
    void ConnectChanges();
    void ShowState();
    void ShowPanelEnabled(TCaptionPanel *panel, bool enabled);
    void ReadControls();
    void Change(const std::function<void()> &change);
    void FillAlerts();
    void FillHistory(QComboBox *box, THistoryList &history);
    void HistoryMenu(QComboBox *box, THistoryList &history, const QPoint &pos);
    void LMDpfAcceptClick();
    void LMDpfCancelClick();
    void LMDpfBrowseFolderClick();
    void LMDpfBrowseAlertClick();
    void LMDpfPlayAlertClick();

    std::string rulesFolder;
    TRuleEditState state;
    THistoryList destinations, altFolders;
    bool accepted = false;
    bool showing = false; // controls are being filled from the state
    std::map<TCaptionPanel *, bool> panelsShown;
};
