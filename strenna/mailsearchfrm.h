// TfrmMailSearch ("Find Text"): finds a text in saved messages through the search handler the
// browser installs, shows one row per hit, and opens or deletes a hit's message.
#pragma once

#include <QWidget>
#include <functional>

#include "common/listrows.h"
#include "common/ui/windowstate.h"
#include "strenna/mailsearch.h"

class QButtonGroup;
class QCheckBox;
class QComboBox;
class QGroupBox;
class QLabel;
class QMenu;
class QTableView;
class TCaptionPanel;
class TRowModel;

class TfrmMailSearch : public QWidget
{
public:
    explicit TfrmMailSearch(QWidget *parent = nullptr);
    ~TfrmMailSearch() override;

    // Opens the window: "Listed Messages", an empty text, the focus in the text.
    void ShowSearch();
    // "Begin": searches with the window's settings and shows the hits.
    void Begin();
    void Clear();
    void DeleteSelected();
    void OpenWithMailer(const std::string &mailerName);

    // The browser's search routine; without it "Begin" does nothing.
    std::function<TSearchResult(const TSearchOptions &options)> SearchHandler;
    // Shows a message and asks an OK/Cancel question; tests replace them.
    std::function<void(const std::string &text)> Inform;
    std::function<bool(const std::string &text)> Confirm;

    TSearchOptions Options() const;
    std::vector<TSearchHit> Hits; // the hits the rows show, row for row
    TListRows Rows;
    TRowModel *Model;

    QComboBox *LMDcbSearchStr;
    QCheckBox *LMDcbxCaseSense, *LMDcbxWholeWord;
    QGroupBox *LMDgbOptions, *LMDrgWhere;
    QButtonGroup *WhereButtons;
    QTableView *lvSrchResult;
    TCaptionPanel *LMDpfBegin, *LMDpfClear, *LMDpfRunMail, *LMDpfSubRunMail, *LMDpfDelete,
        *LMDpfHelp, *LMDpfClose;
    QLabel *lbHits;
    QMenu *pmRunMail;
    // The window's size and column widths, kept between runs.
    TWindowState State;
    TColumnFit *Columns;

protected:
    void closeEvent(QCloseEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;

private:
    TCaptionPanel *Panel(const char *name, const char *caption);
    void ShowHits(const TSearchResult &result);
    int SelectedRow() const;
    void KeepState();
};
