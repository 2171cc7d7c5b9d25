#include "CorvaneMainForm.h"

#include "CallMonitor.h"
#include "FormTranslator.h"
#include "FormUpdater.h"
#include "LanIni.h"
#include "MainThread.h"
#include "PNGComponent.h"
#include "Platform.h"
#include "VcPNGButton.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QDesktopServices>
#include <QFontMetrics>
#include <QFrame>
#include <QHeaderView>
#include <QLabel>
#include <QLocale>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QPainter>
#include <QPlainTextEdit>
#include <QStatusBar>
#include <QStyledItemDelegate>
#include <QTableWidget>
#include <QTimer>
#include <QUrl>
#include <QVBoxLayout>

#include <cstdio>
#include <cstdlib>
#include <exception>

namespace corvane {

namespace {

constexpr int DesignClientWidth = 700;
constexpr int DesignClientHeight = 350;
constexpr int DebugMemoHeight = 252;
constexpr int ToolbarHeight = 41;
constexpr int RowHeight = 24;

bool IsRightAligned(const std::string& key) {
    return key == "remoteID" || key == "localID" || key == "connected";
}

// The long time format without its time-zone field ("t", "tt", ...), which
// the log and the grid leave out.
QString WithoutTimeZone(const QString& format) {
    QString out;
    bool quoted = false;
    for (const QChar c : format) {
        if (c == QLatin1Char('\''))
            quoted = !quoted;
        if (!quoted && c == QLatin1Char('t'))
            continue;
        out += c;
    }
    return out.simplified();
}

struct RegionalFormats {
    QLocale locale = QLocale::system();
    QString date = locale.dateFormat(QLocale::ShortFormat);
    QString time = WithoutTimeZone(locale.timeFormat(QLocale::LongFormat));
};

const RegionalFormats& Formats() {
    static const RegionalFormats formats; // thread-safe initialisation
    return formats;
}

// Paints the grid's cells: the default cell first, then the icons, the
// right-aligned number columns and the centred line shown when no call is active.
class TCallGridDelegate : public QStyledItemDelegate {
public:
    explicit TCallGridDelegate(TCorvaneMainForm& form)
        : QStyledItemDelegate(form.thegrid), FForm(form) {}

    void paint(QPainter* painter, const QStyleOptionViewItem& option,
               const QModelIndex& index) const override {
        const int column = index.column();
        const int row = index.row() + 1; // row 0 is the header
        const auto& keys = FForm.ColumnKeys();
        const std::string key = column >= 0 && static_cast<size_t>(column) < keys.size()
                                    ? keys[static_cast<size_t>(column)]
                                    : "";

        if (FForm.ShowsNoCallLine()) {
            PaintNoCallLine(painter, option);
            return;
        }

        QStyleOptionViewItem opt(option);
        if (IsRightAligned(key))
            opt.displayAlignment = Qt::AlignRight | Qt::AlignVCenter;
        QStyledItemDelegate::paint(painter, opt, index);

        const auto& calls = FForm.Calls();
        const size_t callIndex = static_cast<size_t>(row - 1);
        if (row < 1 || callIndex >= calls.size())
            return;
        const TCallInfo& call = *calls[callIndex];
        int icon = -1;
        if (key == "direction" && call.direction >= 0 && call.direction <= 2)
            icon = call.direction;
        else if (key == "hear")
            icon = FForm.ListenIconIndex(call);
        if (icon < 0)
            return;
        const QImage& image = FForm.Icon(icon);
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
        const QTableWidget* grid = FForm.thegrid;
        const int x = (grid->width() - w) / 2 - grid->viewport()->x();
        painter->save();
        painter->setClipRect(r.adjusted(0, 0, 1, 1));
        painter->fillRect(r, option.palette.color(QPalette::Base));
        painter->setPen(option.palette.color(QPalette::Text));
        painter->setFont(option.font);
        painter->drawText(QRect(x, r.top(), w + 1, r.height()), Qt::AlignLeft | Qt::AlignVCenter,
                          text);
        painter->restore();
    }

    TCorvaneMainForm& FForm;
};

} // namespace

QString DateTimeText(const QDateTime& local) {
    const RegionalFormats& f = Formats();
    QString text = f.locale.toString(local.date(), f.date);
    const QTime t = local.time();
    if (t.hour() != 0 || t.minute() != 0 || t.second() != 0)
        text += QLatin1Char(' ') + f.locale.toString(t, f.time);
    return text;
}

void ShowWaveOutMessage(const std::string& text) {
    auto show = [&text] {
        QMessageBox::warning(QApplication::activeWindow(), QApplication::applicationName(),
                             QString::fromStdString(text));
    };
    if (IsMainThread())
        show();
    else
        Synchronize(show);
}

// --- Construction ---------------------------------------------------------

TCorvaneMainForm::TCorvaneMainForm(const std::vector<std::string>& args, QWidget* parent)
    : QMainWindow(parent) {
    CreateControls();

    eAtStop = AtStopReport;
    FSwitchPending = false;
    FDebug = false;
    FListReceived = false;
    DebugMemo->hide();

    SetClientSize(DesignClientWidth, DesignClientHeight);
    if (!args.empty() && args[0] == "debug") {
        FDebug = true;
        DebugMemo->show();
        SetClientSize(ClientWidth(), ClientHeight() + DebugMemoHeight);
    }

    FDataFolder = GetAppDataFolder() + "QuorinCallMonitor/";
    ForceDirectories(FDataFolder);
    FLogFolder = FDataFolder;
    FConfigFolder = FDataFolder;

    RotateLogFiles(FLogFolder + "log.txt", 10);

    for (size_t i = 0; i < FIcons.size(); ++i)
        FIcons[i].load(QStringLiteral(":/res/%1.png").arg(1000 + static_cast<int>(i)));

    FConfig.Load(FConfigFolder + "client.ini");
    BuildColumns();

    FClient = std::make_unique<TCorvane>();
    FClient->OnLog = [this](const std::string& text) { WriteLog(text); };
    FClient->OnStopped = [this](TCorvane&) { HandleEngineStopped(); };
    FClient->OnCallsChanged = [this](TCorvane&) { HandleCallsChanged(); };
    FClient->OnStatus = [this](int32_t code) { HandleStatusCode(code); };

    FClient->SetConfig(FConfig);
    TryStartEngine();

    thegrid->setRowCount(1);
    FClosing = false;
    FillGrid();
    thegrid->setCurrentCell(0, 0);
    UpdateCommandStates();
}

TCorvaneMainForm::~TCorvaneMainForm() {
    // Normally the close protocol has ended listening and the session already.
    // If not (the window destroyed without closing), end them here while every
    // widget their last events may touch still exists; the monitor first, as
    // it borrows the session.
    // Its end notification may still arrive (from the audio thread too); it
    // only arms MonitorStopTimer, which is stopped below.
    FMonitor.reset();
    if (FClient) {
        FClient->OnStopped = nullptr;
        FClient.reset();
    }
    MonitorStopTimer->stop();
    DurationTimer->stop();
    StartUpTimer->stop();
    StatusClearTimer->stop();
}

void TCorvaneMainForm::CreateControls() {
    setObjectName(QStringLiteral("CorvaneMainForm"));
    setWindowTitle(QStringLiteral("Quorin Call Monitor"));
    QFont font(QStringLiteral("Tahoma"));
    font.setPixelSize(11);
    setFont(font);
    move(0, 0);

    auto* central = new QWidget(this);
    central->setObjectName(QStringLiteral("ClientArea"));
    auto* layout = new QVBoxLayout(central);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    setCentralWidget(central);

    ToolbarPanel = new QWidget(central);
    ToolbarPanel->setObjectName(QStringLiteral("ToolbarPanel"));
    ToolbarPanel->setFixedHeight(ToolbarHeight);
    ToolbarPanel->setAutoFillBackground(true);
    ToolbarPanel->installEventFilter(this);
    layout->addWidget(ToolbarPanel);
    auto* toolbarLine = new QFrame(central);
    toolbarLine->setFrameShape(QFrame::HLine);
    toolbarLine->setFrameShadow(QFrame::Sunken);
    layout->addWidget(toolbarLine);

    auto picture = [this](const char* name) {
        auto* c = new TPNGComponent(this);
        c->setObjectName(QString::fromLatin1(name));
        c->LoadFromFile(QStringLiteral(":/res/%1.png").arg(QString::fromLatin1(name)));
        return c;
    };
    PlayPauseNormal = picture("PlayPauseNormal");
    PlayPauseOver = picture("PlayPauseOver");
    PlayPauseDown = picture("PlayPauseDown");
    SettingsNormal = picture("SettingsNormal");
    SettingsOver = picture("SettingsOver");
    PlayPauseFaded = FadedCopy(PlayPauseNormal, "PlayPauseFaded");
    SettingsFaded = FadedCopy(SettingsNormal, "SettingsFaded");

    PlayPauseBtn = new TVcPNGButton(ToolbarPanel);
    PlayPauseBtn->setObjectName(QStringLiteral("PlayPauseBtn"));
    PlayPauseBtn->setGeometry(8, 2, 32, 32);
    PlayPauseBtn->SetImgNormal(PlayPauseNormal);
    PlayPauseBtn->SetImgOver(PlayPauseOver);
    PlayPauseBtn->SetImgClick(PlayPauseDown);
    connect(PlayPauseBtn, &QAbstractButton::clicked, this, [this] { PlayPauseBtnClick(); });

    SettingsBtn = new TVcPNGButton(ToolbarPanel);
    SettingsBtn->setObjectName(QStringLiteral("SettingsBtn"));
    SettingsBtn->setGeometry(650, 2, 32, 32);
    SettingsBtn->SetImgNormal(SettingsNormal);
    SettingsBtn->SetImgOver(SettingsOver);
    SettingsBtn->SetImgClick(SettingsNormal);
    connect(SettingsBtn, &QAbstractButton::clicked, this, [this] { SettingsBtnClick(); });

    DescrLbl = new QLabel(ToolbarPanel);
    DescrLbl->setObjectName(QStringLiteral("DescrLbl"));
    QFont labelFont = font;
    labelFont.setBold(true);
    labelFont.setPixelSize(13);
    DescrLbl->setFont(labelFont);
    DescrLbl->move(0, 12);

    thegrid = new QTableWidget(central);
    thegrid->setObjectName(QStringLiteral("thegrid"));
    thegrid->verticalHeader()->hide();
    thegrid->verticalHeader()->setDefaultSectionSize(RowHeight);
    thegrid->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    thegrid->horizontalHeader()->setFixedHeight(RowHeight);
    thegrid->horizontalHeader()->setStretchLastSection(false);
    thegrid->horizontalHeader()->setHighlightSections(false);
    thegrid->setSelectionBehavior(QAbstractItemView::SelectItems);
    thegrid->setSelectionMode(QAbstractItemView::ContiguousSelection);
    thegrid->setEditTriggers(QAbstractItemView::NoEditTriggers);
    thegrid->setWordWrap(false);
    thegrid->setItemDelegate(new TCallGridDelegate(*this));
    thegrid->viewport()->installEventFilter(this);
    layout->addWidget(thegrid, 1);

    DebugMemo = new QPlainTextEdit(central);
    DebugMemo->setObjectName(QStringLiteral("DebugMemo"));
    DebugMemo->setReadOnly(true);
    DebugMemo->setFixedHeight(DebugMemoHeight);
    DebugMemo->setLineWrapMode(QPlainTextEdit::NoWrap);
    layout->addWidget(DebugMemo);

    StatusBar1 = statusBar();
    StatusBar1->setObjectName(QStringLiteral("StatusBar1"));

    auto timer = [this](const char* name, int ms, bool enabled,
                        void (TCorvaneMainForm::*handler)()) {
        auto* t = new QTimer(this);
        t->setObjectName(QString::fromLatin1(name));
        t->setInterval(ms);
        connect(t, &QTimer::timeout, this, handler);
        if (enabled)
            t->start();
        return t;
    };
    StartUpTimer = timer("StartUpTimer", 500, true, &TCorvaneMainForm::StartUpTimerTimer);
    StatusClearTimer =
        timer("StatusClearTimer", 9500, false, &TCorvaneMainForm::StatusClearTimerTimer);
    // Destroys a finished live-listen monitor half a second after it reported
    // its end, outside the monitor's own notification.
    MonitorStopTimer =
        timer("MonitorStopTimer", 500, false, &TCorvaneMainForm::MonitorStopTimerTimer);
    DurationTimer = timer("DurationTimer", 1000, true, &TCorvaneMainForm::DurationTimerTimer);

    CreateMenu();
    setMinimumSize(400, 200 + menuBar()->sizeHint().height());
}

void TCorvaneMainForm::CreateMenu() {
    QMenuBar* bar = menuBar();
    bar->setObjectName(QStringLiteral("TntMainMenu1"));
    auto menu = [bar](const char* name, const QString& caption) {
        auto* m = bar->addMenu(caption);
        m->setObjectName(QString::fromLatin1(name));
        return m;
    };
    auto item = [](QMenu* m, const char* name, const QString& caption) {
        QAction* a = m->addAction(caption);
        a->setObjectName(QString::fromLatin1(name));
        return a;
    };
    File1 = menu("File1", QStringLiteral("&File"));
    Exit1 = item(File1, "Exit1", QStringLiteral("E&xit"));
    connect(Exit1, &QAction::triggered, this, [this] { Exit1Click(); });

    Tools = menu("Tools", QStringLiteral("&Tools"));
    Settings1 = item(Tools, "Settings1", QStringLiteral("&Settings"));
    connect(Settings1, &QAction::triggered, this, [this] { Settings1Click(); });

    Help1 = menu("Help1", QStringLiteral("&Help"));
    Manual1 = item(Help1, "Manual1", QStringLiteral("&Manual"));
    Manual1->setShortcut(QKeySequence(Qt::Key_F1));
    connect(Manual1, &QAction::triggered, this, [this] { Manual1Click(); });
    CheckUpdate1 = item(Help1, "CheckUpdate1", QStringLiteral("Check for &update online"));
    connect(CheckUpdate1, &QAction::triggered, this, [this] { CheckUpdate1Click(); });
    About1 = item(Help1, "About1", QStringLiteral("&About..."));
    connect(About1, &QAction::triggered, this, [this] { About1Click(); });
}

// The settings commands stay disabled until a settings dialog is installed
// rather than pretending to work.
void TCorvaneMainForm::UpdateCommandStates() {
    CheckUpdate1->setEnabled(true);
    const bool settings = static_cast<bool>(FSettingsDialogRunner);
    Settings1->setEnabled(settings);
    // A disabled picture button draws its normal picture; a faded copy of it
    // shows that the command is not available.
    auto enable = [](TVcPNGButton* button, bool enabled, TPNGComponent* normal,
                     TPNGComponent* faded) {
        button->setEnabled(enabled);
        button->SetImgNormal(enabled ? normal : faded);
    };
    enable(PlayPauseBtn, true, PlayPauseNormal, PlayPauseFaded);
    enable(SettingsBtn, settings, SettingsNormal, SettingsFaded);
}

TPNGComponent* TCorvaneMainForm::FadedCopy(const TPNGComponent* source, const char* name) {
    QImage image = source->Image().convertToFormat(QImage::Format_ARGB32);
    for (int y = 0; y < image.height(); ++y) {
        auto* line = reinterpret_cast<QRgb*>(image.scanLine(y));
        for (int x = 0; x < image.width(); ++x) {
            const int grey = qGray(line[x]);
            line[x] = qRgba(grey, grey, grey, qAlpha(line[x]) * 2 / 5);
        }
    }
    auto* faded = new TPNGComponent(this);
    faded->setObjectName(QString::fromLatin1(name));
    faded->SetImage(image);
    return faded;
}

void TCorvaneMainForm::SetClientSize(int width, int height) {
    resize(width, height + menuBar()->sizeHint().height());
}

int TCorvaneMainForm::ClientWidth() const {
    return width();
}

int TCorvaneMainForm::ClientHeight() const {
    return height() - menuBar()->sizeHint().height();
}

// --- Log --------------------------------------------------------------------

void TCorvaneMainForm::RotateLogFiles(const std::string& fileName, int count) {
    const size_t slash = fileName.find_last_of('/');
    const size_t dot = fileName.find_last_of('.');
    const bool hasExt = dot != std::string::npos && (slash == std::string::npos || dot > slash);
    const std::string base = hasExt ? fileName.substr(0, dot) : fileName;
    const std::string ext = hasExt ? fileName.substr(dot) : std::string();
    for (int n = count; n >= 1; --n) {
        const std::string source = n == 1 ? fileName : base + std::to_string(n) + ext;
        const std::string target = base + std::to_string(n + 1) + ext;
        if (!FileExists(source))
            continue;
        if (n == count)
            std::remove(source.c_str());
        else
            std::rename(source.c_str(), target.c_str());
    }
}

void TCorvaneMainForm::WriteLog(const std::string& text) {
    try {
        const std::string line =
            DateTimeText(QDateTime::currentDateTime()).toStdString() + " " + text + "\r\n";
        {
            std::lock_guard lock(FLogLock);
            if (std::FILE* f = std::fopen((FLogFolder + "log.txt").c_str(), "ab")) {
                std::fwrite(line.data(), 1, line.size(), f);
                std::fclose(f);
            }
        }
        if (!FDebug)
            return;
        if (IsMainThread()) {
            AppendMemoLine(QString::fromStdString(text));
            return;
        }
        std::lock_guard memoLock(FMemoLock);
        FPendingMemoText = text;
        Synchronize([this] { AppendMemoLine(QString::fromStdString(FPendingMemoText)); });
    } catch (...) {
        // The log never fails towards its caller; a lost line is acceptable.
    }
}

void TCorvaneMainForm::AppendMemoLine(const QString& text) {
    DebugMemo->appendPlainText(text);
}

// --- Grid -------------------------------------------------------------------

int TCorvaneMainForm::ColumnKeyWidth(const std::string& key) {
    if (key == "hear" || key == "direction")
        return 25;
    if (key == "startdate")
        return 130;
    if (key == "length")
        return 80;
    if (key == "remoteID" || key == "rname" || key == "connected" || key == "cname" ||
        key == "localID" || key == "lname")
        return 100;
    return 400;
}

void TCorvaneMainForm::BuildColumns() {
    FColumnKeys.clear();
    FColumnKeys.emplace_back("hear");
    for (size_t i = 0; i < ColumnCount; ++i)
        if (FConfig.Columns[i])
            FColumnKeys.emplace_back(corvane::ColumnKeys[i]);
    thegrid->setColumnCount(static_cast<int>(FColumnKeys.size()));
    int sum = 0;
    for (size_t j = 0; j < FColumnKeys.size(); ++j) {
        const int w = ColumnKeyWidth(FColumnKeys[j]);
        thegrid->setColumnWidth(static_cast<int>(j), w);
        sum += w;
    }
    SetClientSize(sum + 40, ClientHeight());
    ApplyLanguage();
}

void TCorvaneMainForm::ApplyLanguage() {
    LanIni().Load(ProgramFolder() + "Corvane_" + FConfig.Language + ".uln");
    TranslateForm(this);
    for (size_t j = 0; j < FColumnKeys.size(); ++j) {
        const std::string& key = FColumnKeys[j];
        auto* header = new QTableWidgetItem(
            j == 0 ? QString() : QString::fromStdU16String(LanIni().Translate("Cols." + key)));
        header->setTextAlignment(IsRightAligned(key) ? Qt::AlignRight | Qt::AlignVCenter
                                                     : Qt::AlignLeft | Qt::AlignVCenter);
        thegrid->setHorizontalHeaderItem(static_cast<int>(j), header);
    }
    DescrLbl->setText(QString::fromStdU16String(LanIni().Translate("Main.ActiveCalls")));
    DescrLbl->adjustSize();
    FormResize();
    FHelpFolder = ProgramFolder() + "help/";
}

QString TCorvaneMainForm::FormatDuration(int32_t seconds) {
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

QString TCorvaneMainForm::UnixToLocalText(int64_t seconds) {
    return DateTimeText(QDateTime::fromSecsSinceEpoch(seconds, Qt::UTC).toLocalTime());
}

QString TCorvaneMainForm::CellText(const std::string& key, const TCallInfo& call) {
    auto wide = [](const std::u16string& text) { return QString::fromStdU16String(text); };
    if (key == "startdate")
        return UnixToLocalText(call.startdate);
    if (key == "length")
        return FormatDuration(call.length);
    if (key == "remoteID")
        return wide(call.remote);
    if (key == "rname")
        return wide(call.rname);
    if (key == "connected")
        return wide(call.connected);
    if (key == "cname")
        return wide(call.cname);
    if (key == "localID")
        return wide(call.local);
    if (key == "lname")
        return wide(call.lname);
    return QString(); // "hear", "direction": icons only
}

void TCorvaneMainForm::FillGrid() {
    const int count = static_cast<int>(FCalls.size());
    thegrid->setRowCount(count > 1 ? count : 1);
    const int columns = static_cast<int>(FColumnKeys.size());
    auto setCell = [this](int column, int row, const QString& text) {
        QTableWidgetItem* item = thegrid->item(row, column);
        if (!item) {
            item = new QTableWidgetItem;
            thegrid->setItem(row, column, item);
        }
        item->setText(text);
    };
    if (count == 0) {
        for (int j = 0; j < columns; ++j)
            setCell(j, 0, QString());
    } else {
        for (int i = 0; i < count; ++i)
            for (int j = 0; j < columns; ++j)
                setCell(
                    j, i,
                    CellText(FColumnKeys[static_cast<size_t>(j)], *FCalls[static_cast<size_t>(i)]));
    }
    thegrid->viewport()->update();
}

void TCorvaneMainForm::HandleCallsChanged() {
    auto apply = [this] {
        // A session being destroyed may still deliver its last list; the
        // window no longer wants it.
        if (!FClient)
            return;
        FClient->GetCalls(FCalls);
        FListReceived = true;
        FillGrid();
        StartAutoListen();
        DurationTimer->stop();
        DurationTimer->start();
    };
    if (IsMainThread())
        apply();
    else
        Synchronize(apply);
}

void TCorvaneMainForm::DurationTimerTimer() {
    for (size_t i = 0; i < FCalls.size(); ++i) {
        TCallInfo& call = *FCalls[i];
        if (call.length < INT32_MAX)
            ++call.length;
        for (size_t j = 0; j < FColumnKeys.size(); ++j)
            if (FColumnKeys[j] == "length")
                if (QTableWidgetItem* item =
                        thegrid->item(static_cast<int>(i), static_cast<int>(j)))
                    item->setText(FormatDuration(call.length));
    }
}

int TCorvaneMainForm::ListenIconIndex(const TCallInfo& call) const {
    return FMonitor && FMonitor->FCall.id == call.id ? 3 : 4;
}

bool TCorvaneMainForm::ShowsNoCallLine() const {
    return FCalls.empty() && FListReceived;
}

int TCorvaneMainForm::RowCount() const {
    return thegrid->rowCount() + 1;
}

QString TCorvaneMainForm::Cell(int column, int row) const {
    if (row == 0) {
        const QTableWidgetItem* h = thegrid->horizontalHeaderItem(column);
        return h ? h->text() : QString();
    }
    const QTableWidgetItem* item = thegrid->item(row - 1, column);
    return item ? item->text() : QString();
}

int TCorvaneMainForm::ColumnWidth(int column) const {
    return thegrid->columnWidth(column);
}

int TCorvaneMainForm::SelectedTopRow() const {
    const auto ranges = thegrid->selectedRanges();
    if (ranges.isEmpty())
        return thegrid->currentRow() + 1;
    int top = ranges.first().topRow();
    for (const auto& r : ranges)
        top = std::min(top, r.topRow());
    return top + 1;
}

int TCorvaneMainForm::SelectedLeftColumn() const {
    const auto ranges = thegrid->selectedRanges();
    if (ranges.isEmpty())
        return thegrid->currentColumn();
    int left = ranges.first().leftColumn();
    for (const auto& r : ranges)
        left = std::min(left, r.leftColumn());
    return left;
}

// --- Engine and status line ----------------------------------------------

void TCorvaneMainForm::TryStartEngine() {
    if (!FClient)
        return;
    eAtStop = AtStopReport;
    WriteLog("Try start");
    FStartResult = FClient->Start();
    if (!StartUpTimer->isActive())
        StartUpTimer->start();
    WriteLog("Start result: " + std::to_string(FStartResult));
    FListReceived = false;
    thegrid->viewport()->update();
}

void TCorvaneMainForm::StartUpTimerTimer() {
    StartUpTimer->stop();
    if (FStartResult == MissingCredentials || FStartResult == MissingServer)
        RunSettingsDialog(FStartResult);
}

void TCorvaneMainForm::HandleEngineStopped() {
    WriteLog("Engine stopped eAtStop:" + std::to_string(eAtStop));
    switch (eAtStop) {
    case AtStopRestart:
        FClient->SetConfig(FConfig);
        TryStartEngine();
        break;
    case AtStopClose:
        // The session is still inside its own notification; it goes, and the
        // window closes, once that has returned. A monitor still winding down
        // borrows the session, so then the close protocol keeps it until the
        // monitor has gone.
        QMetaObject::invokeMethod(
            this,
            [this] {
                if (!FMonitor)
                    FClient.reset();
                close();
            },
            Qt::QueuedConnection);
        break;
    default:
        HandleStatusCode(EngineStopped);
        break;
    }
}

void TCorvaneMainForm::HandleStatusCode(int32_t code) {
    WriteLog("Message code " + std::to_string(code));
    if (IsMainThread()) {
        ShowStatusCode(code);
        return;
    }
    try {
        std::lock_guard lock(FStatusLock);
        FPendingStatus = code;
        Synchronize([this] { ShowStatusCode(FPendingStatus); });
    } catch (...) {
        // Showing the text failed; it is in the log.
    }
}

QString TCorvaneMainForm::StatusCodeText(int32_t code) {
    switch (code) {
    case LogOnRefused:
        return QStringLiteral("Log on failed. Please check username and password");
    case ConnectFailed:
        return QStringLiteral("Could not connect. Reasons could be an incorrect Quorin Server IP "
                              "address, or a firewall");
    case EngineStopped:
        return QStringLiteral("Engine stopped. Please see log file.");
    case ServerError:
        return QStringLiteral("Error reported by the server. Please see log file.");
    default:
        return QString();
    }
}

void TCorvaneMainForm::ShowStatusCode(int32_t code) {
    const QString text = StatusCodeText(code);
    if (!text.isEmpty())
        ShowStatusText(text);
}

void TCorvaneMainForm::ShowStatusText(const QString& text) {
    StatusBar1->showMessage(text);
    StatusClearTimer->stop();
    StatusClearTimer->start();
}

void TCorvaneMainForm::StatusClearTimerTimer() {
    StatusClearTimer->stop();
    StatusBar1->clearMessage();
}

QString TCorvaneMainForm::StatusText() const {
    return StatusBar1->currentMessage();
}

// --- Settings ---------------------------------------------------------------

void TCorvaneMainForm::SetSettingsDialogRunner(SettingsDialogRunner runner) {
    FSettingsDialogRunner = std::move(runner);
    UpdateCommandStates();
}

void TCorvaneMainForm::RunSettingsDialog(int page) {
    StatusBar1->clearMessage();
    if (!FSettingsDialogRunner)
        return;
    const std::optional<TQuorinConfig> result = FSettingsDialogRunner(this, page, FConfig);
    if (result)
        ApplySettings(*result);
}

void TCorvaneMainForm::ApplySettings(const TQuorinConfig& copy) {
    if (!Differs(copy, FConfig))
        return;
    const bool reconnect = ConnectionDiffers(copy, FConfig);
    const std::string windowsUser = FConfig.WindowsUser;
    FConfig = copy;
    FConfig.WindowsUser = windowsUser;
    BuildColumns();

    // A failed save is reported, but only after the new connection settings
    // are in force: the window must not show settings the engine is not using.
    std::exception_ptr saveError;
    try {
        FConfig.Save(FConfigFolder + "client.ini");
    } catch (...) {
        saveError = std::current_exception();
    }

    if (reconnect && FClient) {
        if (FStartResult != StartOk || !FClient->IsRunning()) {
            // Nothing runs (a failed start, or the engine stopped by itself):
            // start at once with the new settings.
            FClient->SetConfig(FConfig);
            TryStartEngine();
        } else {
            eAtStop = AtStopRestart;
            FClient->Stop();
        }
    }
    if (saveError)
        std::rethrow_exception(saveError);
}

void TCorvaneMainForm::Settings1Click() {
    RunSettingsDialog(1);
}

void TCorvaneMainForm::SettingsBtnClick() {
    RunSettingsDialog(1);
}

// --- Live listening ---------------------------------------------------------

void TCorvaneMainForm::ListenToSelectedCall() {
    ListenToCall(SelectedTopRow() - 1);
}

void TCorvaneMainForm::ListenToCall(int index) {
    if (index < 0 || static_cast<size_t>(index) >= FCalls.size() || !FClient)
        return;
    // Closing: whatever is listened to is being stopped, nothing new starts.
    if (FClosing)
        return;
    const TCallInfo& call = *FCalls[static_cast<size_t>(index)];
    if (!FMonitor) {
        WriteLog("Monitor ID:" + call.id);
        FMonitor = std::make_unique<TCallMonitor>(*FClient, call);
        FMonitor->OnFinished = [this] { HandleMonitorStopped(); };
        FMonitor->Start();
        thegrid->viewport()->update();
    } else if (FMonitor->FCall.id != call.id) {
        // The switch completes in MonitorStopTimerTimer, once this monitor has gone.
        FSwitchPending = true;
        FMonitor->Stop();
    }
}

void TCorvaneMainForm::StartAutoListen() {
    if (FMonitor || !FConfig.StartAuto)
        return;
    for (size_t i = 0; i < FCalls.size(); ++i)
        if (FCalls[i]->length < 6) {
            ListenToCall(static_cast<int>(i));
            return;
        }
}

void TCorvaneMainForm::HandleMonitorStopped() {
    auto arm = [this] {
        if (!MonitorStopTimer->isActive())
            MonitorStopTimer->start();
    };
    if (IsMainThread())
        arm();
    else
        Synchronize(arm);
}

void TCorvaneMainForm::MonitorStopTimerTimer() {
    MonitorStopTimer->stop();
    if (!FMonitor)
        return;
    WriteLog("Monitor stopped (1)");
    FMonitor.reset();
    MonitorStopTimer->stop();
    WriteLog("Monitor stopped (2)");
    thegrid->viewport()->update();
    if (FClosing)
        close();
    if (FSwitchPending) {
        FSwitchPending = false;
        ListenToSelectedCall();
    }
}

void TCorvaneMainForm::PlayPauseBtnClick() {
    if (FMonitor) {
        FSwitchPending = false; // a stop asked for now is not a switch
        FMonitor->Stop();
    } else {
        ListenToSelectedCall();
    }
}

void TCorvaneMainForm::thegridDblClick() {
    ListenToSelectedCall();
}

void TCorvaneMainForm::thegridMouseDown() {
    if (SelectedLeftColumn() == 0)
        ListenToSelectedCall();
}

// --- Menu commands ----------------------------------------------------------

void TCorvaneMainForm::Exit1Click() {
    close();
}

QString TCorvaneMainForm::ManualPage() const {
    return QString::fromStdString(FHelpFolder) + QString::number(HelpContext) +
           QStringLiteral(".html");
}

void TCorvaneMainForm::Manual1Click() {
    const QString page = ManualPage();
    if (!FileExists(page.toStdString())) {
        WriteLog("Manual not found: " + page.toStdString());
        QMessageBox::warning(this, windowTitle(),
                             QStringLiteral("The manual was not found:\n%1").arg(page));
        return;
    }
    if (!QDesktopServices::openUrl(QUrl::fromLocalFile(page)))
        WriteLog("Could not open the manual: " + page.toStdString());
}

void TCorvaneMainForm::SetUpdateDialogRunner(UpdateDialogRunner runner) {
    FUpdateDialogRunner = std::move(runner);
}

void TCorvaneMainForm::CheckUpdate1Click() {
    const bool mustClose =
        FUpdateDialogRunner
            ? FUpdateDialogRunner(this)
            : ShowUpdateDialog(this, [this](const std::string& line) { WriteLog(line); });
    // The copy tool waits for the program to end before it installs.
    if (mustClose)
        close();
}

void TCorvaneMainForm::About1Click() {
    QMessageBox box(this);
    box.setWindowTitle(QStringLiteral("About Quorin Call Monitor"));
    box.setIconPixmap(QPixmap(QStringLiteral(":/res/AppIcon48.png")));
    box.setTextFormat(Qt::RichText);
    box.setText(QStringLiteral("<p style='font-size:22pt; font-weight:bold'>Quorin Call Monitor</p>"
                               "<p>Version %1</p>"
                               "<p>&copy; 2026 Brindlex</p>"
                               "<p>Support: support@brindlex.com<br>"
                               "<a href='https://www.brindlex.com'>www.brindlex.com</a></p>")
                    .arg(QString::fromStdString(ProgramVersion())));
    box.exec();
}

// --- Close and resize ------------------------------------------------------

void TCorvaneMainForm::closeEvent(QCloseEvent* event) {
    FormClose(event);
}

void TCorvaneMainForm::FormClose(QCloseEvent* event) {
    if (FClosed) {
        event->accept();
        return;
    }
    WriteLog("Form Close");
    FClosing = true;
    bool refuse = false;
    if (FMonitor) {
        // Its notification arms MonitorStopTimer, which destroys it and asks
        // for the close again.
        FMonitor->Stop();
        refuse = true;
    }
    if (FClient) {
        if (FClient->IsRunning()) {
            eAtStop = AtStopClose;
            FClient->Stop();
            refuse = true;
        } else if (!FMonitor) {
            // While a monitor exists it still borrows the session.
            FClient.reset();
        }
    }
    if (refuse) {
        SetWaitCursor();
        event->ignore();
        return;
    }
    FClosed = true;
    event->accept();
}

void TCorvaneMainForm::SetWaitCursor() {
    for (QWidget* w : {static_cast<QWidget*>(this), static_cast<QWidget*>(thegrid), ToolbarPanel,
                       static_cast<QWidget*>(PlayPauseBtn)})
        w->setCursor(Qt::WaitCursor);
}

void TCorvaneMainForm::resizeEvent(QResizeEvent* event) {
    QMainWindow::resizeEvent(event);
    FormResize();
}

bool TCorvaneMainForm::eventFilter(QObject* watched, QEvent* event) {
    if (watched == ToolbarPanel && event->type() == QEvent::Resize)
        FormResize();
    if (thegrid && watched == thegrid->viewport()) {
        // Queued, so that the grid has handled the press (moved its
        // selection) before the gesture reads the selection.
        if (event->type() == QEvent::MouseButtonPress)
            QMetaObject::invokeMethod(
                this, [this] { thegridMouseDown(); }, Qt::QueuedConnection);
        else if (event->type() == QEvent::MouseButtonDblClick)
            QMetaObject::invokeMethod(
                this, [this] { thegridDblClick(); }, Qt::QueuedConnection);
    }
    return QMainWindow::eventFilter(watched, event);
}

void TCorvaneMainForm::FormResize() {
    if (!ToolbarPanel || !DescrLbl)
        return;
    const int panelWidth = ToolbarPanel->width();
    DescrLbl->move((panelWidth - 100) / 2 + 50 - DescrLbl->width() / 2, DescrLbl->y());
    // The settings button keeps its distance from the right edge.
    SettingsBtn->move(panelWidth - (DesignClientWidth - 650), SettingsBtn->y());
}

} // namespace corvane
