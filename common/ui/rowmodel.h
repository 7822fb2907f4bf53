// A Qt item model over a list of rows (TListRows): the Mailboxes and Summary lists of the main
// window show their rows through it. The rows stay owned by the data store; the model only
// presents them, passes check-box changes back, and sorts them in place by a column.
#pragma once

#include <QAbstractTableModel>
#include <QIcon>
#include <functional>
#include <string>
#include <vector>

#include "common/listrows.h"

// Sorts rows by one column: column 0 is the caption, column c the cell c − 1. Rows compare by
// the upper-case text of that column; descending reverses the order. Equal rows keep their order.
void SortRows(TListRows &rows, int column, bool descending);

class TRowModel : public QAbstractTableModel
{
public:
    // columns: the captions of the visible columns, the caption column first. checkable: the
    // first column carries the row's check box.
    TRowModel(TListRows &rows, std::vector<std::string> columns, bool checkable,
              QObject *parent = nullptr);

    int rowCount(const QModelIndex &parent = QModelIndex()) const override;
    int columnCount(const QModelIndex &parent = QModelIndex()) const override;
    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation,
                        int role = Qt::DisplayRole) const override;
    Qt::ItemFlags flags(const QModelIndex &index) const override;
    bool setData(const QModelIndex &index, const QVariant &value, int role = Qt::EditRole) override;

    // The rows were replaced or their number changed: the views start afresh.
    void Reload();
    // The rows changed: the views repaint, or start afresh when the number of rows changed.
    void Refresh();
    // Sorts the rows in place (see SortRows); selections follow their rows.
    void Sort(int column, bool descending);

    // The image shown before the caption for a row's image index (none when empty).
    std::function<QIcon(int image)> Images;
    // The tip shown over a row (none when empty or the text is empty).
    std::function<std::string(const TListRow &row)> ToolTip;
    // The user switched a row's check box; called after the row changed.
    std::function<void(int row)> OnCheckChanged;

private:
    TListRows &Rows;
    std::vector<std::string> Columns;
    bool Checkable;
    int ShownCount; // the number of rows the views were told about
};
