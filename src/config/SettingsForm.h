#pragma once

// The settings dialog: account, recorder address, automatic listening,
// language and visible columns. It edits a record handed to it and writes
// nothing itself; the caller decides what to do with the result.
//
// One instance is created at program start and reused for every opening, so
// the page in front and the language buttons keep their state between
// openings unless the opening sets them. Every opening runs, in this order:
//
//     form.PrepareTexts();
//     form.SelectPage(page);         // 1 = Account, 2 = Server connection
//     form.LoadFrom(config);
//     form.move(...);                // placed by the caller
//     if (form.exec() == QDialog::Accepted) { TQuorinConfig copy = config;
//                                              form.StoreTo(copy); ... }
//
// exec() ends with QDialog::Accepted (1) from the OK button and with
// QDialog::Rejected from Cancel, Escape or the close box. Run() does the
// whole opening in one call. Each time the dialog is shown, the cursor is in
// the first field that needs input: on the Account page the user name when
// it is empty, else the password; on the Server connection page the server.
//
// Controls are named after their translation keys: the caption of control X
// comes from "SettingsForm.X.Caption" when the table has it. GUI thread only.

#include "QuorinConfig.h"

#include <QDialog>
#include <QString>

#include <array>
#include <functional>
#include <optional>
#include <string>

class QCheckBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QListWidget;
class QPushButton;
class QRadioButton;
class QTabWidget;
class QWidget;

namespace corvane {

// A page of the dialog. Its Caption is the text of its tab, so that pages
// are translated by name like every other control.
class TTabSheet : public QWidget {
    Q_OBJECT
    Q_PROPERTY(QString Caption READ Caption WRITE SetCaption)

public:
    // Adds itself as the last page of `pages`.
    TTabSheet(const char* name, const QString& caption, QTabWidget* pages);
    QString Caption() const;
    void SetCaption(const QString& caption);

private:
    QTabWidget* FPages;
};

class TSettingsForm : public QDialog {
    Q_OBJECT

public:
    // Help topic of the dialog; F1 opens it from the manual beside the program.
    static constexpr int HelpContext = 1002;
    // Client area of the dialog, which cannot be resized.
    static constexpr int ClientWidth = 438;
    static constexpr int ClientHeight = 309;

    explicit TSettingsForm(QWidget* parent = nullptr);
    ~TSettingsForm() override;

    // Window caption, control captions and column titles from the current
    // translation table; captions without an entry keep their previous text.
    void PrepareTexts();
    // 1 brings the Account page to the front, 2 the Server connection page;
    // any other value leaves the page that was shown last.
    void SelectPage(int page);
    // Shows the record's values. A Language that names no button exactly
    // (letter case included) leaves the buttons as they were, and StoreTo
    // hands it back unchanged unless the user picks a language.
    void LoadFrom(const TQuorinConfig& config);
    // Every field but WindowsUser takes the dialog's value; texts are taken
    // exactly as typed. Nothing is validated: empty texts and no visible
    // column at all are passed on.
    void StoreTo(TQuorinConfig& config) const;

    // One whole opening, for the main window: PrepareTexts, SelectPage(page),
    // LoadFrom(config), placed 30 pixels right of and below the top-left
    // corner of `owner` (when given), shown modally. After OK, a copy of
    // `config` with the dialog's values stored into it; after Cancel, nothing.
    std::optional<TQuorinConfig> Run(QWidget* owner, int page, const TQuorinConfig& config);

    // The language code chosen in the dialog.
    const std::string& SelectedLanguage() const { return FSelectedLanguage; }

    // Handlers, public so that the caller and the tests can drive the dialog
    // the way the user does.
    void OkBtnClick();
    // Shared by the eight language buttons: the clicked button's name is the
    // chosen language code.
    void USClick(QObject* Sender);
    // Connects once to the recorder typed in (over TLS), shows its
    // certificate's subject, validity and pin, and keeps the pin when the
    // user answers OK: from then on a recorder with another key is refused.
    void TrustPinBtnClick();
    void ClearPinBtnClick();
    // Replaces the message boxes of the trust button (for tests): a question
    // when `ask`, else a notice; the answer is true for OK. Empty: the boxes.
    using BoxHook = std::function<bool(bool ask, const QString& caption, const QString& text)>;
    static void SetBoxHook(BoxHook hook);

    // The controls, by the names the translation file uses.
    QPushButton* OkBtn = nullptr;
    QPushButton* CancelBtn = nullptr;
    QTabWidget* PageControl1 = nullptr;
    TTabSheet* TabSheetAccount = nullptr;
    QLabel* UserNameLbl = nullptr;
    QLineEdit* UserNameEdit = nullptr;
    QLabel* PasswordLbl = nullptr;
    QLineEdit* PasswordEdit = nullptr;
    TTabSheet* TabSheetServer = nullptr;
    QLabel* ServerUrlLbl = nullptr;
    QLineEdit* ServerEdit = nullptr;
    QCheckBox* SecureChB = nullptr;
    QPushButton* TrustPinBtn = nullptr;
    QPushButton* ClearPinBtn = nullptr;
    QLineEdit* PinEdit = nullptr; // the pin kept; read-only, scrolls (a pin is long)
    TTabSheet* TabSheetOptions = nullptr;
    QCheckBox* StartAutoChB = nullptr;
    QCheckBox* NotifyChB = nullptr;
    TTabSheet* TabSheetLng = nullptr;
    QGroupBox* LngGroup = nullptr;
    QRadioButton* DA = nullptr;
    QRadioButton* DE = nullptr;
    QRadioButton* ES = nullptr;
    QRadioButton* FR = nullptr;
    QRadioButton* IT = nullptr;
    QRadioButton* NL = nullptr;
    QRadioButton* PL = nullptr;
    QRadioButton* US = nullptr;
    TTabSheet* TabSheetDisp = nullptr;
    QLabel* ColsLabel = nullptr;
    QListWidget* ColsBox = nullptr;

protected:
    void showEvent(QShowEvent* event) override;

private:
    // An edit holding an 8-bit setting. The edit works in Unicode, so bytes
    // that are not valid UTF-8 (a value written by another program, or a
    // password decrypted with the wrong key) would not survive the trip
    // through it; the loaded bytes are therefore handed back as they were
    // whenever the text in the edit is still the one LoadFrom put there.
    struct TByteEdit {
        QLineEdit* Edit = nullptr;
        std::string Loaded;
        QString Shown;
        void Load(const std::string& value);
        std::string Store() const;
    };

    void BuildAccountPage();
    void BuildServerPage();
    void BuildOptionsPage();
    void BuildLanguagePage();
    void BuildDisplayPage();
    QRadioButton* AddLanguageButton(const char* code, const char* caption);
    void EnsureColumnItems();
    void FocusFirstNeededField();
    // F1: the dialog's page of the manual; a failure is reported in a box.
    void ShowHelp();

    std::string FSelectedLanguage;
    TByteEdit FUserName;
    TByteEdit FPassword;
    TByteEdit FServer;
    std::string FServerPin;
};

} // namespace corvane
