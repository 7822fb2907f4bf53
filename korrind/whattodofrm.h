// TfrmWhatToDo: the new-mail decision prompt ("Would you like to:"), shown after the user read
// the newest message of a mailbox. Its six boxes interlock; OK answers the checked ones.
#pragma once

#include <QDialog>
#include <vector>

class QCheckBox;
class TCaptionPanel;

class TfrmWhatToDo : public QDialog
{
    Q_OBJECT
public:
    explicit TfrmWhatToDo(QWidget *owner = nullptr);

    // With the prompt off answers wdDontShow at once; otherwise shows the prompt with only
    // "Do nothing" checked and answers the bits of the boxes checked at OK (0 on Esc).
    unsigned AskWhatToDo(bool promptOff);

    QCheckBox *LMDcbSave;
    QCheckBox *LMDcbDelete;
    QCheckBox *LMDcbDontShow;
    QCheckBox *LMDcbAddPriority;
    QCheckBox *LMDcbAddReject;
    QCheckBox *LMDcbDoNothing;
    TCaptionPanel *LMDpfClose;

private:
    QCheckBox *Box(const char *caption, const char *hint, const char *name, unsigned bit);
    unsigned CheckedBoxes() const;
    void SetBoxes(unsigned boxes);
    void BoxChecked(unsigned bit);
    void LMDpfCloseClick();

    std::vector<std::pair<QCheckBox *, unsigned>> Boxes;
    bool Interlocking = false; // set while code changes the boxes
};
