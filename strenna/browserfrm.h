// TInboxFrm ("Saved Messages For: …"): the saved message manager's main window. It lists the
// ".eml" files of one mailbox folder and runs the commands on them; the logic is TMessageBrowser.
#pragma once

#include <QWidget>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "common/ui/companion.h"
#include "common/ui/windowstate.h"
#include "strenna/browser.h"
#include "strenna/mailsearch.h"

class QComboBox;
class QMenu;
class QProgressBar;
class QTableView;
class TCaptionPanel;
class TRowModel;
class TfrmMailSearch;
class TfrmSendTo;

inline constexpr char InboxStateKey[] = "\\Software\\Corvex\\Strenna\\Inbox";

class TInboxFrm : public QWidget
{
public:
    explicit TInboxFrm(const TStringList &parameters, QWidget *parent = nullptr);
    ~TInboxFrm() override;

    // What happens each time the window becomes the active window: the launch values are read
    // again from the parameter file (when one is watched), the settings and the mailbox index
    // are read again and the list is reloaded.
    void Activate();
    // Reads the parameter file at every activation, and switches to the mailbox it names as
    // soon as a later start of the program writes it.
    void WatchParameterFile(const std::string &path);
    // The first activation, unless the window system delivered it already.
    void ActivateOnce();
    // Rebuilds the list from the current folder with the current filter.
    void LoadMessageList();
    // Sorts by a column as a click on its header does.
    void SortByColumn(int column);
    // Completes the mailbox menu with the names of the mailbox index (each once).
    void FillMailboxMenu();
    void SelectMailbox(const std::string &name);
    void SelectRejected();
    void DeleteMessages(bool all);
    void AddRule(bool reject, bool master);
    void OpenWithMailer(const std::string &mailerName);
    std::vector<int> SelectedRows() const;
    // The search routine the search window calls: the hits of the files "Where" names.
    TSearchResult SearchMessages(const TSearchOptions &options);

    // Asks an OK/Cancel question with the title "Warning"; tests replace it.
    std::function<bool(const std::string &text)> Confirm;

    TMessageBrowser Browser;
    TRowModel *Model;
    TfrmSendTo *SendToWindow;
    TfrmMailSearch *SearchWindow;

    // Controls.
    QComboBox *LMDcbFilterType, *LMDcbFilterText;
    TCaptionPanel *LMDpfRefresh, *LMDpfSearch;
    QTableView *lvEmailList;
    TCaptionPanel *LMDpfInbox, *LMDpfSubMailboxes, *LMDpfRules, *LMDpfRunMail, *LMDpfSubRunMail,
        *LMDpfSend, *LMDpfDelete, *LMDpfSubDelete, *LMDpfHelp, *LMDpfClose;
    TCaptionPanel *LMDpfStatusBar, *LMDpfDate;
    QProgressBar *pbProgress;
    QMenu *pmMailBoxes, *pmRules, *pmRunMail, *pmDelete;

    // The window's size and column widths, kept between runs.
    TWindowState State;
    TColumnFit *Columns;

protected:
    bool event(QEvent *event) override;
    void closeEvent(QCloseEvent *event) override;

private:
    // The process-wide objects live as long as the main window and come first.
    TCompanionObjects Objects;
    std::string ParameterFile; // read at every activation when set

    TCaptionPanel *Panel(const char *caption);
    QWidget *BuildFilterBar();
    QWidget *BuildButtonBar();
    void BuildMenus();
    std::vector<TCaptionPanel *> Panels() const;
    void SetBusy(bool busy);
    void ReloadBusy();
    void ShowStatus(const std::string &text);
    void ShowToday();
    void SizeRunMail();
    bool Ask(const std::string &text);
    bool LoadProgress(int done, int total);

    void RefreshClick();
    void BrowseClick();
    void RunMailClick();
    void RunMailDropClick();
    void ForwardClick();
    void DeleteClick();
    void FilterTypeChange();
    void CloseClick();
    void SearchClick();
    void ParameterFileChanged();
    void KeepState();

    int ModalDepth = 0; // a question or editor of this window is open: activations are its own
    bool Loading = false;
    bool Activated = false;
    bool SettingsRead = false; // "Config.cfg" could be read at the last activation
    bool DefaultSized = false; // opened at the default size: widened to the first list's rows
};
