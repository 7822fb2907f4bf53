#include "common/ui/rowmodel.h"

#include <algorithm>
#include <numeric>

#include "common/text.h"

namespace {

const std::string &ColumnText(const TListRow &row, int column)
{
    return column == 0 ? row.Caption : row.Cell(std::size_t(column - 1));
}

// The rows' positions in sorted order.
std::vector<std::size_t> SortOrder(const TListRows &rows, int column, bool descending)
{
    std::vector<std::string> keys;
    keys.reserve(rows.size());
    for (const TListRow &row : rows)
        keys.push_back(UpperCase(ColumnText(row, column)));
    std::vector<std::size_t> order(rows.size());
    std::iota(order.begin(), order.end(), 0);
    std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
        return descending ? keys[b] < keys[a] : keys[a] < keys[b];
    });
    return order;
}

void Reorder(TListRows &rows, const std::vector<std::size_t> &order)
{
    TListRows sorted;
    sorted.reserve(rows.size());
    for (std::size_t from : order)
        sorted.push_back(std::move(rows[from]));
    rows = std::move(sorted);
}

} // namespace

void SortRows(TListRows &rows, int column, bool descending)
{
    Reorder(rows, SortOrder(rows, column, descending));
}

TRowModel::TRowModel(TListRows &rows, std::vector<std::string> columns, bool checkable,
                     QObject *parent)
    : QAbstractTableModel(parent), Rows(rows), Columns(std::move(columns)), Checkable(checkable),
      ShownCount(int(rows.size()))
{
}

int TRowModel::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : ShownCount;
}

int TRowModel::columnCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : int(Columns.size());
}

QVariant TRowModel::data(const QModelIndex &index, int role) const
{
    if (!index.isValid() || index.row() >= int(Rows.size()))
        return {}; // the rows shrank and the views are not told yet
    const TListRow &row = Rows[std::size_t(index.row())];
    switch (role) {
    case Qt::DisplayRole:
        return QString::fromStdString(ColumnText(row, index.column()));
    case Qt::CheckStateRole:
        if (Checkable && index.column() == 0)
            return row.Checked ? Qt::Checked : Qt::Unchecked;
        return {};
    case Qt::ToolTipRole:
        if (ToolTip) {
            const std::string tip = ToolTip(row);
            if (!tip.empty())
                return QString::fromStdString(tip);
        }
        return {};
    case Qt::DecorationRole:
        if (index.column() == 0 && Images)
            return Images(row.ImageIndex);
        return {};
    default:
        return {};
    }
}

QVariant TRowModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole || section < 0 ||
        section >= int(Columns.size()))
        return {};
    return QString::fromStdString(Columns[std::size_t(section)]);
}

Qt::ItemFlags TRowModel::flags(const QModelIndex &index) const
{
    if (!index.isValid())
        return Qt::NoItemFlags;
    Qt::ItemFlags result = Qt::ItemIsEnabled | Qt::ItemIsSelectable;
    if (Checkable && index.column() == 0)
        result |= Qt::ItemIsUserCheckable;
    return result;
}

bool TRowModel::setData(const QModelIndex &index, const QVariant &value, int role)
{
    if (role != Qt::CheckStateRole || !Checkable || index.column() != 0 || !index.isValid() ||
        index.row() >= int(Rows.size()) || index.row() >= ShownCount)
        return false;
    TListRow &row = Rows[std::size_t(index.row())];
    const bool checked = value.toInt() == Qt::Checked;
    if (row.Checked == checked)
        return true;
    row.Checked = checked;
    emit dataChanged(index, index, {Qt::CheckStateRole});
    if (OnCheckChanged)
        OnCheckChanged(index.row());
    return true;
}

void TRowModel::Reload()
{
    beginResetModel();
    ShownCount = int(Rows.size());
    endResetModel();
}

void TRowModel::Refresh()
{
    if (ShownCount != int(Rows.size())) {
        Reload();
        return;
    }
    if (ShownCount > 0)
        emit dataChanged(index(0, 0), index(ShownCount - 1, int(Columns.size()) - 1));
}

void TRowModel::Sort(int column, bool descending)
{
    if (ShownCount != int(Rows.size()))
        Reload();
    emit layoutAboutToBeChanged({}, QAbstractItemModel::VerticalSortHint);
    const std::vector<std::size_t> order = SortOrder(Rows, column, descending);
    std::vector<int> newRow(order.size());
    for (std::size_t to = 0; to < order.size(); ++to)
        newRow[order[to]] = int(to);
    Reorder(Rows, order);
    // Selections and the current row follow their rows to the new places.
    const QModelIndexList before = persistentIndexList();
    QModelIndexList after;
    for (const QModelIndex &old : before)
        after.append(index(newRow[std::size_t(old.row())], old.column()));
    changePersistentIndexList(before, after);
    emit layoutChanged({}, QAbstractItemModel::VerticalSortHint);
}
