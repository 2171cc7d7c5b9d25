#pragma once

// The grid of active calls: one row per call of its own copy of the call
// list, one column per field the user chose, the owner drawing (icons, right
// alignment, the no-call line), the one-second duration tick, and the
// selection, which follows the selected call from one list to the next.

#include "CallList.h"
#include "QuorinConfig.h"

#include <QImage>
#include <QString>
#include <QTableWidget>

#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace corvane {

// How a column's cells are drawn after the default painting.
enum class TCellDrawing {
    Text,          // the cell text, left-aligned
    RightAligned,  // the cell text, right-aligned (header too)
    ListenIcon,    // icon 3 on the call being listened to, else icon 4
    DirectionIcon, // icon 0, 1 or 2 for the call's direction
};

// One column of the grid.
struct TGridColumn {
    std::string_view Key; // as in the settings' column table; "hear" leads
    int Width;
    TCellDrawing Drawing;
    bool HasHeader; // header text from the translation key "Cols." + Key
    QString (*Text)(const TCallInfo& call);
};

// The leading listen column and the nine columns of the settings, in order.
const std::array<TGridColumn, 1 + ColumnCount>& GridColumns();
// The column of `key`, or null for a key outside the table.
const TGridColumn* FindGridColumn(std::string_view key);

class TCallGrid : public QTableWidget {
public:
    explicit TCallGrid(QWidget* parent);

    // The id of the call being listened to, or null; asked while drawing.
    std::function<const std::string*()> ListenedCallId;
    // Gestures, raised after the grid has handled the mouse press (so the
    // selection has moved). A press outside the cells raises nothing.
    std::function<void()> OnMouseDown;
    std::function<void()> OnDblClick;
    // Return, Enter or Space: the keyboard's double-click.
    std::function<void()> OnListenKey;

    // Rebuilds the columns from the settings' flags and returns the sum of
    // their widths.
    int BuildColumns(const std::array<bool, ColumnCount>& flags);
    // Header texts in the language loaded now.
    void TranslateHeaders();
    // Writes every cell from the call list.
    void FillGrid();
    // Takes a new call list (the caller's list is left empty) and fills the
    // grid. A selection on a call moves with that call's id to its new row and
    // is cleared when the call has gone; a selection on the blank row stays.
    void SetCalls(TCallList&& calls);
    // One second passed: every duration counts up and is redrawn.
    void DurationTick();
    // Whether a list has arrived since the engine last started; the no-call
    // line is drawn only then.
    void SetListReceived(bool received);
    bool ListReceived() const { return FListReceived; }
    // While the connection is lost the rows are drawn greyed and the
    // durations stand still: the list may no longer be true.
    void SetStale(bool stale);
    bool Stale() const { return FStale; }
    // Shows only the calls whose numbers or names contain `text`, without
    // regard to case; empty shows every call. Columns, drawing and order stay;
    // the list itself keeps every call. A selection on a call the filter
    // hides is dropped, so the keyboard cannot listen to an unseen call.
    void SetFilter(const QString& text);
    const QString& Filter() const { return FFilter; }
    static bool Matches(const TCallInfo& call, const QString& text);
    // Whether the call in `row` (0 for the first call) is shown.
    bool RowShown(int row) const { return !isRowHidden(row); }
    // Selects the call with `id`; false when the list has no such call or
    // the filter hides it.
    bool SelectCall(const std::string& id);

    const TCallList& Calls() const { return FCalls; }
    const std::vector<std::string>& ColumnKeys() const { return FColumnKeys; }
    bool ShowsNoCallLine() const { return FCalls.empty() && FListReceived; }
    // Calls are listed but the filter hides every one of them.
    bool ShowsNoMatchLine() const { return !FCalls.empty() && FShownCalls == 0; }
    // 3 while `call` is listened to, else 4.
    int ListenIconIndex(const TCallInfo& call) const;
    const QImage& Icon(int index) const { return FIcons[static_cast<size_t>(index)]; }

    // Rows as the user sees them: 0 is the header, calls from 1 on.
    int RowCount() const { return rowCount() + 1; }
    QString Cell(int column, int row) const;
    // The top row of the selection (1 for the first call) and its left
    // column; 0 and -1 while nothing is selected.
    int SelectedTopRow() const;
    int SelectedLeftColumn() const;

    static QString CellText(const std::string& key, const TCallInfo& call);
    static QString FormatDuration(int32_t seconds);
    static QString UnixToLocalText(int64_t seconds);

protected:
    void mousePressEvent(QMouseEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void paintEvent(QPaintEvent* event) override;
    void scrollContentsBy(int dx, int dy) override;

private:
    void SetCell(int column, int row, const QString& text);
    // Hides the rows the filter excludes and counts the others.
    void ApplyFilter();
    void DropHiddenSelection();
    // A line of text centred over the grid's width, between `top` and
    // `top + height` of the viewport, written over whatever is there.
    void PaintLine(const QString& text, int top, int height);

    std::vector<const TGridColumn*> FColumns;
    std::vector<std::string> FColumnKeys;
    TCallList FCalls;
    bool FListReceived = false;
    bool FStale = false;
    QString FFilter;
    size_t FShownCalls = 0;
    std::array<QImage, 5> FIcons;
};

} // namespace corvane
