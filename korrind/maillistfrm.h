// TMailListFrm: the server mail list window. It shows the rows TMailList keeps and hands the
// user's commands to it; every server command connects, works and disconnects.
#pragma once

#include <QDialog>
#include <QTimer>
#include <functional>
#include <string>
#include <vector>

#include "korrind/maillist.h"

class QLabel;
class QMenu;
class QTableView;
class TCaptionPanel;
class TMailListModel;

inline constexpr int MailListMinWidth = 600;
inline constexpr int MailListMinHeight = 200;

class TMailListFrm : public QDialog
{
public:
    TMailListFrm(TListRows &mailboxes, QWidget *parent = nullptr);
    ~TMailListFrm() override;

    TMailList List;
    // Runs the window modally; answers 2 when a message was deleted on a server, else 0.
    int ShowMailList(const std::string &mailboxName);
    bool IsOpen() const { return Opened; }

    // Questions the window asks; tests replace them.
    std::function<bool(const std::string &text)> Confirm; // OK / Cancel
    // The save dialog: the chosen file, "" when cancelled.
    std::function<std::string(const std::string &suggested)> ChooseSaveFile;
    // Runs after the list was filled (tests use it to act inside the modal loop).
    std::function<void()> OnFilled;

    QTableView *lvMailList;
    TCaptionPanel *LMDpfSave, *LMDpfSubSave, *LMDpfDelete, *LMDpfSubDelete, *LMDpfRefresh;
    TCaptionPanel *LMDpfRunMail, *LMDpfRunMailDrop, *LMDpfInbox, *LMDpfRules, *LMDpfClose;
    QLabel *LMDpfStatusBar;
    QMenu *pmSave, *pmDelete, *pmMailers, *pmRules, *pmMailList;
    QTimer GetSummaryTimer;

    // ---- commands
    void FillMailList();
    void DeleteSelected();
    void DeleteAll();
    void SaveClick();
    void SaveMessages(bool all);
    void RunMail(const std::string &program);
    void InboxClick();
    void AddSender(bool reject, bool master);
    void CloseClick();
    std::vector<size_t> SelectedRows() const;
    void SelectAll();

protected:
    void showEvent(QShowEvent *event) override;

private:
    TCaptionPanel *Panel(const char *name, const char *caption);
    void BuildMenus();
    void SetBusy(bool busy);
    void ShowStatus(const std::string &text);
    void Guarded(TCaptionPanel *panel, const std::function<void()> &work);
    std::string RunMailName() const;

    TMailListModel *Model;
    bool Opened = false;
};
