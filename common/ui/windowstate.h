// A window's size and the widths of its list's columns, kept between runs of the program.
//
// They live in the registry file of the data root (platform::TRegistryFile) under the user
// root, one key per window, as text values "Width", "Height", "Maximized" and "Columns" (the
// widths joined by ","; 0 stands for a column sized to its content). A missing or unreadable
// key gives the empty state; saving rewrites the file atomically, so a crash cannot lose the
// other keys in it.
#pragma once

#include <QObject>
#include <QSize>
#include <algorithm>
#include <string>
#include <vector>

class QTableView;
class QWidget;

struct TWindowState
{
    int Width = 0, Height = 0; // 0: the window's default size
    bool Maximized = false;
    std::vector<int> Columns; // widths the user gave; 0: sized to the content

    bool HasSize() const { return Width > 0 && Height > 0; }
    // The user's width of a column, 0 when none was kept.
    int Column(int column) const;
    void SetColumn(int column, int width);
};

// The state kept under key (e.g. "\Software\Corvex\Strenna\Inbox").
TWindowState LoadWindowState(const std::string &key);
// False when the registry file could not be written (the state is then only kept in memory).
bool SaveWindowState(const std::string &key, const TWindowState &state);

// The window's size as the user left it (its normal size when maximized) into state.
void CaptureWindowSize(const QWidget *window, TWindowState &state);
// The kept size (else fallback), within the screen the window is on and at least the window's
// minimum; maximized again when it was.
void RestoreWindowSize(QWidget *window, const TWindowState &state, QSize fallback);

// The columns of a list sized to their content: each column as wide as its widest text (of up
// to MeasuredRows rows spread over the model, at most MaxChars average characters) or as the
// width the user dragged it to (kept in State). One column stretches over the width left; when
// the list is too narrow for all, the widest columns give up width first, down to a common
// level and never below their header's text, so no column is pushed out of sight.
class TColumnFit : public QObject
{
public:
    static constexpr int MeasuredRows = 256;

    TColumnFit(QTableView *view, int stretchColumn, int maxChars);

    TWindowState *State = nullptr; // where the user's widths are kept; none when null
    // Columns that give up width first, down to their header's text, when not all fit.
    std::vector<int> GiveFirst;
    // Measures the texts again (after the rows changed) and sizes the columns.
    void Measure();
    void Fit();
    // The width all columns want at their content's (or the user's) width.
    int WantedWidth() const;
    // The window's width that shows every column whole: within the screen, never narrower.
    void WidenWindow(QWidget *window) const;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    QTableView *View;
    int Stretch, MaxChars;
    std::vector<int> Content;
    bool Sizing = false; // the sections are being sized here, not by the user

    std::vector<int> Wanted() const;
    void Resized(int column, int width);
};
