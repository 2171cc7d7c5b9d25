#pragma once

// The main window: toolbar, grid of active calls, debug text box and status
// line; it owns the session with the recorder, the settings in force, its own
// copy of the call list, the log and the timers. Everything runs on the GUI
// thread except where a member says otherwise.

#include "CallList.h"
#include "Corvane.h"
#include "QuorinConfig.h"

#include <QDateTime>
#include <QImage>
#include <QMainWindow>
#include <QString>

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

class QAction;
class QLabel;
class QMenu;
class QPlainTextEdit;
class QStatusBar;
class QTableWidget;
class QTimer;
class QWidget;

namespace corvane {

class TCallMonitor;
class TPNGComponent;
class TVcPNGButton;

// What HandleEngineStopped does once the engine reports that it stopped.
enum : uint8_t {
    AtStopRestart = 0, // hand over the settings and start again
    AtStopClose = 1,   // destroy the session and close the window
    AtStopReport = 2,  // show "engine stopped"
};

// The platform's default date-time text: the regional short date, a blank and
// the regional long time without its time-zone field; the date alone at
// exactly midnight. Any thread.
QString DateTimeText(const QDateTime& local);

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
    // Shifts log.txt -> log2.txt -> ... -> log<count>.txt (the last one is dropped).
    static void RotateLogFiles(const std::string& fileName, int count);

    // --- Grid ----------------------------------------------------------
    void BuildColumns();
    void ApplyLanguage();
    void FillGrid();
    void HandleCallsChanged(); // any thread; the polling thread waits for the GUI thread
    void DurationTimerTimer();
    static QString CellText(const std::string& key, const TCallInfo& call);
    static QString FormatDuration(int32_t seconds);
    static QString UnixToLocalText(int64_t seconds);

    // --- Engine, status line, settings --------------------------------
    void TryStartEngine();
    void StartUpTimerTimer();
    void HandleEngineStopped();
    void HandleStatusCode(int32_t code); // any thread
    void ShowStatusCode(int32_t code);
    void ShowStatusText(const QString& text);
    void StatusClearTimerTimer();
    // Shows the settings dialog (through the installed runner) and applies its result.
    void RunSettingsDialog(int page);
    // Puts an edited settings record in force: columns, language, file,
    // and a restart of the engine when the connection settings changed.
    void ApplySettings(const TQuorinConfig& copy);
    void SetSettingsDialogRunner(SettingsDialogRunner runner);
    // Replaces the update dialog (ShowUpdateDialog by default).
    void SetUpdateDialogRunner(UpdateDialogRunner runner);
    void FormResize();

    // --- Live listening -------------------------------------------------
    // Listens to the call in the top row of the grid's selection.
    void ListenToSelectedCall();
    // Listens to FCalls[index]; while another call is listened to, stops that
    // one first and listens to the selected row once it has gone.
    void ListenToCall(int index);
    // After each new list: listens to the first call younger than 6 s when
    // automatic listening is on and nothing is listened to.
    void StartAutoListen();
    // The monitor's end notification. Any thread; a worker waits for the GUI thread.
    void HandleMonitorStopped();
    void MonitorStopTimerTimer();

    // --- Commands and gestures ------------------------------------------
    void PlayPauseBtnClick();
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
    static QString StatusCodeText(int32_t code);

    // --- State, for the controller and for tests ----------------------
    const std::string& DataFolder() const { return FDataFolder; }
    const std::string& LogFolder() const { return FLogFolder; }
    const std::string& ConfigFolder() const { return FConfigFolder; }
    const TQuorinConfig& Config() const { return FConfig; }
    const TCallList& Calls() const { return FCalls; }
    const std::vector<std::string>& ColumnKeys() const { return FColumnKeys; }
    TCorvane* Client() const { return FClient.get(); }
    uint8_t AtStop() const { return eAtStop; }
    int StartResult() const { return FStartResult; }
    bool ListReceived() const { return FListReceived; }
    bool DebugMode() const { return FDebug; }
    bool Closing() const { return FClosing; }
    TCallMonitor* Monitor() const { return FMonitor.get(); }
    bool SwitchPending() const { return FSwitchPending; }
    // Row of the grid's model: 0 is the header row, calls from 1 on.
    int RowCount() const;
    QString Cell(int column, int row) const;
    int ColumnWidth(int column) const;
    // The top row of the grid's selection (1 for the first call), and its left column.
    int SelectedTopRow() const;
    int SelectedLeftColumn() const;
    // The size of the window below its menu bar.
    int ClientWidth() const;
    int ClientHeight() const;
    QString StatusText() const;
    // Whether the grid draws the "no call" line in its data row now.
    bool ShowsNoCallLine() const;
    // The listen icon of a call's row: 3 while that call is listened to, else 4.
    int ListenIconIndex(const TCallInfo& call) const;
    const QImage& Icon(int index) const { return FIcons[static_cast<size_t>(index)]; }

    // Widgets, by their window names.
    QWidget* ToolbarPanel = nullptr;
    TVcPNGButton* PlayPauseBtn = nullptr;
    TVcPNGButton* SettingsBtn = nullptr;
    QLabel* DescrLbl = nullptr;
    QTableWidget* thegrid = nullptr;
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
    void resizeEvent(QResizeEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void CreateControls();
    void CreateMenu();
    void FormClose(QCloseEvent* event);
    void AppendMemoLine(const QString& text);
    void UpdateCommandStates();
    void SetWaitCursor();
    void SetClientSize(int width, int height);
    static int ColumnKeyWidth(const std::string& key);
    TPNGComponent* FadedCopy(const TPNGComponent* source, const char* name);

    std::array<QImage, 5> FIcons;
    std::recursive_mutex FLogLock;
    std::unique_ptr<TCorvane> FClient;
    // The one live-listen monitor; it borrows FClient, which therefore
    // outlives it.
    std::unique_ptr<TCallMonitor> FMonitor;
    std::string FDataFolder;
    std::string FConfigFolder;
    std::string FLogFolder;
    std::string FPendingMemoText;
    std::recursive_mutex FMemoLock;
    int32_t FPendingStatus = 0;
    std::recursive_mutex FStatusLock;
    TCallList FCalls;
    std::vector<std::string> FColumnKeys;
    uint8_t eAtStop = AtStopReport;
    int FStartResult = 0;
    bool FListReceived = false;
    TQuorinConfig FConfig;
    bool FClosing = false;
    bool FSwitchPending = false;
    bool FDebug = false;
    // Set once the close protocol let the window close; later close requests
    // (queued before) do nothing.
    bool FClosed = false;
    std::string FHelpFolder;
    SettingsDialogRunner FSettingsDialogRunner;
    UpdateDialogRunner FUpdateDialogRunner;
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
