#include "CorvaneMainForm.h"

#include "CallMonitor.h"
#include "FormTranslator.h"
#include "FormUpdater.h"
#include "HelpPage.h"
#include "LanIni.h"
#include "MainThread.h"
#include "OutputLevel.h"
#include "PNGComponent.h"
#include "Platform.h"
#include "VcPNGButton.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QComboBox>
#include <QFrame>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QScreen>
#include <QShowEvent>
#include <QSignalBlocker>
#include <QSlider>
#include <QStatusBar>
#include <QStyle>
#include <QTimer>
#include <QToolButton>
#include <QVBoxLayout>

#include <algorithm>
#include <exception>

namespace corvane {

namespace {

constexpr int DesignClientWidth = 700;
constexpr int DesignClientHeight = 350;
constexpr int DebugMemoHeight = 252;
constexpr int ToolbarHeight = 41;
// Lines the debug text box keeps; older ones are dropped, as the log has them.
constexpr int DebugMemoLines = 5000;

// A warning box whose text is never read as rich text: it may carry a peer's words.
void ShowPlainWarning(QWidget* parent, const QString& title, const QString& text) {
    QMessageBox box(QMessageBox::Warning, title, text, QMessageBox::Ok, parent);
    box.setTextFormat(Qt::PlainText);
    box.exec();
}

} // namespace

void ShowWaveOutMessage(const std::string& text) {
    Synchronize([&text] {
        ShowPlainWarning(QApplication::activeWindow(), QApplication::applicationName(),
                         QString::fromStdString(text));
    });
}

// --- Construction ---------------------------------------------------------

TCorvaneMainForm::TCorvaneMainForm(const std::vector<std::string>& args, QWidget* parent)
    : QMainWindow(parent) {
    CreateControls();
    CreateRooms();

    FDebug = false;
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
    FLog.Open(FLogFolder + "log.txt",
              [] { return DateTimeText(QDateTime::currentDateTime()).toStdString(); });

    FConfig.Load(FConfigFolder + "client.ini");
    SetOutputLevel({FConfig.Volume, FConfig.Mute, FConfig.Party});
    ShowListening();
    FNotice->SetEnabled(FConfig.Notify);
    BuildColumns();

    FEngine->CreateClient(FConfig);
    TryStartEngine();

    thegrid->setRowCount(1);
    FillGrid();
    thegrid->setCurrentCell(0, 0);
    UpdateCommandStates();
    // The keyboard starts on the calls: arrows pick one, Return listens.
    thegrid->setFocus();
}

TCorvaneMainForm::~TCorvaneMainForm() {
    // Normally the close protocol has ended listening and the session already.
    // If not (the window destroyed without closing), end them here while every
    // widget their last events may touch still exists; the monitor first, as
    // it borrows the session.
    FListen->Destroy();
    FEngine->DestroyClient();
    DurationTimer->stop();
    FEngine->StartUpTimer->stop();
    FEngine->StatusClearTimer->stop();
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

    CreateListeningControls();

    // Texts for when no translation file has them; ApplyLanguage replaces them.
    PlayPauseBtn->setToolTip(QStringLiteral("Listen to the selected call, or stop listening"));
    PlayPauseBtn->setAccessibleName(QStringLiteral("Listen or stop"));
    SettingsBtn->setToolTip(QStringLiteral("Settings"));
    SettingsBtn->setAccessibleName(QStringLiteral("Settings"));

    DescrLbl = new QLabel(ToolbarPanel);
    DescrLbl->setObjectName(QStringLiteral("DescrLbl"));
    QFont labelFont = font;
    labelFont.setBold(true);
    labelFont.setPixelSize(13);
    DescrLbl->setFont(labelFont);
    DescrLbl->move(0, 12);

    // The filter row above the grid.
    auto* filterRow = new QWidget(central);
    filterRow->setObjectName(QStringLiteral("FilterRow"));
    auto* filterLayout = new QHBoxLayout(filterRow);
    filterLayout->setContentsMargins(4, 3, 4, 3);
    FilterEdit = new QLineEdit(filterRow);
    FilterEdit->setObjectName(QStringLiteral("FilterEdit"));
    FilterEdit->setClearButtonEnabled(true);
    FilterEdit->setMinimumWidth(220);
    FilterEdit->setMaximumWidth(300);
    FilterEdit->setPlaceholderText(QStringLiteral("Filter by number or name"));
    FilterEdit->setToolTip(
        QStringLiteral("Show only calls whose numbers or names contain this text (Ctrl+F)"));
    FilterEdit->setAccessibleName(QStringLiteral("Filter calls"));
    FilterEdit->installEventFilter(this);
    connect(FilterEdit, &QLineEdit::textChanged, this,
            [this](const QString& text) { SetFilterText(text); });
    filterLayout->addWidget(FilterEdit);
    filterLayout->addStretch(1);
    layout->addWidget(filterRow);

    FindAction = new QAction(this);
    FindAction->setObjectName(QStringLiteral("FindAction"));
    FindAction->setShortcut(QKeySequence::Find);
    FindAction->setShortcutContext(Qt::WindowShortcut);
    connect(FindAction, &QAction::triggered, this, [this] { FocusFilter(); });
    addAction(FindAction);

    thegrid = new TCallGrid(central);
    thegrid->setAccessibleName(QStringLiteral("Active calls"));
    thegrid->OnMouseDown = [this] { thegridMouseDown(); };
    thegrid->OnDblClick = [this] { thegridDblClick(); };
    thegrid->OnListenKey = [this] { thegridDblClick(); };
    layout->addWidget(thegrid, 1);

    DebugMemo = new QPlainTextEdit(central);
    DebugMemo->setObjectName(QStringLiteral("DebugMemo"));
    DebugMemo->setReadOnly(true);
    DebugMemo->setFixedHeight(DebugMemoHeight);
    DebugMemo->setLineWrapMode(QPlainTextEdit::NoWrap);
    DebugMemo->setMaximumBlockCount(DebugMemoLines);
    // Tab goes on to the toolbar rather than staying in the log.
    DebugMemo->setTabChangesFocus(true);
    layout->addWidget(DebugMemo);

    setTabOrder(PlayPauseBtn, VolumeBar);
    setTabOrder(VolumeBar, MuteBtn);
    setTabOrder(MuteBtn, PartyBox);
    setTabOrder(PartyBox, SettingsBtn);
    setTabOrder(SettingsBtn, FilterEdit);
    setTabOrder(FilterEdit, thegrid);
    setTabOrder(thegrid, DebugMemo);

    StatusBar1 = statusBar();
    StatusBar1->setObjectName(QStringLiteral("StatusBar1"));

    DurationTimer = new QTimer(this);
    DurationTimer->setObjectName(QStringLiteral("DurationTimer"));
    DurationTimer->setInterval(1000);
    connect(DurationTimer, &QTimer::timeout, this, [this] { DurationTimerTimer(); });
    DurationTimer->start();

    CreateMenu();
    setMinimumSize(400, 200 + menuBar()->sizeHint().height());
}

void TCorvaneMainForm::CreateListeningControls() {
    VolumeBar = new QSlider(Qt::Horizontal, ToolbarPanel);
    VolumeBar->setObjectName(QStringLiteral("VolumeBar"));
    VolumeBar->setRange(0, 100);
    VolumeBar->setSingleStep(5);
    VolumeBar->setPageStep(10);
    VolumeBar->setGeometry(48, 10, 90, 20);
    VolumeBar->setToolTip(QStringLiteral("Volume"));
    VolumeBar->setAccessibleName(QStringLiteral("Volume"));
    // Heard at once while dragging; stored once the slider is let go, not per step.
    connect(VolumeBar, &QSlider::valueChanged, this, [this](int value) {
        if (VolumeBar->isSliderDown())
            SetOutputLevel({value, FConfig.Mute, FConfig.Party});
        else
            SetListening(value, FConfig.Mute, FConfig.Party);
    });
    connect(VolumeBar, &QSlider::sliderReleased, this,
            [this] { SetListening(VolumeBar->value(), FConfig.Mute, FConfig.Party); });

    MuteBtn = new QToolButton(ToolbarPanel);
    MuteBtn->setObjectName(QStringLiteral("MuteBtn"));
    MuteBtn->setCheckable(true);
    MuteBtn->setAutoRaise(true);
    MuteBtn->setGeometry(142, 6, 28, 28);
    MuteBtn->setToolTip(QStringLiteral("Mute"));
    MuteBtn->setAccessibleName(QStringLiteral("Mute"));
    connect(MuteBtn, &QToolButton::toggled, this,
            [this](bool mute) { SetListening(FConfig.Volume, mute, FConfig.Party); });

    PartyBox = new QComboBox(ToolbarPanel);
    PartyBox->setObjectName(QStringLiteral("PartyBox"));
    PartyBox->addItems({QStringLiteral("Both parties"), QStringLiteral("First party"),
                        QStringLiteral("Second party")});
    PartyBox->setGeometry(176, 8, 120, 24);
    PartyBox->setToolTip(QStringLiteral("Party heard on a two-channel call"));
    PartyBox->setAccessibleName(QStringLiteral("Party heard"));
    connect(PartyBox, &QComboBox::currentIndexChanged, this,
            [this](int party) { SetListening(FConfig.Volume, FConfig.Mute, party); });
}

void TCorvaneMainForm::ShowListening() {
    {
        const QSignalBlocker blockVolume(VolumeBar);
        const QSignalBlocker blockMute(MuteBtn);
        const QSignalBlocker blockParty(PartyBox);
        VolumeBar->setValue(FConfig.Volume);
        MuteBtn->setChecked(FConfig.Mute);
        PartyBox->setCurrentIndex(FConfig.Party);
    }
    MuteBtn->setIcon(
        style()->standardIcon(FConfig.Mute ? QStyle::SP_MediaVolumeMuted : QStyle::SP_MediaVolume));
}

void TCorvaneMainForm::TranslateListening() {
    const char* keys[] = {"Main.PartyBoth", "Main.PartyFirst", "Main.PartySecond"};
    for (int i = 0; i < PartyBox->count(); ++i)
        if (LanIni().HasKey(keys[i]))
            PartyBox->setItemText(i, QString::fromStdU16String(LanIni().Translate(keys[i])));
}

void TCorvaneMainForm::SetListening(int volume, bool mute, int party) {
    const TOutputLevel level = ClampedOutputLevel({volume, mute, party});
    SetOutputLevel(level);
    const bool changed = level.Volume != FConfig.Volume || level.Mute != FConfig.Mute ||
                         level.Party != FConfig.Party;
    FConfig.Volume = level.Volume;
    FConfig.Mute = level.Mute;
    FConfig.Party = level.Party;
    ShowListening();
    if (!changed)
        return;
    try {
        FConfig.SaveListening(FConfigFolder + "client.ini");
    } catch (const std::exception& e) {
        WriteLog(std::string("Saving the listening level failed: ") + e.what());
        ShowStatusText(QString::fromStdString(e.what()));
    }
}

void TCorvaneMainForm::CreateRooms() {
    auto log = [this](const std::string& text) { WriteLog(text); };

    TEngineController::Hooks engine;
    engine.Log = log;
    engine.CallsChanged = [this] { HandleCallsChanged(); };
    engine.Started = [this] {
        thegrid->SetListReceived(false);
        FNotice->Forget();
    };
    engine.MissingSettings = [this](int page) { RunSettingsDialog(page); };
    engine.MonitorAlive = [this] { return FListen->Monitor() != nullptr; };
    engine.CloseWindow = [this] { close(); };
    engine.ConnectionChanged = [this](bool lost) { thegrid->SetStale(lost); };
    FEngine = std::make_unique<TEngineController>(nullptr, *StatusBar1, std::move(engine));
    StartUpTimer = FEngine->StartUpTimer;
    StatusClearTimer = FEngine->StatusClearTimer;

    TListenController::Hooks listen;
    listen.Log = log;
    listen.Session = [this] { return Client(); };
    listen.Closing = [this] { return FClose->Closing(); };
    listen.CloseWindow = [this] { close(); };
    FListen = std::make_unique<TListenController>(nullptr, *thegrid, std::move(listen));
    MonitorStopTimer = FListen->MonitorStopTimer;

    FClose = std::make_unique<TCloseProtocol>(*FListen, *FEngine, log, [this] { SetWaitCursor(); });

    TCallNotice::Hooks notice;
    notice.WindowAttentive = [this] { return WindowAttentive(); };
    notice.ShowCall = [this](const std::string& id) { ShowCall(id); };
    FNotice = std::make_unique<TCallNotice>(nullptr, std::move(notice));
}

// --- Filter and new-call notice ---------------------------------------------

void TCorvaneMainForm::SetFilterText(const QString& text) {
    if (FilterEdit->text() != text)
        FilterEdit->setText(text); // comes back here through textChanged
    else
        thegrid->SetFilter(text.trimmed());
}

void TCorvaneMainForm::FocusFilter() {
    FilterEdit->setFocus(Qt::ShortcutFocusReason);
    FilterEdit->selectAll();
}

bool TCorvaneMainForm::WindowAttentive() const {
    return isActiveWindow() && !isMinimized();
}

void TCorvaneMainForm::ShowCall(const std::string& id) {
    if (isMinimized())
        showNormal();
    show();
    raise();
    activateWindow();
    // A filter that hides the call gives way to it.
    if (!id.empty() && !thegrid->SelectCall(id)) {
        FilterEdit->clear();
        thegrid->SelectCall(id);
    }
    thegrid->setFocus();
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
    resize(FitToScreen(QSize(width, height + menuBar()->sizeHint().height())));
}

// A window wider than the screen hides its right edge, and the settings
// button with it; the grid scrolls instead. The frame counts once the
// window system has put one round the window.
QSize TCorvaneMainForm::FitToScreen(const QSize& size) const {
    const QScreen* where = screen();
    if (!where)
        return size;
    const QSize frame = frameGeometry().size() - geometry().size();
    return size.boundedTo(where->availableGeometry().size() - frame).expandedTo(minimumSize());
}

int TCorvaneMainForm::ClientWidth() const {
    return width();
}

int TCorvaneMainForm::ClientHeight() const {
    return height() - menuBar()->sizeHint().height();
}

// --- Log --------------------------------------------------------------------

void TCorvaneMainForm::WriteLog(const std::string& text) {
    FLog.Append(text);
    if (!FDebug)
        return;
    try {
        // The GUI thread appends at once and never takes the lock: a worker
        // holds it while it waits for the GUI thread.
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

void TCorvaneMainForm::BuildColumns() {
    const int sum = thegrid->BuildColumns(FConfig.Columns);
    SetClientSize(sum + 40, ClientHeight());
    ApplyLanguage();
}

void TCorvaneMainForm::ApplyLanguage() {
    LanIni().Load(ProgramFolder() + "Corvane_" + FConfig.Language + ".uln");
    TranslateForm(this);
    thegrid->TranslateHeaders();
    TranslateListening();
    FEngine->ShowConnection();
    DescrLbl->setText(QString::fromStdU16String(LanIni().Translate("Main.ActiveCalls")));
    if (LanIni().HasKey("Main.FilterPlaceholder"))
        FilterEdit->setPlaceholderText(
            QString::fromStdU16String(LanIni().Translate("Main.FilterPlaceholder")));
    DescrLbl->adjustSize();
    FormResize();
    FHelpFolder = ProgramFolder() + "help/";
}

void TCorvaneMainForm::HandleCallsChanged() {
    Synchronize([this] {
        // A session being destroyed may still deliver its last list; the
        // window no longer wants it.
        if (!Client())
            return;
        TCallList calls;
        Client()->GetCalls(calls);
        thegrid->SetCalls(std::move(calls));
        thegrid->SetListReceived(true);
        FNotice->ListChanged(thegrid->Calls());
        FEngine->SetConnected();
        StartAutoListen();
        DurationTimer->stop();
        DurationTimer->start();
    });
}

int TCorvaneMainForm::ColumnWidth(int column) const {
    return thegrid->columnWidth(column);
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
    FEngine->SetConfig(FConfig);
    FNotice->SetEnabled(FConfig.Notify);
    BuildColumns();

    // A failed save is reported, but only after the new connection settings
    // are in force: the window must not show settings the engine is not using.
    std::exception_ptr saveError;
    try {
        FConfig.Save(FConfigFolder + "client.ini");
    } catch (...) {
        saveError = std::current_exception();
    }

    if (reconnect)
        FEngine->Reconnect();
    if (saveError)
        std::rethrow_exception(saveError);
}

void TCorvaneMainForm::Settings1Click() {
    RunSettingsDialog(1);
}

void TCorvaneMainForm::SettingsBtnClick() {
    RunSettingsDialog(1);
}

// --- Gestures ---------------------------------------------------------------

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
    if (!OpenHelpPage(this, page))
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
    if (FClose->FormClose())
        event->accept();
    else
        event->ignore();
}

void TCorvaneMainForm::SetWaitCursor() {
    for (QWidget* w : {static_cast<QWidget*>(this), static_cast<QWidget*>(thegrid), ToolbarPanel,
                       static_cast<QWidget*>(PlayPauseBtn)})
        w->setCursor(Qt::WaitCursor);
}

void TCorvaneMainForm::showEvent(QShowEvent* event) {
    QMainWindow::showEvent(event);
    if (event->spontaneous())
        return;
    const QSize fitted = FitToScreen(size());
    if (fitted != size())
        resize(fitted);
    // Whole on the screen: the top-left corner moves in as far as needed.
    if (const QScreen* where = screen()) {
        const QRect area = where->availableGeometry();
        const QRect frame = frameGeometry();
        const QPoint corner(
            std::max(area.left(), std::min(frame.left(), area.right() + 1 - frame.width())),
            std::max(area.top(), std::min(frame.top(), area.bottom() + 1 - frame.height())));
        if (corner != frame.topLeft())
            move(corner);
    }
}

void TCorvaneMainForm::resizeEvent(QResizeEvent* event) {
    QMainWindow::resizeEvent(event);
    FormResize();
}

bool TCorvaneMainForm::eventFilter(QObject* watched, QEvent* event) {
    if (watched == ToolbarPanel && event->type() == QEvent::Resize)
        FormResize();
    // Escape in the filter clears it; on an empty filter it goes back to the calls.
    if (watched == FilterEdit && event->type() == QEvent::KeyPress &&
        static_cast<QKeyEvent*>(event)->key() == Qt::Key_Escape) {
        if (FilterEdit->text().isEmpty())
            thegrid->setFocus(Qt::OtherFocusReason);
        else
            FilterEdit->clear();
        return true;
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
