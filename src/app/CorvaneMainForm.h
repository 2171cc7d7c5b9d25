#pragma once

// The main window: toolbar, grid of active calls, debug text box and status
// line. It is a shell over its rooms: the log file, the grid (CallGrid), the
// engine with the status line (EngineController), live listening
// (ListenController) and the close protocol (CloseProtocol). The window's
// named operations stay here as the entry points and hand the work to the
// room that does it. Everything runs on the GUI thread except where a member
// says otherwise.

#include "CallGrid.h"
#include "CallList.h"
#include "CallNotice.h"
#include "CloseProtocol.h"
#include "Corvane.h"
#include "DateTimeText.h"
#include "EngineController.h"
#include "ListenController.h"
#include "LogFile.h"
#include "QuorinConfig.h"

#include <QImage>
#include <QMainWindow>
#include <QSize>
#include <QString>

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

class QAction;
class QComboBox;
class QLabel;
class QLineEdit;
class QMenu;
class QPlainTextEdit;
class QSlider;
class QStatusBar;
class QTimer;
class QToolButton;
class QWidget;

namespace corvane {

class TCallMonitor;
class TPNGComponent;
class TVcPNGButton;

// The sound output's message box: the text in a modal box on the GUI thread.
// Any thread; a worker waits until the user has acknowledged it.
void ShowWaveOutMessage(const std::string& text);

class TCorvaneMainForm : public QMainWindow {
    Q_OBJECT

public:
    // The settings dialog seam: shows the dialog on `page` (1 account, 2 server
    // connection) for `config` and returns the edited copy when the user
    // confirmed it, nothing when cancelled.
    using SettingsDialogRunner = std::function<std::optional<TQuorinConfig>(
        QWidget* parent, int page, const TQuorinConfig& config)>;
    // The update dialog seam: shows a new update dialog and returns true when
    // an update was fetched and the program must close to install it.
    using UpdateDialogRunner = std::function<bool(QWidget* parent)>;

    // `args` are the command-line arguments after the program name. The
    // constructor runs the whole start-up, the first engine start included.
    explicit TCorvaneMainForm(const std::vector<std::string>& args, QWidget* parent = nullptr);
    ~TCorvaneMainForm() override;

    // --- Log -----------------------------------------------------------
    // Any thread; never fails towards the caller. From a worker it blocks
    // until the GUI thread has shown the line in the debug text box.
    void WriteLog(const std::string& text);
    static void RotateLogFiles(const std::string& fileName, int count) {
        TLogFile::RotateLogFiles(fileName, count);
    }

    // --- Grid ----------------------------------------------------------
    void BuildColumns();
    void ApplyLanguage();
    void FillGrid() { thegrid->FillGrid(); }
    void HandleCallsChanged(); // any thread; the polling thread waits for the GUI thread
    void DurationTimerTimer() { thegrid->DurationTick(); }
    static QString CellText(const std::string& key, const TCallInfo& call) {
        return TCallGrid::CellText(key, call);
    }
    static QString FormatDuration(int32_t seconds) { return TCallGrid::FormatDuration(seconds); }
    static QString UnixToLocalText(int64_t seconds) { return TCallGrid::UnixToLocalText(seconds); }

    // --- Engine, status line, settings --------------------------------
    void TryStartEngine() { FEngine->TryStartEngine(); }
    void StartUpTimerTimer() { FEngine->StartUpTimerTimer(); }
    void HandleEngineStopped() { FEngine->HandleEngineStopped(); }
    void HandleStatusCode(TStatusCode code) { FEngine->HandleStatusCode(code); } // any thread
    void ShowStatusCode(TStatusCode code) { FEngine->ShowStatusCode(code); }
    void ShowStatusText(const QString& text) { FEngine->ShowStatusText(text); }
    void StatusClearTimerTimer() { FEngine->StatusClearTimerTimer(); }
    // Shows the settings dialog (through the installed runner) and applies its result.
    void RunSettingsDialog(int page);
    // Puts an edited settings record in force: columns, language, file,
    // and a restart of the engine when the connection settings changed.
    void ApplySettings(const TQuorinConfig& copy);
    void SetSettingsDialogRunner(SettingsDialogRunner runner);
    // Replaces the update dialog (ShowUpdateDialog by default).
    void SetUpdateDialogRunner(UpdateDialogRunner runner);
    void FormResize();
    // The party choice's items in the language loaded now (ApplyLanguage).
    void TranslateListening();

    // --- Filter and new-call notice ---------------------------------------
    // Shows only the calls whose numbers or names contain `text`.
    void SetFilterText(const QString& text);
    // Ctrl+F: the filter field takes the keyboard, its text selected.
    void FocusFilter();
    // Shows the window (restored, raised, active) and selects the call with
    // `id` when it is still listed.
    void ShowCall(const std::string& id);
    TCallNotice& Notice() const { return *FNotice; }
    // Whether the user looks at the window: active and not minimised.
    bool WindowAttentive() const;

    // --- Live listening -------------------------------------------------
    // Listens to the call in the top row of the grid's selection.
    void ListenToSelectedCall() { FListen->ListenToSelectedCall(); }
    // Listens to the call at `index`; while another call is listened to,
    // stops that one first and listens to the selected row once it has gone.
    void ListenToCall(int index) { FListen->ListenToCall(index); }
    // After each new list: listens to the first call younger than 6 s when
    // automatic listening is on and nothing is listened to.
    void StartAutoListen() { FListen->StartAutoListen(FConfig.StartAuto); }
    // The monitor's end notification. Any thread; a worker waits for the GUI thread.
    void HandleMonitorStopped() { FListen->HandleMonitorStopped(); }
    void MonitorStopTimerTimer() { FListen->MonitorStopTimerTimer(); }

    // --- Commands and gestures ------------------------------------------
    void PlayPauseBtnClick() { FListen->PlayPause(); }
    // Puts a listening level in force at once (the playing call included),
    // shows it on the toolbar and stores what changed in client.ini. A failed
    // write is logged and shown in the status line; the level stays in force.
    void SetListening(int volume, bool mute, int party);
    void SettingsBtnClick();
    void thegridDblClick();
    // After the grid has moved its selection for a mouse press.
    void thegridMouseDown();
    void Exit1Click();
    void Settings1Click();
    void Manual1Click();
    void CheckUpdate1Click();
    void About1Click();
    // The manual page opened by Manual1.
    QString ManualPage() const;

    // The text shown for a status code; empty for codes without one.
    static QString StatusCodeText(TStatusCode code) {
        return TEngineController::StatusCodeText(code);
    }

    // --- State, for the controller and for tests ----------------------
    const std::string& DataFolder() const { return FDataFolder; }
    const std::string& LogFolder() const { return FLogFolder; }
    const std::string& ConfigFolder() const { return FConfigFolder; }
    const TQuorinConfig& Config() const { return FConfig; }
    const TCallList& Calls() const { return thegrid->Calls(); }
    const std::vector<std::string>& ColumnKeys() const { return thegrid->ColumnKeys(); }
    TCorvane* Client() const { return FEngine->Client(); }
    TAtStop AtStop() const { return FEngine->AtStop(); }
    TStartResult StartResult() const { return FEngine->StartResult(); }
    bool ListReceived() const { return thegrid->ListReceived(); }
    bool DebugMode() const { return FDebug; }
    bool Closing() const { return FClose->Closing(); }
    TCallMonitor* Monitor() const { return FListen->Monitor(); }
    bool SwitchPending() const { return FListen->SwitchPending(); }
    // Row of the grid's model: 0 is the header row, calls from 1 on.
    int RowCount() const { return thegrid->RowCount(); }
    QString Cell(int column, int row) const { return thegrid->Cell(column, row); }
    int ColumnWidth(int column) const;
    // The top row of the grid's selection (1 for the first call), and its left
    // column; 0 and -1 while nothing is selected.
    int SelectedTopRow() const { return thegrid->SelectedTopRow(); }
    int SelectedLeftColumn() const { return thegrid->SelectedLeftColumn(); }
    // The size of the window below its menu bar.
    int ClientWidth() const;
    int ClientHeight() const;
    QString StatusText() const { return FEngine->StatusText(); }
    // The permanent part of the status line: "Connected", "Connection lost
    // since HH:MM:SS", or empty before the first answer.
    QString ConnectionText() const { return FEngine->ConnectionText(); }
    QLabel* ConnectionLbl() const { return FEngine->ConnectionLbl; }
    // Whether the rows are drawn greyed with their durations standing still.
    bool GridStale() const { return thegrid->Stale(); }
    // Whether the grid draws the "no call" line in its data row now.
    bool ShowsNoCallLine() const { return thegrid->ShowsNoCallLine(); }
    bool ShowsNoMatchLine() const { return thegrid->ShowsNoMatchLine(); }
    // The listen icon of a call's row: 3 while that call is listened to, else 4.
    int ListenIconIndex(const TCallInfo& call) const { return thegrid->ListenIconIndex(call); }
    const QImage& Icon(int index) const { return thegrid->Icon(index); }

    // Widgets, by their window names.
    QWidget* ToolbarPanel = nullptr;
    TVcPNGButton* PlayPauseBtn = nullptr;
    TVcPNGButton* SettingsBtn = nullptr;
    QSlider* VolumeBar = nullptr;
    QToolButton* MuteBtn = nullptr;
    QComboBox* PartyBox = nullptr;
    QLabel* DescrLbl = nullptr;
    QLineEdit* FilterEdit = nullptr;
    QAction* FindAction = nullptr;
    TCallGrid* thegrid = nullptr;
    QPlainTextEdit* DebugMemo = nullptr;
    QStatusBar* StatusBar1 = nullptr;
    QTimer* StartUpTimer = nullptr;
    QTimer* StatusClearTimer = nullptr;
    QTimer* MonitorStopTimer = nullptr;
    QTimer* DurationTimer = nullptr;
    QMenu* File1 = nullptr;
    QAction* Exit1 = nullptr;
    QMenu* Tools = nullptr;
    QAction* Settings1 = nullptr;
    QMenu* Help1 = nullptr;
    QAction* Manual1 = nullptr;
    QAction* CheckUpdate1 = nullptr;
    QAction* About1 = nullptr;

    // Help context of the window: the manual page opened by Manual1.
    static constexpr int HelpContext = 1001;

protected:
    void closeEvent(QCloseEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void CreateControls();
    void CreateRooms();
    void CreateMenu();
    void CreateListeningControls();
    // The toolbar's listening controls from FConfig, without raising their signals.
    void ShowListening();
    void AppendMemoLine(const QString& text);
    void UpdateCommandStates();
    void SetWaitCursor();
    // Sizes the window for a client area, never beyond the screen's available area.
    void SetClientSize(int width, int height);
    QSize FitToScreen(const QSize& size) const;
    TPNGComponent* FadedCopy(const TPNGComponent* source, const char* name);

    // Declared first: every room logs through it until its last moment.
    TLogFile FLog;
    std::string FDataFolder;
    std::string FConfigFolder;
    std::string FLogFolder;
    std::string FPendingMemoText;
    std::recursive_mutex FMemoLock; // guards FPendingMemoText; never taken on the GUI thread
    TQuorinConfig FConfig;
    bool FDebug = false;
    std::string FHelpFolder;
    SettingsDialogRunner FSettingsDialogRunner;
    UpdateDialogRunner FUpdateDialogRunner;
    // The rooms. The monitor borrows the engine's session, so listening is
    // declared after the engine and goes first.
    std::unique_ptr<TEngineController> FEngine;
    std::unique_ptr<TListenController> FListen;
    std::unique_ptr<TCloseProtocol> FClose;
    std::unique_ptr<TCallNotice> FNotice;
    // Pictures of the toolbar buttons; the buttons refer to them.
    TPNGComponent* PlayPauseNormal = nullptr;
    TPNGComponent* PlayPauseOver = nullptr;
    TPNGComponent* PlayPauseDown = nullptr;
    TPNGComponent* SettingsNormal = nullptr;
    TPNGComponent* SettingsOver = nullptr;
    TPNGComponent* PlayPauseFaded = nullptr;
    TPNGComponent* SettingsFaded = nullptr;
};

} // namespace corvane
