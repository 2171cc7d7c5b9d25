#include "CallGrid.h"

#include "DateTimeText.h"
#include "LanIni.h"

#include <QFontMetrics>
#include <QHeaderView>
#include <QItemSelection>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QStyledItemDelegate>

#include <algorithm>
#include <optional>

namespace corvane {

namespace {

constexpr int RowHeight = 24;

QString Wide(const std::u16string& text) {
    return QString::fromStdU16String(text);
}

QString NoText(const TCallInfo&) {
    return QString();
}

constexpr std::array<TGridColumn, 1 + ColumnCount> kColumns = {{
    {"hear", 25, TCellDrawing::ListenIcon, false, NoText},
    {"startdate", 130, TCellDrawing::Text, true,
     [](const TCallInfo& c) { return TCallGrid::UnixToLocalText(c.startdate); }},
    {"length", 80, TCellDrawing::Text, true,
     [](const TCallInfo& c) { return TCallGrid::FormatDuration(c.length); }},
    {"direction", 25, TCellDrawing::DirectionIcon, true, NoText},
    {"remoteID", 100, TCellDrawing::RightAligned, true,
     [](const TCallInfo& c) { return Wide(c.remote); }},
    {"rname", 100, TCellDrawing::Text, true, [](const TCallInfo& c) { return Wide(c.rname); }},
    {"connected", 100, TCellDrawing::RightAligned, true,
     [](const TCallInfo& c) { return Wide(c.connected); }},
    {"cname", 100, TCellDrawing::Text, true, [](const TCallInfo& c) { return Wide(c.cname); }},
    {"localID", 100, TCellDrawing::RightAligned, true,
     [](const TCallInfo& c) { return Wide(c.local); }},
    {"lname", 100, TCellDrawing::Text, true, [](const TCallInfo& c) { return Wide(c.lname); }},
}};

// The settings' column table and the grid's must name the same keys in the
// same order, behind the leading listen column.
constexpr bool SameKeysAsSettings() {
    for (size_t i = 0; i < ColumnCount; ++i)
        if (kColumns[i + 1].Key != std::string_view(ColumnKeys[i]))
            return false;
    return true;
}
static_assert(SameKeysAsSettings());

// Paints the cells: the default cell first, then the icons and the
// right-aligned number columns. While the no-call line shows, its row is left
// blank here; the grid writes the line over the finished row.
class TCallGridDelegate : public QStyledItemDelegate {
public:
    explicit TCallGridDelegate(TCallGrid& grid, const std::vector<const TGridColumn*>& columns)
        : QStyledItemDelegate(&grid), FGrid(grid), FColumns(columns) {}

    void paint(QPainter* painter, const QStyleOptionViewItem& option,
               const QModelIndex& index) const override {
        if (FGrid.ShowsNoCallLine()) {
            painter->fillRect(option.rect, option.palette.color(QPalette::Base));
            return;
        }
        const size_t column = static_cast<size_t>(index.column());
        const TGridColumn* col = column < FColumns.size() ? FColumns[column] : nullptr;
        const TCellDrawing drawing = col ? col->Drawing : TCellDrawing::Text;

        QStyleOptionViewItem opt(option);
        if (drawing == TCellDrawing::RightAligned)
            opt.displayAlignment = Qt::AlignRight | Qt::AlignVCenter;
        if (FGrid.Stale()) {
            opt.state &= ~QStyle::State_Enabled;
            const QColor grey = opt.palette.color(QPalette::Disabled, QPalette::Text);
            opt.palette.setColor(QPalette::Text, grey);
            opt.palette.setColor(QPalette::HighlightedText, grey);
        }
        QStyledItemDelegate::paint(painter, opt, index);

        const auto& calls = FGrid.Calls();
        const size_t callIndex = static_cast<size_t>(index.row());
        if (callIndex >= calls.size())
            return;
        const TCallInfo& call = *calls[callIndex];
        int icon = -1;
        if (drawing == TCellDrawing::DirectionIcon && call.direction >= 0 && call.direction <= 2)
            icon = call.direction;
        else if (drawing == TCellDrawing::ListenIcon)
            icon = FGrid.ListenIconIndex(call);
        if (icon < 0)
            return;
        const QImage& image = FGrid.Icon(icon);
        const QRect r = option.rect;
        painter->save();
        if (FGrid.Stale())
            painter->setOpacity(0.4);
        painter->drawImage(QPoint(r.left() + 2, r.top() + (r.height() - image.height()) / 2),
                           image);
        painter->restore();
    }

private:
    TCallGrid& FGrid;
    const std::vector<const TGridColumn*>& FColumns;
};

} // namespace

const std::array<TGridColumn, 1 + ColumnCount>& GridColumns() {
    return kColumns;
}

const TGridColumn* FindGridColumn(std::string_view key) {
    for (const TGridColumn& c : kColumns)
        if (c.Key == key)
            return &c;
    return nullptr;
}

TCallGrid::TCallGrid(QWidget* parent) : QTableWidget(parent) {
    setObjectName(QStringLiteral("thegrid"));
    verticalHeader()->hide();
    verticalHeader()->setDefaultSectionSize(RowHeight);
    verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    horizontalHeader()->setFixedHeight(RowHeight);
    horizontalHeader()->setStretchLastSection(false);
    horizontalHeader()->setHighlightSections(false);
    setSelectionBehavior(QAbstractItemView::SelectItems);
    setSelectionMode(QAbstractItemView::ContiguousSelection);
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    // Tab leaves the grid for the toolbar; the arrow keys move between cells.
    setTabKeyNavigation(false);
    setWordWrap(false);
    setItemDelegate(new TCallGridDelegate(*this, FColumns));
    for (size_t i = 0; i < FIcons.size(); ++i)
        FIcons[i].load(QStringLiteral(":/res/%1.png").arg(1000 + static_cast<int>(i)));
}

int TCallGrid::BuildColumns(const std::array<bool, ColumnCount>& flags) {
    FColumns.clear();
    FColumnKeys.clear();
    FColumns.push_back(&kColumns[0]);
    for (size_t i = 0; i < ColumnCount; ++i)
        if (flags[i])
            FColumns.push_back(&kColumns[i + 1]);
    for (const TGridColumn* c : FColumns)
        FColumnKeys.emplace_back(c->Key);
    setColumnCount(static_cast<int>(FColumns.size()));
    int sum = 0;
    for (size_t j = 0; j < FColumns.size(); ++j) {
        setColumnWidth(static_cast<int>(j), FColumns[j]->Width);
        sum += FColumns[j]->Width;
    }
    return sum;
}

void TCallGrid::TranslateHeaders() {
    for (size_t j = 0; j < FColumns.size(); ++j) {
        const TGridColumn& c = *FColumns[j];
        const QString text =
            c.HasHeader
                ? QString::fromStdU16String(LanIni().Translate("Cols." + std::string(c.Key)))
                : QString();
        auto* header = new QTableWidgetItem(text);
        // A translation wider than its fixed column can still be read whole.
        header->setToolTip(text);
        header->setTextAlignment(c.Drawing == TCellDrawing::RightAligned
                                     ? Qt::AlignRight | Qt::AlignVCenter
                                     : Qt::AlignLeft | Qt::AlignVCenter);
        setHorizontalHeaderItem(static_cast<int>(j), header);
    }
}

void TCallGrid::SetCell(int column, int row, const QString& text) {
    QTableWidgetItem* cell = item(row, column);
    if (!cell) {
        cell = new QTableWidgetItem;
        setItem(row, column, cell);
    }
    cell->setText(text);
}

void TCallGrid::FillGrid() {
    const int count = static_cast<int>(FCalls.size());
    setRowCount(count > 1 ? count : 1);
    const int columns = static_cast<int>(FColumns.size());
    if (count == 0) {
        for (int j = 0; j < columns; ++j)
            SetCell(j, 0, QString());
    } else {
        for (int i = 0; i < count; ++i)
            for (int j = 0; j < columns; ++j)
                SetCell(j, i,
                        FColumns[static_cast<size_t>(j)]->Text(*FCalls[static_cast<size_t>(i)]));
    }
    ApplyFilter();
    viewport()->update();
}

bool TCallGrid::Matches(const TCallInfo& call, const QString& text) {
    if (text.isEmpty())
        return true;
    for (const std::u16string* field :
         {&call.remote, &call.rname, &call.local, &call.lname, &call.connected, &call.cname})
        if (Wide(*field).contains(text, Qt::CaseInsensitive))
            return true;
    return false;
}

void TCallGrid::ApplyFilter() {
    FShownCalls = 0;
    for (size_t i = 0; i < FCalls.size(); ++i) {
        const bool shown = Matches(*FCalls[i], FFilter);
        setRowHidden(static_cast<int>(i), !shown);
        if (shown)
            ++FShownCalls;
    }
    // The blank row of an empty list is never filtered away.
    if (FCalls.empty() && rowCount() > 0)
        setRowHidden(0, false);
}

void TCallGrid::DropHiddenSelection() {
    const auto ranges = selectedRanges();
    for (const auto& r : ranges)
        for (int row = r.topRow(); row <= r.bottomRow(); ++row)
            if (isRowHidden(row)) {
                clearSelection();
                selectionModel()->setCurrentIndex(QModelIndex(), QItemSelectionModel::NoUpdate);
                return;
            }
}

void TCallGrid::SetFilter(const QString& text) {
    if (text == FFilter)
        return;
    FFilter = text;
    ApplyFilter();
    DropHiddenSelection();
    viewport()->update();
}

bool TCallGrid::SelectCall(const std::string& id) {
    const auto found = std::find_if(FCalls.begin(), FCalls.end(),
                                    [&](const auto& call) { return call->id == id; });
    if (found == FCalls.end() || !Matches(**found, FFilter))
        return false;
    const int row = static_cast<int>(found - FCalls.begin());
    selectRow(row);
    setCurrentCell(row, 0, QItemSelectionModel::NoUpdate);
    scrollTo(model()->index(row, 0));
    return true;
}

void TCallGrid::SetCalls(TCallList&& calls) {
    // The user picked a call, not a row number: rows move when calls above
    // the picked one begin or end.
    std::optional<std::string> pickedId;
    int top = 0;
    int bottom = 0;
    int left = 0;
    int right = 0;
    if (const auto ranges = selectedRanges(); !ranges.isEmpty()) {
        top = ranges.first().topRow();
        bottom = ranges.first().bottomRow();
        left = ranges.first().leftColumn();
        right = ranges.first().rightColumn();
        for (const auto& r : ranges) {
            top = std::min(top, r.topRow());
            bottom = std::max(bottom, r.bottomRow());
            left = std::min(left, r.leftColumn());
            right = std::max(right, r.rightColumn());
        }
        if (static_cast<size_t>(top) < FCalls.size())
            pickedId = FCalls[static_cast<size_t>(top)]->id;
    }
    const int currentCol = currentColumn();

    FCalls = std::move(calls);
    calls.clear();
    FillGrid();

    if (!pickedId)
        return;
    const auto found = std::find_if(FCalls.begin(), FCalls.end(),
                                    [&](const auto& call) { return call->id == *pickedId; });
    if (found == FCalls.end()) {
        // The picked call has ended: no other call takes its place.
        clearSelection();
        selectionModel()->setCurrentIndex(QModelIndex(), QItemSelectionModel::NoUpdate);
        return;
    }
    const int row = static_cast<int>(found - FCalls.begin());
    const int lastRow = std::min(row + (bottom - top), rowCount() - 1);
    selectionModel()->setCurrentIndex(model()->index(row, currentCol >= 0 ? currentCol : left),
                                      QItemSelectionModel::NoUpdate);
    selectionModel()->select(
        QItemSelection(model()->index(row, left), model()->index(lastRow, right)),
        QItemSelectionModel::ClearAndSelect);
    DropHiddenSelection();
}

void TCallGrid::DurationTick() {
    if (FStale)
        return;
    std::vector<int> lengthColumns;
    for (size_t j = 0; j < FColumns.size(); ++j)
        if (FColumns[j]->Key == "length")
            lengthColumns.push_back(static_cast<int>(j));
    for (size_t i = 0; i < FCalls.size(); ++i) {
        TCallInfo& call = *FCalls[i];
        if (call.length < INT32_MAX)
            ++call.length;
        for (const int j : lengthColumns)
            if (QTableWidgetItem* cell = item(static_cast<int>(i), j))
                cell->setText(FormatDuration(call.length));
    }
}

void TCallGrid::SetStale(bool stale) {
    FStale = stale;
    viewport()->update();
}

void TCallGrid::SetListReceived(bool received) {
    FListReceived = received;
    viewport()->update();
}

int TCallGrid::ListenIconIndex(const TCallInfo& call) const {
    const std::string* listened = ListenedCallId ? ListenedCallId() : nullptr;
    return listened && *listened == call.id ? 3 : 4;
}

QString TCallGrid::Cell(int column, int row) const {
    if (row == 0) {
        const QTableWidgetItem* h = horizontalHeaderItem(column);
        return h ? h->text() : QString();
    }
    const QTableWidgetItem* cell = item(row - 1, column);
    return cell ? cell->text() : QString();
}

int TCallGrid::SelectedTopRow() const {
    // The current cell survives a press that cleared the selection; it is
    // not a pick.
    const auto ranges = selectedRanges();
    if (ranges.isEmpty())
        return 0;
    int top = ranges.first().topRow();
    for (const auto& r : ranges)
        top = std::min(top, r.topRow());
    return top + 1;
}

int TCallGrid::SelectedLeftColumn() const {
    const auto ranges = selectedRanges();
    if (ranges.isEmpty())
        return -1;
    int left = ranges.first().leftColumn();
    for (const auto& r : ranges)
        left = std::min(left, r.leftColumn());
    return left;
}

QString TCallGrid::CellText(const std::string& key, const TCallInfo& call) {
    const TGridColumn* c = FindGridColumn(key);
    return c ? c->Text(call) : QString();
}

QString TCallGrid::FormatDuration(int32_t seconds) {
    // A start time after the recorder's clock gives a negative length; it
    // reads as "-0:05", not as the digit soup of a negative remainder.
    int64_t s = seconds;
    QString sign;
    if (s < 0) {
        sign = QStringLiteral("-");
        s = -s;
    }
    return sign + QString::number(s / 60) + QLatin1Char(':') +
           QStringLiteral("%1").arg(s % 60, 2, 10, QLatin1Char('0'));
}

QString TCallGrid::UnixToLocalText(int64_t seconds) {
    return DateTimeText(QDateTime::fromSecsSinceEpoch(seconds, Qt::UTC).toLocalTime());
}

void TCallGrid::mousePressEvent(QMouseEvent* event) {
    // A press below the last row or right of the last column picks nothing.
    const bool onCell = indexAt(event->position().toPoint()).isValid();
    QTableWidget::mousePressEvent(event);
    if (!onCell)
        return;
    // Queued, like a gesture handler that runs after the grid's own.
    QMetaObject::invokeMethod(
        this,
        [this] {
            if (OnMouseDown)
                OnMouseDown();
        },
        Qt::QueuedConnection);
}

void TCallGrid::mouseDoubleClickEvent(QMouseEvent* event) {
    const bool onCell = indexAt(event->position().toPoint()).isValid();
    QTableWidget::mouseDoubleClickEvent(event);
    if (!onCell)
        return;
    QMetaObject::invokeMethod(
        this,
        [this] {
            if (OnDblClick)
                OnDblClick();
        },
        Qt::QueuedConnection);
}

void TCallGrid::keyPressEvent(QKeyEvent* event) {
    const bool plain = (event->modifiers() & ~Qt::KeypadModifier) == Qt::NoModifier;
    const int key = event->key();
    if (plain && (key == Qt::Key_Return || key == Qt::Key_Enter || key == Qt::Key_Space)) {
        event->accept();
        if (OnListenKey)
            OnListenKey();
        return;
    }
    QTableWidget::keyPressEvent(event);
}

void TCallGrid::paintEvent(QPaintEvent* event) {
    QTableWidget::paintEvent(event);
    auto framed = [](const char* key) {
        return QStringLiteral("- ") + QString::fromStdU16String(LanIni().Translate(key)) +
               QStringLiteral(" -");
    };
    if (ShowsNoCallLine() && rowCount() > 0)
        PaintLine(framed("Main.NoCallActive"), rowViewportPosition(0), rowHeight(0));
    else if (ShowsNoMatchLine())
        // Every row is hidden: the line takes the place of the first one.
        PaintLine(framed("Main.NoCallMatches"), 0, verticalHeader()->defaultSectionSize());
}

// Written over the finished row, grid lines included, so that it reads once
// and no line crosses it.
void TCallGrid::PaintLine(const QString& text, int top, int height) {
    const int columns = columnCount();
    if (columns < 1)
        return;
    const QFontMetrics metrics(font());
    const int w = metrics.horizontalAdvance(text);
    // Centred on the grid's outer width, whatever the columns add up to.
    const int x = (width() - w) / 2 - viewport()->x();
    const int left = columnViewportPosition(0);
    const int right = columnViewportPosition(columns - 1) + columnWidth(columns - 1);

    QPainter painter(viewport());
    painter.setClipRect(QRect(left, top, right - left + 1, height + 1), Qt::IntersectClip);
    // Opaque from the row's top to the line under it, a blank wider than
    // the text, so that no border runs into the letters from above or below.
    const int blank = metrics.horizontalAdvance(QLatin1Char(' '));
    painter.fillRect(QRect(x - blank, top, w + 2 * blank, height - 1),
                     palette().color(QPalette::Base));
    painter.setPen(palette().color(QPalette::Text));
    painter.setFont(font());
    painter.drawText(QRect(x, top, w, height - 1), Qt::AlignLeft | Qt::AlignVCenter, text);
}

void TCallGrid::scrollContentsBy(int dx, int dy) {
    QTableWidget::scrollContentsBy(dx, dy);
    // The line keeps its place on the grid while the cells scroll under it.
    if (ShowsNoCallLine() || ShowsNoMatchLine())
        viewport()->update();
}

} // namespace corvane
