#include "common/ui/windowstate.h"

#include <QApplication>
#include <QEvent>
#include <QHeaderView>
#include <QScreen>
#include <QScrollBar>
#include <QStyle>
#include <QTableView>
#include <QWidget>
#include <algorithm>

#include "common/platform/registry.h"
#include "common/text.h"
#include "common/utils.h"

namespace {

constexpr char WidthValue[] = "Width";
constexpr char HeightValue[] = "Height";
constexpr char MaximizedValue[] = "Maximized";
constexpr char ColumnsValue[] = "Columns";
// Beyond this a kept number is taken as damage, not as a size.
constexpr long long MaxPixels = 100000;

int Pixels(const std::string &text)
{
    const long long value = StrToIntDef(Trim(text), 0);
    return value > 0 && value <= MaxPixels ? int(value) : 0;
}

std::string Text(const platform::TRegKey &key, const char *name)
{
    for (const platform::TRegValue &value : key.Values)
        if (SameText(value.Name, name))
            return value.Data;
    return {};
}

} // namespace

int TWindowState::Column(int column) const
{
    return column >= 0 && column < int(Columns.size()) ? Columns[size_t(column)] : 0;
}

void TWindowState::SetColumn(int column, int width)
{
    if (column < 0)
        return;
    if (column >= int(Columns.size()))
        Columns.resize(size_t(column) + 1, 0);
    Columns[size_t(column)] = std::max(0, width);
}

TWindowState LoadWindowState(const std::string &key)
{
    TWindowState state;
    platform::TRegistryFile file;
    if (!file.Load())
        return state;
    const platform::TRegKey *found = file.FindKey(platform::TRegRoot::User, key);
    if (!found)
        return state;
    state.Width = Pixels(Text(*found, WidthValue));
    state.Height = Pixels(Text(*found, HeightValue));
    if (!state.HasSize())
        state.Width = state.Height = 0;
    state.Maximized = Trim(Text(*found, MaximizedValue)) == "1";
    for (const std::string &width : SplitText(Text(*found, ColumnsValue), ','))
        state.Columns.push_back(Pixels(width));
    return state;
}

bool SaveWindowState(const std::string &key, const TWindowState &state)
{
    platform::TRegistryFile file;
    // A file that is there but cannot be read is left alone: saving would drop its other keys.
    if (!file.Load() && TUtils::FileExists(file.Path()))
        return false;
    const platform::TRegRoot root = platform::TRegRoot::User;
    file.SetString(root, key, WidthValue, std::to_string(state.Width));
    file.SetString(root, key, HeightValue, std::to_string(state.Height));
    file.SetString(root, key, MaximizedValue, state.Maximized ? "1" : "0");
    std::vector<std::string> widths;
    for (int width : state.Columns)
        widths.push_back(std::to_string(width));
    file.SetString(root, key, ColumnsValue, JoinText(widths, ","));
    return file.Save();
}

void CaptureWindowSize(const QWidget *window, TWindowState &state)
{
    state.Maximized = window->isMaximized();
    const QSize size = state.Maximized ? window->normalGeometry().size() : window->size();
    if (size.isEmpty())
        return;
    state.Width = size.width();
    state.Height = size.height();
}

void RestoreWindowSize(QWidget *window, const TWindowState &state, QSize fallback)
{
    QScreen *screen = window->screen() ? window->screen() : QApplication::primaryScreen();
    const QSize desktop = screen ? screen->availableGeometry().size() : QSize(1024, 768);
    QSize size = state.HasSize() ? QSize(state.Width, state.Height) : fallback;
    size = size.expandedTo(window->minimumSize()).boundedTo(desktop);
    window->resize(size);
    window->setWindowState(state.Maximized ? window->windowState() | Qt::WindowMaximized
                                           : window->windowState() & ~Qt::WindowMaximized);
}

namespace {

constexpr int CellPadding = 12; // a cell's margins and its grid line

// The highest level at which the columns, none above its wanted width or below its floor,
// fit into available; the widest wanted width when they fit as they are.
int FitLevel(const std::vector<int> &wanted, const std::vector<int> &floor, int available)
{
    auto total = [&](int level) {
        int sum = 0;
        for (size_t column = 0; column < wanted.size(); ++column)
            sum += std::min(wanted[column], std::max(level, floor[column]));
        return sum;
    };
    int high = wanted.empty() ? 0 : *std::max_element(wanted.begin(), wanted.end());
    if (total(high) <= available)
        return high;
    int low = 0;
    while (low < high) {
        const int middle = (low + high + 1) / 2;
        if (total(middle) <= available)
            low = middle;
        else
            high = middle - 1;
    }
    return low;
}

} // namespace

TColumnFit::TColumnFit(QTableView *view, int stretchColumn, int maxChars)
    : QObject(view), View(view), Stretch(stretchColumn), MaxChars(maxChars)
{
    View->horizontalHeader()->setStretchLastSection(false);
    View->viewport()->installEventFilter(this);
    connect(View->horizontalHeader(), &QHeaderView::sectionResized, this,
            [this](int column, int, int width) { Resized(column, width); });
    // A reset gives every column the header's default width: that is no choice of the user.
    if (QAbstractItemModel *model = View->model()) {
        connect(model, &QAbstractItemModel::modelAboutToBeReset, this, [this] { Sizing = true; });
        connect(model, &QAbstractItemModel::modelReset, this, [this] { Sizing = false; });
    }
}

void TColumnFit::Measure()
{
    QAbstractItemModel *model = View->model();
    const int columns = model ? model->columnCount() : 0;
    const int rows = model ? model->rowCount() : 0;
    const QFontMetrics metrics = View->fontMetrics();
    const int icon = View->style()->pixelMetric(QStyle::PM_SmallIconSize) + 4;
    Content.assign(size_t(columns), 0);
    const int step = std::max(1, rows / MeasuredRows);
    for (int row = 0; row < rows; row += step)
        for (int column = 0; column < columns; ++column) {
            const QModelIndex index = model->index(row, column);
            int width = metrics.horizontalAdvance(index.data(Qt::DisplayRole).toString());
            if (!index.data(Qt::DecorationRole).isNull())
                width += icon;
            Content[size_t(column)] = std::max(Content[size_t(column)], width);
        }
    for (int &width : Content)
        width = std::min(width + CellPadding, MaxChars * metrics.averageCharWidth());
    Fit();
}

std::vector<int> TColumnFit::Wanted() const
{
    QHeaderView *header = View->horizontalHeader();
    std::vector<int> wanted(size_t(header->count()), 0);
    for (int column = 0; column < header->count(); ++column) {
        const int kept = State ? State->Column(column) : 0;
        const int content = column < int(Content.size()) ? Content[size_t(column)] : 0;
        wanted[size_t(column)] =
            kept > 0 ? kept : std::max(content, header->sectionSizeHint(column));
    }
    return wanted;
}

int TColumnFit::WantedWidth() const
{
    int sum = 0;
    for (int width : Wanted())
        sum += width;
    return sum;
}

void TColumnFit::Fit()
{
    QHeaderView *header = View->horizontalHeader();
    std::vector<int> wanted = Wanted();
    std::vector<int> floor(wanted.size());
    int total = 0;
    for (size_t column = 0; column < wanted.size(); ++column) {
        floor[column] = std::min(wanted[column], header->sectionSizeHint(int(column)));
        total += wanted[column];
    }
    const int available = View->viewport()->width();
    for (int column : GiveFirst) {
        if (total <= available || column < 0 || column >= int(wanted.size()))
            continue;
        const int given =
            std::min(total - available, wanted[size_t(column)] - floor[size_t(column)]);
        wanted[size_t(column)] -= given;
        total -= given;
    }
    const int level = FitLevel(wanted, floor, available);
    const bool sizing = Sizing;
    Sizing = true;
    int others = 0;
    for (size_t column = 0; column < wanted.size(); ++column) {
        const int width = std::min(wanted[column], std::max(level, floor[column]));
        if (int(column) == Stretch)
            continue;
        header->resizeSection(int(column), width);
        others += width;
    }
    if (Stretch >= 0 && Stretch < int(wanted.size())) {
        const size_t column = size_t(Stretch);
        const int width = std::min(wanted[column], std::max(level, floor[column]));
        header->resizeSection(Stretch, std::max(width, available - others));
    }
    Sizing = sizing;
}

void TColumnFit::WidenWindow(QWidget *window) const
{
    QScreen *screen = window->screen() ? window->screen() : QApplication::primaryScreen();
    const QRect desktop = screen ? screen->availableGeometry() : QRect(0, 0, 1024, 768);
    // Room for the vertical scroll bar whether or not it shows yet.
    const int chrome = window->width() - View->viewport()->width() +
                       (View->verticalScrollBar()->isVisible()
                            ? 0
                            : View->style()->pixelMetric(QStyle::PM_ScrollBarExtent));
    const int wanted = std::min(desktop.width(), WantedWidth() + chrome);
    if (wanted <= window->width())
        return;
    // Grown on both sides alike, within the screen.
    const int left = window->x() - (wanted - window->width()) / 2;
    window->resize(wanted, window->height());
    window->move(std::clamp(left, desktop.left(), desktop.right() + 1 - wanted), window->y());
}

void TColumnFit::Resized(int column, int width)
{
    if (Sizing)
        return;
    if (State)
        State->SetColumn(column, width);
    if (column != Stretch)
        Fit(); // the stretching column gives or takes the difference
}

bool TColumnFit::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == View->viewport() && event->type() == QEvent::Resize)
        Fit();
    return QObject::eventFilter(watched, event);
}
