// TMailListFrm: the server mail list window. It shows the rows TMailList keeps and hands the
// user's commands to it; every server command connects, works and disconnects.
#pragma once

#include <QDialog>
#include <QTimer>
#include <functional>
#include <string>
#include <vector>

#include "common/ui/windowstate.h"
#include "korrind/maillist.h"

class QLabel;
class QMenu;
class QTableView;
class TCaptionPanel;
class TMailListModel;

inline constexpr int MailListMinWidth = 600;
inline constexpr int MailListMinHeight = 200;
inline constexpr int MailListMinRows = 15; // rows the list shows at the default size

// What the user made of the window, kept from one opening to the next and between runs: its
// size and the widths of the columns the user resized (0: sized to the content).
using TMailListLayout = TWindowState;
inline constexpr char MailListStateKey[] = "\\Software\\Corvex\\Korrind\\MailList";

class TMailListFrm : public QDialog
{
public:
    TMailListFrm(TListRows &mailboxes, QWidget *parent = nullptr);
    ~TMailListFrm() override;

    TMailList List;
    // Where the window's size and the user's column widths are kept between openings; the
    // window's own while nobody keeps them.
    TMailListLayout *Layout = &OwnLayout;
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
    // Selects the row of List.Rows alone and scrolls it into view.
    void SelectRow(size_t row);

protected:
    void showEvent(QShowEvent *event) override;

private:
    TCaptionPanel *Panel(const char *name, const char *caption);
    void BuildMenus();
    void SetBusy(bool busy);
    void ShowStatus(const std::string &text);
    void Guarded(TCaptionPanel *panel, const std::function<void()> &work);
    std::string RunMailName() const;
    // The rows replaced: shown from the top, the columns measured again after a fill (at
    // the default size the window widens, within the screen, to show every column whole).
    void RowsReset(bool refilled);
    void PlaceWindow();
    void KeepLayout();

    TMailListModel *Model;
    bool Opened = false;
    TMailListLayout OwnLayout;
    TColumnFit *Columns;       // the Subject takes the width the other columns leave
    bool DefaultSized = false; // opened at the default size, not at one the user left
};
