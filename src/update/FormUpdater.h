#pragma once

// The update dialog: shows the installed version, checks the maker's server
// for a newer one, shows the release notes, downloads the update and ends
// with Accepted when the program has to close so that the copy tool can
// install it. All update logic is in its TUpdater; all texts come from the
// translation table (section "Updater").
//
// GUI thread only. A check or download runs inside the button's click
// handler while the dialog keeps processing events; closing the dialog then
// cancels it.

#include <QDialog>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

class QLabel;
class QPlainTextEdit;
class QProgressBar;
class QPushButton;
class QWidget;

namespace corvane {

class TUpdater;

class TFormUpdater : public QDialog {
    Q_OBJECT

public:
    explicit TFormUpdater(QWidget* parent = nullptr);
    ~TFormUpdater() override;

    TUpdater& ApplUpdater() { return *FUpdater; }
    // Where the check looks for the manifest; UpdateManifestUrl() by default.
    void SetManifestUrl(const std::string& url) { FManifestUrl = url; }

    void ButtonCheckUpdateClick();
    void ButtonUpdateClick();
    void ButtonCancelClick() { reject(); }
    void CancelBtnClick() { reject(); }

    // Replaces the message box that reports a failed download (for tests);
    // an empty hook restores the message box.
    using MessageHook = std::function<void(const QString& caption, const QString& text)>;
    static void SetMessageHook(MessageHook hook);

public slots:
    // The close box, Escape and both cancel buttons end here; a running
    // check or download is cancelled first.
    void reject() override;

protected:
    void changeEvent(QEvent* event) override;
    void showEvent(QShowEvent* event) override;

private:
    void FormActivate();
    void ApplUpdaterProgress(std::uint32_t position);

    std::unique_ptr<TUpdater> FUpdater;
    std::string FManifestUrl;
    bool FBusy = false;   // a check or download runs
    bool FClosed = false; // closed while it ran
    int FProgressTag = 0; // 1: the next progress report is the first of a download

    QLabel* Image1;
    QPushButton* ButtonCheckUpdate;
    QPushButton* CancelBtn;
    QWidget* SimplePanelUpdate;
    QLabel* LabelUpdate;
    QPlainTextEdit* MemoUpdate;
    QProgressBar* ProgressBar1;
    QPushButton* ButtonUpdate;
    QPushButton* ButtonCancel;
};

// The main window's "Check for update online" command: shows a new update
// dialog modally (centred on `mainWindow` when given, owned by nobody) and
// destroys it. True when an update was fetched and the copy tool started, so
// that the program must now close. `log` receives the updater's log lines.
bool ShowUpdateDialog(QWidget* mainWindow, std::function<void(const std::string& line)> log = {});

} // namespace corvane
