// TFilteringFrm: the rules manager's one window. It shows a TFilterList as a table and hands
// Add, Edit, Remove and Apply to it; rules are edited in the shared criteria editor.
#pragma once

#include <QWidget>
#include <functional>
#include <string>

#include "common/ui/companion.h"
#include "velmot/filtering.h"

class QLabel;
class QMenu;
class QTableView;
class TCaptionPanel;
class TRowModel;

class TFilteringFrm : public QWidget
{
public:
    explicit TFilteringFrm(const std::string &listFile, QWidget *parent = nullptr);
    ~TFilteringFrm() override;

    // The first activation: reads the settings and loads the list (later calls change
    // nothing). False when the list cannot be loaded: the program ends.
    bool Activate();

    // Shows an error to the user (a warning box unless replaced, e.g. by tests).
    std::function<void(const std::string &text)> ShowMessage;

private:
    TCompanionObjects Objects; // first: the process-wide objects outlive every control

public:
    TFilterList List;
    QTableView *lvFilterList;
    TCaptionPanel *LMDpfAdd, *LMDpfAddDrop, *LMDpfEdit, *LMDpfRemove, *LMDpfApply, *LMDpfHelp,
        *LMDpfClose;
    QLabel *LMDpfStatusBar;
    QMenu *pmAdd;

    void LMDpfAddClick();
    void LMDpfEditClick();
    void LMDpfRemoveClick();
    void LMDpfApplyClick();
    void LMDpfHelpClick();
    void LMDpfCloseClick();
    void lvFilterListColumnClick(int column);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    TCaptionPanel *Panel(const char *caption, const char *name);
    int SelectedRow() const;
    bool EditRow(bool blank, TRuleFields &fields);
    void RowsChanged();
    void FitColumns();
    void SetApplyEnabled(bool enabled);

    TRowModel *Model;
    bool Activated = false;
};
