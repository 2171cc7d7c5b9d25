#include "CallGrid.h"

#include "DateTimeText.h"
#include "LanIni.h"

#include <QFontMetrics>
#include <QHeaderView>
#include <QMouseEvent>
#include <QPainter>
#include <QStyledItemDelegate>

#include <algorithm>

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

// Paints the cells: the default cell first, then the icons, the right-aligned
// number columns and the centred line shown when no call is active.
class TCallGridDelegate : public QStyledItemDelegate {
public:
    explicit TCallGridDelegate(TCallGrid& grid, const std::vector<const TGridColumn*>& columns)
        : QStyledItemDelegate(&grid), FGrid(grid), FColumns(columns) {}

    void paint(QPainter* painter, const QStyleOptionViewItem& option,
               const QModelIndex& index) const override {
        if (FGrid.ShowsNoCallLine()) {
            PaintNoCallLine(painter, option);
            return;
        }
        const size_t column = static_cast<size_t>(index.column());
        const TGridColumn* col = column < FColumns.size() ? FColumns[column] : nullptr;
        const TCellDrawing drawing = col ? col->Drawing : TCellDrawing::Text;

        QStyleOptionViewItem opt(option);
        if (drawing == TCellDrawing::RightAligned)
            opt.displayAlignment = Qt::AlignRight | Qt::AlignVCenter;
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
        painter->drawImage(QPoint(r.left() + 2, r.top() + (r.height() - image.height()) / 2),
                           image);
    }

private:
    void PaintNoCallLine(QPainter* painter, const QStyleOptionViewItem& option) const {
        const QRect r = option.rect;
        const QString text = QStringLiteral("- ") +
                             QString::fromStdU16String(LanIni().Translate("Main.NoCallActive")) +
                             QStringLiteral(" -");
        const QFontMetrics metrics(option.font);
        const int w = metrics.horizontalAdvance(text);
        // Every cell of the row paints the same text at the same place, each
        // clipped to itself, so it reads once, centred on the whole grid.
        const int x = (FGrid.width() - w) / 2 - FGrid.viewport()->x();
        painter->save();
        painter->setClipRect(r.adjusted(0, 0, 1, 1));
        painter->fillRect(r, option.palette.color(QPalette::Base));
        painter->setPen(option.palette.color(QPalette::Text));
        painter->setFont(option.font);
        painter->drawText(QRect(x, r.top(), w + 1, r.height()), Qt::AlignLeft | Qt::AlignVCenter,
                          text);
        painter->restore();
    }

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
    viewport()->update();
}

void TCallGrid::SetCalls(TCallList&& calls) {
    FCalls = std::move(calls);
    calls.clear();
    FillGrid();
}

void TCallGrid::DurationTick() {
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
    const auto ranges = selectedRanges();
    if (ranges.isEmpty())
        return currentRow() + 1;
    int top = ranges.first().topRow();
    for (const auto& r : ranges)
        top = std::min(top, r.topRow());
    return top + 1;
}

int TCallGrid::SelectedLeftColumn() const {
    const auto ranges = selectedRanges();
    if (ranges.isEmpty())
        return currentColumn();
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
    QTableWidget::mousePressEvent(event);
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
    QTableWidget::mouseDoubleClickEvent(event);
    QMetaObject::invokeMethod(
        this,
        [this] {
            if (OnDblClick)
                OnDblClick();
        },
        Qt::QueuedConnection);
}

} // namespace corvane
